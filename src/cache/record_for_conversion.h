// The record a conversion writes into: a new one while the list is below its depth
// (added by the conversion at its end), else the one `how` selects in the full
// list, reused in place with its position and flags.
#ifndef DAQ_CACHE_RECORD_FOR_CONVERSION_H
#define DAQ_CACHE_RECORD_FOR_CONVERSION_H

#include <new>

#include "cache_alloc.h"
#include "conversion_result.h"
#include "daq_diag.h"
#include "eq_evstore.h"
#include "record_release.h"
#include "record_store.h"

template <class Gen>
struct RecordForConversion {
  using Record = typename Gen::Record;

  Record* rec = nullptr;
  bool is_new = false;
  int result = CONV_OK;

  // report_full prints the generation's message for a full list without a record.
  RecordForConversion(EqEvstore& s, int how, void (*report_full)()) : is_new(!Gen::is_full(s)) {
    if (is_new) {
      // Room in the list is taken first, so adding the record cannot fail later.
      rec = reserve_place(s) ? cache_new<Record>() : nullptr;
      if (rec == nullptr) {
        daq_line("daq_data_to_cache() Failed to allocate a record");
        result = CONV_NO_MEMORY;
      }
      return;
    }
    rec = Gen::first_record(s, how);
    if (rec == nullptr) {
      report_full();
      result = CONV_FULL;
      return;
    }
    rec->time = time_stamp{0, 0};
    rec->event_number = 0;
  }

  // Adds a new record after a successful conversion; a new record abandoned on a
  // failure, or refused by the store, is released rather than lost. The caller
  // holds the cache lock, so an eviction here must not lock again. Returns true
  // when the record is in the list (a reused one always is).
  bool finish(EqEvstore& s, int conversion_result) {
    if (!is_new) return true;
    bool kept = conversion_result == CONV_OK && !RecordStore<Gen>::add(s, rec, false);
    if (!kept) release_record(rec);
    rec = nullptr;
    return kept;
  }

  // A conversion left without finish() (memory ran out mid-event) releases its new record.
  ~RecordForConversion() {
    if (is_new) release_record(rec);
  }
  RecordForConversion(const RecordForConversion&) = delete;
  RecordForConversion& operator=(const RecordForConversion&) = delete;

 private:
  static bool reserve_place(EqEvstore& s) {
    auto& list = Gen::list(s);
    try {
      list.reserve(list.size() + 1);
    } catch (const std::bad_alloc&) {
      return false;
    }
    return true;
  }
};

#endif
