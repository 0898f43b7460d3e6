// Record shells the store removed, kept for the next record a conversion makes.
// A receiver whose application drains the cache removes one record for every one
// the receiver thread adds; handing the removed shell (its entries released, its
// entry vector's storage kept) to the next conversion spares two allocations there
// and two releases in the application's query. A shell is indistinguishable from
// a new record: zero time and number, no flags, no entries. At most the list's
// depth of them are kept; CleanCache and the store's end free them.
#ifndef DAQ_CACHE_SPARE_RECORDS_H
#define DAQ_CACHE_SPARE_RECORDS_H

#include <cstddef>
#include <new>
#include <vector>

#include "eq_evstore.h"

template <class Record>
class SpareRecords {
 public:
  SpareRecords() = default;
  ~SpareRecords() { clear(); }
  SpareRecords(const SpareRecords&) = delete;
  SpareRecords& operator=(const SpareRecords&) = delete;

  // Takes rec, whose entries are released, or deletes it when `limit` are kept.
  void keep(Record* rec, std::size_t limit) {
    if (shells_.size() < limit) {
      try {
        shells_.push_back(rec);
        return;
      } catch (const std::bad_alloc&) {
      }
    }
    delete rec;
  }

  // A kept shell as a new record would be, or null when none is kept.
  Record* take() {
    if (shells_.empty()) return nullptr;
    Record* rec = shells_.back();
    shells_.pop_back();
    rec->time = time_stamp{0, 0};
    rec->event_number = 0;
    rec->flags = 0;
    return rec;
  }

  void clear() {
    for (Record* r : shells_) delete r;
    shells_.clear();
  }

 private:
  std::vector<Record*> shells_;
};

#endif
