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
  // Empty now: the memory goes back, so a cleaned store does not keep its peak.
  for (NodePool* p :
       {&number_pool_, &unseen_number_pool_, &time_pool_, &unseen_time_pool_, &key_pool_})
    p->release();
  meta_.rehash(0);  // gives back its bucket array
  meta_pool_.release();
  valid_ = false;
  appended_ = 0;
}

// Records come in arrival order with rising times and numbers as a rule, so each
// is tried at the end of its set first: a right guess costs one comparison.
template <class Record>
typename RecordIndex<Record>::Meta RecordIndex<Record>::place(Record* rec, Seq seq) {
  Meta m;
  m.seq = seq;
  m.seen = (rec->flags & EQCACHE_FIND_NOTSEEN) != 0;
  ByNumber n{rec->event_number, seq, rec};
  ByTime t{rec->time.timeup, rec->time.timelow, seq, rec};
  m.number = by_number.insert(by_number.end(), n);
  m.time = by_time.insert(by_time.end(), t);
  m.key = by_key.insert(by_key.end(), ByKey{time_key_ms(rec->time), seq, rec});
  if (!m.seen) {
    m.unseen_number = unseen_by_number.insert(unseen_by_number.end(), n);
    m.unseen_time = unseen_by_time.insert(unseen_by_time.end(), t);
  }
  return m;
}

template <class Record>
void RecordIndex<Record>::erase(const Meta& m) {
  by_number.erase(m.number);
  by_time.erase(m.time);
  by_key.erase(m.key);
  if (!m.seen) {
    unseen_by_number.erase(m.unseen_number);
    unseen_by_time.erase(m.unseen_time);
  }
}

// The appended records, in list order so their arrival numbers follow it.
template <class Record>
bool RecordIndex<Record>::index_appended(const List& list) {
  try {
    for (std::size_t i = list.size() - appended_; i < list.size(); ++i) {
      Record* rec = list[i];
      if (rec == nullptr || meta_.count(rec) != 0) {
        forget();
        return false;
      }
      meta_.emplace(rec, place(rec, next_seq_++));
    }
  } catch (const std::bad_alloc&) {
    forget();
    return false;
  }
  appended_ = 0;
  return true;
}

template <class Record>
bool RecordIndex<Record>::ready(const List& list) {
  if (in_step(list)) return appended_ == 0 || index_appended(list);
  forget();
  try {
    meta_.reserve(list.size());
  } catch (const std::bad_alloc&) {
    return false;
  }
  appended_ = list.size();
  if (!index_appended(list)) return false;
  note(list);
  valid_ = true;
  return true;
}

// An index that fails to follow (memory ran out) drops out and is rebuilt, or
// given up for scans, at the next lookup.
template <class Record>
void RecordIndex<Record>::added(const List& list) {
  if (!valid_) return;
  // in_step for the list before the append: one record shorter, same front.
  bool follows = list.size() == size_ + 1 && (size_ == 0 || list.front() == front_);
  if (!follows) return invalidate();
  ++appended_;
  note(list);
}

template <class Record>
void RecordIndex<Record>::removing(const List& list, std::size_t pos) {
  if (!in_step(list)) return invalidate();
  if (pos < list.size() - appended_) {
    auto it = meta_.find(list[pos]);
    if (it == meta_.end()) return invalidate();
    erase(it->second);
    meta_.erase(it);
  } else {
    --appended_;  // never indexed
  }
  size_ = list.size() - 1;
  front_ = pos == 0 ? (size_ ? list[1] : nullptr) : list.front();
  back_ = pos + 1 == list.size() ? (size_ ? list[pos - 1] : nullptr) : list.back();
  // erase keeps the storage
}

// An appended record is not in the sets yet: it goes in with its new values.
template <class Record>
void RecordIndex<Record>::refresh(const List& list, Record* rec) {
  if (!in_step(list)) return invalidate();
  auto it = meta_.find(rec);
  if (it == meta_.end()) return;  // appended, or not in the list
  erase(it->second);
  try {
    it->second = place(rec, it->second.seq);
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
