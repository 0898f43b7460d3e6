// The write side of one list, written once for both generations: adding with
// eviction of the earliest record, removing by position or pointer, taking an
// entry out, and printing.
//
// Invariant: a list keeps arrival order. Records are only appended; removal closes
// the gap. The capacity test is equality with depth, so after the depth is lowered
// a list may stay above it: each further add then evicts one and appends one.
#ifndef DAQ_CACHE_RECORD_STORE_H
#define DAQ_CACHE_RECORD_STORE_H

#include <algorithm>
#include <new>
#include <vector>

#include "cache_lock.h"
#include "daq_diag.h"
#include "eq_evstore.h"
#include "record_navigation.h"
#include "record_release.h"

void print_entry(const eq_evstore_entry* entry);

template <class Gen>
struct RecordStore {
  using Record = typename Gen::Record;
  using List = std::vector<Record*>;

  static bool remove_at(EqEvstore& s, int pos, bool take_lock) {
    // The size is read under the lock: the receiver thread appends meanwhile.
    OptionalCacheLock guard(&s.mlock, take_lock);
    List& list = Gen::list(s);
    if (pos < 0 || static_cast<std::size_t>(pos) >= list.size()) return true;
    release_record(list[pos]);
    list.erase(list.begin() + pos);
    return false;
  }

  static bool remove(EqEvstore& s, Record* rec, bool take_lock) {
    if (rec == nullptr) return true;
    OptionalCacheLock guard(&s.mlock, take_lock);
    List& list = Gen::list(s);
    auto it = std::find(list.begin(), list.end(), rec);
    if (it == list.end()) return true;
    return remove_at(s, static_cast<int>(it - list.begin()), false);
  }

  // lock_for_eviction is true for callers outside the lock (AddRecord) and false
  // for the conversions, which already hold the non-recursive cache lock.
  static bool add(EqEvstore& s, Record* rec, bool lock_for_eviction) {
    if (rec == nullptr) return true;
    rec->flags = 0;
    List& list = Gen::list(s);
    if (static_cast<long>(list.size()) >= static_cast<long>(s.depth)) {
      int earliest = Navigation<Gen>::extreme_index(list, EQCACHE_FIND_TIME, Extreme::first);
      if (remove_at(s, earliest, lock_for_eviction)) return true;
    } else {
      // Room first: a list that cannot grow refuses the record, which stays the
      // caller's, instead of throwing. After an eviction the room is there.
      try {
        list.reserve(list.size() + 1);
      } catch (const std::bad_alloc&) {
        return true;
      }
    }
    list.push_back(rec);
    return false;
  }

  static bool remove_entry(Record* rec, eq_evstore_entry* ent) {
    if (rec == nullptr || ent == nullptr) return true;
    auto it = std::find(rec->entry.begin(), rec->entry.end(), ent);
    if (it == rec->entry.end()) return true;
    rec->entry.erase(it);
    // The data object and slow-block copy stay: a conversion may still be writing
    // the remaining sub-channels of this channel into the data object.
    delete ent->data;
    delete ent;
    return false;
  }

  static void clean(EqEvstore& s, Record* rec, bool take_lock) {
    if (rec == nullptr) return;
    OptionalCacheLock guard(&s.mlock, take_lock);
    release_entries(rec->entry);
  }

  static void clear_list(EqEvstore& s) {
    List& list = Gen::list(s);
    for (Record* r : list) release_record(r);
    list.clear();
  }

  static void set_seen(bool seen, Record* rec) {
    if (seen)
      rec->flags |= EQCACHE_FIND_NOTSEEN;
    else
      rec->flags &= ~EQCACHE_FIND_NOTSEEN;
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

  static void print_list(EqEvstore& s, const char* title) {
    List& list = Gen::list(s);
    if (list.empty()) return;
    daq_line(title);
    for (std::size_t i = 0; i < list.size(); ++i) {
      daq_print("[%d]", static_cast<int>(i));
      print(list[i]);
    }
  }
};

#endif
