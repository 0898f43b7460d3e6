// The record store: the write side of one list, written once for both
// generations (adding with eviction of the earliest record, removing by position
// or pointer, taking an entry out, seen bits, printing), the release of what the
// store owns, and the record a conversion writes into.
//
// Lock rule. One lock, EqEvstore::mlock, guards both lists, every record and
// every entry, however many records a list holds. Every access runs with it held,
// and no thread takes it twice:
// - code in this directory reaches a list only through records(), which requires
//   the lock; records and entries only through a list, or through pointers that
//   are valid while the lock is held;
// - functions ending in _locked require the lock and never take it;
// - a CacheLockScope is opened only by the public members of EqEvstore and
//   DAQEqEvstore and by the bodies marked EXCLUDES that serve them alone. It takes
//   the lock where the member's contract says so (a `how` of true, SetDepth,
//   SetTimeDiff, CleanCache, AddRecord's eviction) and elsewhere states that the
//   caller holds it.
// clang's -Wthread-safety checks each of these.
//
// Invariant: a list keeps arrival order. Records are only appended; removal closes
// the gap. The capacity test is equality with depth, so after the depth is lowered
// a list may stay above it: each further add then evicts one and appends one.
#ifndef DAQ_CACHE_RECORD_STORE_H
#define DAQ_CACHE_RECORD_STORE_H

#include <algorithm>
#include <new>
#include <vector>

#include "cache_alloc.h"
#include "cache_lock.h"
#include "daq_diag.h"
#include "eq_evstore.h"
#include "record_navigation.h"

// The type record with the value object (delete) and slow-block copy (free) it
// points to.
void release_type_record(EqData_dtype* type_record);
void release_entry(eq_evstore_entry* entry);
// Releases every entry; the vector is left empty with its storage kept.
void release_entries(std::vector<eq_evstore_entry*>& entries);
void print_entry(const eq_evstore_entry* entry);

// Room for one more record. Grows by doubling up to the depth, so appending a
// long list does not copy it each time; when doubling fails, one place is enough.
template <class Record>
bool make_room(std::vector<Record*>& list, int depth) {
  if (list.size() < list.capacity()) return true;
  std::size_t want = std::max<std::size_t>(16, list.size() * 2);
  if (depth > 0) want = std::min(want, std::max(list.size() + 1, static_cast<std::size_t>(depth)));
  try {
    list.reserve(want);
    return true;
  } catch (const std::bad_alloc&) {
  }
  try {
    list.reserve(list.size() + 1);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

template <class Record>
void release_record(Record* rec) {
  if (rec == nullptr) return;
  release_entries(rec->entry);
  delete rec;
}

template <class Gen>
struct RecordStore {
  using Record = typename Gen::Record;
  using List = std::vector<Record*>;
  using Nav = Navigation<Gen>;

  static bool is_full_locked(EqEvstore& s) REQUIRES(cache_mutex(s)) {
    return static_cast<long>(records<Gen>(s).size()) == s.depth;
  }

  static bool remove_at_locked(EqEvstore& s, int pos) REQUIRES(cache_mutex(s)) {
    List& list = records<Gen>(s);
    if (pos < 0 || static_cast<std::size_t>(pos) >= list.size()) return true;
    if (auto* ix = Nav::kept_index(s)) ix->removing(list, static_cast<std::size_t>(pos));
    retire_locked(s, list[pos]);
    list.erase(list.begin() + pos);
    return false;
  }

  // The store's kept record shells; null when its side data cannot be made.
  static SpareRecords<Record>* spares(EqEvstore& s) REQUIRES(cache_mutex(s)) {
    StoreIndex* all = store_index(s, true);
    return all == nullptr ? nullptr : &all->spares(static_cast<Record*>(nullptr));
  }

  // A removed record's entries are released; its shell waits for the next new one.
  static void retire_locked(EqEvstore& s, Record* rec) REQUIRES(cache_mutex(s)) {
    if (rec == nullptr) return;
    release_entries(rec->entry);
    SpareRecords<Record>* kept = spares(s);
    if (kept == nullptr) {
      delete rec;
      return;
    }
    kept->keep(rec, s.depth > 0 ? static_cast<std::size_t>(s.depth) : 0);
  }

  // A kept shell, or a new record; null when memory ran out.
  static Record* new_record_locked(EqEvstore& s) REQUIRES(cache_mutex(s)) {
    SpareRecords<Record>* kept = spares(s);
    Record* rec = kept != nullptr ? kept->take() : nullptr;
    return rec != nullptr ? rec : cache_new<Record>();
  }

  static bool remove_at(EqEvstore& s, int pos, bool take_lock) EXCLUDES(cache_mutex(s)) {
    // The size is read under the lock: the receiver thread appends meanwhile.
    CacheLockScope lock(s, take_lock);
    return remove_at_locked(s, pos);
  }

  static bool remove(EqEvstore& s, Record* rec, bool take_lock) EXCLUDES(cache_mutex(s)) {
    if (rec == nullptr) return true;
    CacheLockScope lock(s, take_lock);
    List& list = records<Gen>(s);
    if (auto* ix = Nav::index(s)) return remove_at_locked(s, ix->position(list, rec));
    auto it = std::find(list.begin(), list.end(), rec);
    if (it == list.end()) return true;
    return remove_at_locked(s, static_cast<int>(it - list.begin()));
  }

  static bool add_locked(EqEvstore& s, Record* rec) REQUIRES(cache_mutex(s)) {
    if (rec == nullptr) return true;
    rec->flags = 0;
    List& list = records<Gen>(s);
    if (static_cast<long>(list.size()) >= static_cast<long>(s.depth)) {
      int earliest = Navigation<Gen>::extreme_index(s, EQCACHE_FIND_TIME, Extreme::first);
      if (remove_at_locked(s, earliest)) return true;
    } else {
      // Room first: a list that cannot grow refuses the record, which stays the
      // caller's, instead of throwing. After an eviction the room is there.
      if (!make_room(list, s.depth)) return true;
    }
    list.push_back(rec);
    if (auto* ix = Nav::kept_index(s)) ix->added(list);
    return false;
  }

  // AddRecord's contract: below the depth the caller holds the lock; at the depth
  // it does not, and the eviction takes it. Which one applies is read before the
  // lock, as the contract leaves the list to that caller alone.
  static bool add(EqEvstore& s, Record* rec) EXCLUDES(cache_mutex(s)) {
    if (rec == nullptr) return true;
    bool at_depth = static_cast<long>(Gen::list(s).size()) >= static_cast<long>(s.depth);
    CacheLockScope lock(s, at_depth);
    return add_locked(s, rec);
  }

  // The type record and the entry go; the value object and slow-block copy stay:
  // a conversion may still be writing the remaining sub-channels of this channel
  // into the value object.
  static bool remove_entry(Record* rec, eq_evstore_entry* ent) {
    if (rec == nullptr || ent == nullptr) return true;
    auto it = std::find(rec->entry.begin(), rec->entry.end(), ent);
    if (it == rec->entry.end()) return true;
    rec->entry.erase(it);
    EqData_dtype* type_record = ent->data;
    delete type_record;
    delete ent;
    return false;
  }

  static void clear_locked(EqEvstore& s) REQUIRES(cache_mutex(s)) {
    List& list = records<Gen>(s);
    if (auto* ix = Nav::kept_index(s)) ix->cleared();
    for (Record* r : list) release_record(r);
    list.clear();
    if (StoreIndex* all = store_index(s, false)) all->spares(static_cast<Record*>(nullptr)).clear();
  }

  static void set_seen_bit(bool seen, Record* rec) {
    if (seen)
      rec->flags |= EQCACHE_FIND_NOTSEEN;
    else
      rec->flags &= ~EQCACHE_FIND_NOTSEEN;
  }

  static void set_seen(EqEvstore& s, bool seen, Record* rec) REQUIRES(cache_mutex(s)) {
    int before = rec->flags;
    set_seen_bit(seen, rec);
    if (rec->flags != before) refresh_locked(s, rec);
  }

  static void clear_seen_locked(EqEvstore& s) REQUIRES(cache_mutex(s)) {
    for (Record* r : records<Gen>(s)) set_seen_bit(false, r);
    if (auto* ix = Nav::kept_index(s)) ix->invalidate();
  }

  // rec's time, number or seen bit changed in place.
  static void refresh_locked(EqEvstore& s, Record* rec) REQUIRES(cache_mutex(s)) {
    if (auto* ix = Nav::kept_index(s)) ix->refresh(records<Gen>(s), rec);
  }

  static void print(const Record* rec) {
    if (rec == nullptr) return;
    Gen::print_record_line(*rec);
    for (std::size_t i = 0; i < rec->entry.size(); ++i) {
      daq_print("Entry[%d]", static_cast<int>(i));
      print_entry(rec->entry[i]);
    }
    if (rec->entry.empty()) daq_print("\n");
  }

  static void print_list_locked(EqEvstore& s, const char* title) REQUIRES(cache_mutex(s)) {
    List& list = records<Gen>(s);
    if (list.empty()) return;
    daq_line(title);
    for (std::size_t i = 0; i < list.size(); ++i) {
      daq_print("[%d]", static_cast<int>(i));
      print(list[i]);
    }
  }
};

// The record a conversion writes into: a new one while the list is below its depth
// (added by the conversion at its end), else the one `how` selects in the full
// list, reused in place with its position and flags.
template <class Gen>
struct RecordForConversion {
  using Record = typename Gen::Record;

  Record* rec = nullptr;
  bool is_new = false;
  int result = CONV_OK;

  // report_full prints the generation's message for a full list without a record.
  RecordForConversion(EqEvstore& s, int how, void (*report_full)()) REQUIRES(cache_mutex(s))
      : is_new(!RecordStore<Gen>::is_full_locked(s)), store_(&s) {
    if (is_new) {
      // Room in the list is taken first, so adding the record cannot fail later.
      rec = reserve_place(s) ? RecordStore<Gen>::new_record_locked(s) : nullptr;
      if (rec == nullptr) {
        daq_line("daq_data_to_cache() Failed to allocate a record");
        result = CONV_NO_MEMORY;
      }
      return;
    }
    rec = Navigation<Gen>::extreme_record(s, how, Extreme::first);
    if (rec == nullptr) {
      report_full();
      result = CONV_FULL;
      return;
    }
    rec->time = time_stamp{0, 0};
    rec->event_number = 0;
  }

  // Adds a new record after a successful conversion; a new record abandoned on a
  // failure, or refused by the store, is released rather than lost. Returns true
  // when the record is in the list (a reused one always is).
  bool finish(EqEvstore& s, int conversion_result) REQUIRES(cache_mutex(s)) {
    if (!is_new) return true;
    bool kept = conversion_result == CONV_OK && !RecordStore<Gen>::add_locked(s, rec);
    if (!kept) release_record(rec);
    rec = nullptr;
    return kept;
  }

  // A conversion left without finish() (memory ran out mid-event) releases its new
  // record. A reused record got a new time and number: its index entry follows.
  ~RecordForConversion() NO_THREAD_SAFETY_ANALYSIS {
    if (is_new)
      release_record(rec);
    else if (rec != nullptr)
      RecordStore<Gen>::refresh_locked(*store_, rec);
  }
  RecordForConversion(const RecordForConversion&) = delete;
  RecordForConversion& operator=(const RecordForConversion&) = delete;

 private:
  EqEvstore* store_;  // its lock is held for the slot's whole life

  static bool reserve_place(EqEvstore& s) REQUIRES(cache_mutex(s)) {
    return make_room(records<Gen>(s), s.depth);
  }
};

#endif
