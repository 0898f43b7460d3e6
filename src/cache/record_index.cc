// The side indexes of long record lists and the registry that finds a store's.
#include "record_index.h"

#include <atomic>
#include <memory>
#include <mutex>

#include "record_navigation.h"

namespace {

std::atomic<std::size_t> min_indexed_size{256};

struct Registry {
  std::mutex m;
  std::unordered_map<const EqEvstore*, std::unique_ptr<StoreIndex>> map;
  // Bumped whenever an entry comes or goes, so a thread's remembered answer
  // cannot outlive the store it belongs to.
  std::atomic<uint64_t> epoch{1};
};

Registry& registry() {
  static Registry* r = new Registry();  // never destroyed: stores may outlive statics
  return *r;
}

// Every store operation asks; the receiver and the application each ask for the
// same store again and again, so one remembered answer per thread spares the lock.
struct Remembered {
  const EqEvstore* store = nullptr;
  uint64_t epoch = 0;
  StoreIndex* index = nullptr;
};
thread_local Remembered remembered;

}  // namespace

std::size_t index_min_size() { return min_indexed_size.load(std::memory_order_relaxed); }
void set_index_min_size(std::size_t n) { min_indexed_size.store(n, std::memory_order_relaxed); }

StoreIndex* store_index(const EqEvstore& s, bool make) {
  Registry& r = registry();
  uint64_t epoch = r.epoch.load(std::memory_order_acquire);
  if (remembered.store == &s && remembered.epoch == epoch && (remembered.index || !make))
    return remembered.index;
  std::lock_guard<std::mutex> g(r.m);
  auto it = r.map.find(&s);
  StoreIndex* found = it == r.map.end() ? nullptr : it->second.get();
  if (found == nullptr && make) {
    try {
      found = r.map.emplace(&s, std::make_unique<StoreIndex>()).first->second.get();
    } catch (const std::bad_alloc&) {
      return nullptr;  // lookups scan instead
    }
    r.epoch.fetch_add(1, std::memory_order_acq_rel);
  }
  remembered = Remembered{&s, r.epoch.load(std::memory_order_acquire), found};
  return found;
}

void drop_store_index(const EqEvstore& s) {
  Registry& r = registry();
  std::unique_ptr<StoreIndex> gone;
  {
    std::lock_guard<std::mutex> g(r.m);
    auto it = r.map.find(&s);
    if (it == r.map.end()) return;
    gone = std::move(it->second);
    r.map.erase(it);
    r.epoch.fetch_add(1, std::memory_order_acq_rel);
  }
}

template <class Record>
void RecordIndex<Record>::note(const List& list) {
  size_ = list.size();
  data_ = list.data();
  front_ = list.empty() ? nullptr : list.front();
  back_ = list.empty() ? nullptr : list.back();
}

template <class Record>
void RecordIndex<Record>::forget() {
  by_number.clear();
  unseen_by_number.clear();
  by_time.clear();
  unseen_by_time.clear();
  by_key.clear();
  meta_.clear();
  valid_ = false;
}

template <class Record>
void RecordIndex<Record>::insert(Record* rec, Seq seq) {
  Meta m{seq, rec->event_number, rec->time, time_key_ms(rec->time),
         (rec->flags & EQCACHE_FIND_NOTSEEN) != 0};
  meta_[rec] = m;
  by_number.insert({m.number, seq, rec});
  by_time.insert({m.time.timeup, m.time.timelow, seq, rec});
  by_key.insert({m.key, seq, rec});
  if (!m.seen) {
    unseen_by_number.insert({m.number, seq, rec});
    unseen_by_time.insert({m.time.timeup, m.time.timelow, seq, rec});
  }
}

template <class Record>
void RecordIndex<Record>::erase(const Record* rec, const Meta& m) {
  Record* r = const_cast<Record*>(rec);
  by_number.erase({m.number, m.seq, r});
  by_time.erase({m.time.timeup, m.time.timelow, m.seq, r});
  by_key.erase({m.key, m.seq, r});
  if (!m.seen) {
    unseen_by_number.erase({m.number, m.seq, r});
    unseen_by_time.erase({m.time.timeup, m.time.timelow, m.seq, r});
  }
}

template <class Record>
bool RecordIndex<Record>::ready(const List& list) {
  if (in_step(list)) return true;
  forget();
  try {
    meta_.reserve(list.size());
    for (Record* rec : list) {
      if (rec == nullptr || meta_.count(rec) != 0) {
        forget();
        return false;
      }
      insert(rec, next_seq_++);
    }
  } catch (const std::bad_alloc&) {
    forget();
    return false;
  }
  note(list);
  valid_ = true;
  return true;
}

// An index that fails to follow (memory ran out) drops out and is rebuilt, or
// given up for scans, at the next lookup.
template <class Record>
void RecordIndex<Record>::added(const List& list, Record* rec) {
  if (!valid_) return;
  // in_step for the list before the append: one record shorter, same front.
  bool follows =
      list.size() == size_ + 1 && (size_ == 0 || list.front() == front_) && meta_.count(rec) == 0;
  if (!follows) return invalidate();
  try {
    insert(rec, next_seq_++);
  } catch (const std::bad_alloc&) {
    return forget();
  }
  note(list);
}

template <class Record>
void RecordIndex<Record>::removing(const List& list, std::size_t pos) {
  if (!in_step(list)) return invalidate();
  auto it = meta_.find(list[pos]);
  if (it == meta_.end()) return invalidate();
  erase(it->first, it->second);
  meta_.erase(it);
  size_ = list.size() - 1;
  front_ = pos == 0 ? (size_ ? list[1] : nullptr) : list.front();
  back_ = pos + 1 == list.size() ? (size_ ? list[pos - 1] : nullptr) : list.back();
  // erase keeps the storage
}

template <class Record>
void RecordIndex<Record>::refresh(const List& list, Record* rec) {
  if (!in_step(list)) return invalidate();
  auto it = meta_.find(rec);
  if (it == meta_.end()) return;  // not in the list
  Meta old = it->second;
  erase(rec, old);
  try {
    insert(rec, old.seq);
  } catch (const std::bad_alloc&) {
    forget();
  }
}

template <class Record>
int RecordIndex<Record>::position(const List& list, const Record* rec) const {
  auto it = meta_.find(rec);
  if (it == meta_.end() || list.empty()) return NAV_NONE;
  Seq seq = it->second.seq;
  Seq front_seq = meta_.find(list.front())->second.seq;
  // Without removals behind the front, the arrival number counts positions.
  Seq guess = seq - front_seq;
  if (guess < list.size() && list[guess] == rec) return static_cast<int>(guess);
  std::size_t lo = 0, hi = list.size();
  while (lo < hi) {
    std::size_t mid = lo + (hi - lo) / 2;
    if (meta_.find(list[mid])->second.seq < seq)
      lo = mid + 1;
    else
      hi = mid;
  }
  return lo < list.size() && list[lo] == rec ? static_cast<int>(lo) : NAV_NONE;
}

template class RecordIndex<eq_evstore_record>;
template class RecordIndex<eq_evstore_record_2024>;
