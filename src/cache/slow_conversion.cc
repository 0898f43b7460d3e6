// DAQEqEvstore: slow-data blocks and channel lists.
//
// A slow-data record holds one nameless entry with a private copy of the whole
// block; the values inside are decoded only when a monitor query asks. The
// block's pattern picks the list. Reusing a full list's record empties it first,
// so it ends with exactly the new block. A block that gets no record counts as a
// dropped event on the store.
#include <cstdlib>
#include <cstring>
#include <new>

#include "cache_alloc.h"
#include "daq_diag.h"
#include "daq_generation.h"
#include "record_store.h"

namespace {

enum { SLOW_DATA_TYPE = ORXA_UPD_BLOCK_2010 };

template <class Gen>
int convert_slow_block(EqEvstore& s, orxa_daq_slow_data_header* slhd, int how)
    REQUIRES(cache_mutex(s)) {
  using Record = typename Gen::Record;
  RecordForConversion<Gen> slot(s, how, Gen::report_full_cache_slow);
  if (slot.result != CONV_OK) return slot.result;
  Record* rec = slot.rec;
  release_entries(rec->entry);  // a reused record keeps nothing of its past
  rec->time.timeup = orxa_slow_block_get_first_time_s(slhd);
  rec->time.timelow = orxa_slow_block_get_first_time_us(slhd);
  Gen::read_first_event_number(slhd, rec);

  eq_evstore_entry* e = cache_new<eq_evstore_entry>();
  EqData_dtype* type_record = cache_new<EqData_dtype>();
  void* copy = (e && type_record) ? cache_malloc(slhd->data_length) : nullptr;
  if (copy == nullptr) {
    delete type_record;
    delete e;
    slot.finish(s, CONV_NO_MEMORY);
    return CONV_NO_MEMORY;
  }
  std::memcpy(copy, slhd, slhd->data_length);
  type_record->slblock = static_cast<orxa_daq_slow_data_header*>(copy);
  type_record->dtype = SLOW_DATA_TYPE;
  type_record->devtype = SLOW_DATA_TYPE;
  e->data = type_record;
  if (!cache_append_entry(rec->entry, e)) return CONV_NO_MEMORY;
  if (!slot.finish(s, CONV_OK)) {
    daq_line("daq_data_to_cache(slow) the cache refused the block's record");
    return CONV_FULL;
  }
  return CONV_OK;
}

int slow_block_to_cache(EqEvstore& s, orxa_daq_slow_data_header* slhd, int how)
    REQUIRES(cache_mutex(s)) {
  if (slhd->pattern != LegacyGen::kSlowPattern && slhd->pattern != Gen2024::kSlowPattern)
    return CONV_FULL;
  // A copy shorter than its own header could not be read back.
  if (slhd->data_length < sizeof(orxa_daq_slow_data_header)) {
    daq_print("daq_data_to_cache(slow) block length %u is shorter than its header, refused\n",
              slhd->data_length);
    return CONV_BAD_INPUT;
  }
  if (slhd->pattern == LegacyGen::kSlowPattern) return convert_slow_block<LegacyGen>(s, slhd, how);
  return convert_slow_block<Gen2024>(s, slhd, how);
}

}  // namespace

int DAQEqEvstore::daq_data_to_cache(orxa_daq_slow_data_header* slhd, int how) {
  if (slhd == nullptr) return CONV_BAD_INPUT;
  CacheLockScope held(*this, false);
  int result;
  try {
    result = slow_block_to_cache(*this, slhd, how);
  } catch (const std::bad_alloc&) {
    result = conversion_out_of_memory();
  }
  if (result != CONV_OK) dropped_events.fetch_add(1, std::memory_order_relaxed);
  return result;
}

int DAQEqEvstore::daq_data_to_cache(std::vector<orxa_channel_entry_long*>* res, int how) {
  if (res == nullptr) return CONV_BAD_INPUT;
  if (res->empty()) {
    daq_line("daq_data_to_cache() no channels on imput");
    return CONV_NO_CHANNELS;
  }
  // The record stays empty: its time and number are 0, a reused one keeps its entries.
  CacheLockScope held(*this, false);
  RecordForConversion<LegacyGen> slot(*this, how, LegacyGen::report_full_cache);
  if (slot.result == CONV_OK) slot.finish(*this, CONV_OK);
  return slot.result;
}
