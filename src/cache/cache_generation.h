// Traits of the two generations. Every list operation and every conversion is
// written once as a template over these; the legacy and _2024 members of
// EqEvstore and DAQEqEvstore only forward. What differs lives here and nowhere
// else: record type, list, event-number width, event and server-head layout,
// the decoder of complete data objects, print formats and the messages that
// name the generation.
#ifndef DAQ_CACHE_GENERATION_H
#define DAQ_CACHE_GENERATION_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "daq_diag.h"
#include "eq_evstore.h"
#include "orxa_evutl.h"

struct LegacyGen {
  using Record = eq_evstore_record;
  using EventNumber = uint32_t;
  using Distance = int32_t;  // event-number distance, modulo 2^32
  using Header = orxa_eventheader;

  static constexpr std::size_t kServerHeadSize = sizeof(orxa_serv_block_head_2010);
  static constexpr std::size_t kNchanOffset = offsetof(orxa_serv_block_head_2010, nchan);
  static constexpr uint32_t kSlowPattern = ORXA_SLOW_PATTERN;

  static std::vector<Record*>& list(EqEvstore& s) { return s.cache; }
  static bool is_full(EqEvstore& s) { return s.IsFull(); }
  static Record* first_record(EqEvstore& s, int how) { return s.FindFirstRecord(how); }
  static eq_evstore_entry* find_channel(EqEvstore& s, Record* r, char* name) {
    return s.FindChannel(r, name);
  }
  static bool remove_entry(EqEvstore& s, Record* r, eq_evstore_entry* e) {
    return s.RemEntry(r, e);
  }

  static int64_t event_length(const Header& h) { return h.event_length; }

  static int decode_object(char* server_block, orxa_serv_block_subhead_2010* sub,
                           velmor::EqData** out) {
    return orxa_daq_to_eqdata(0, server_block, sub, out, 1);
  }
  static void report_decode_failure(int r) {
    daq_print("orxa_daq_to_eqdata() failed !!!  error:%d\n", r);
  }
  static void report_full_cache() {
    daq_line("daq_data_to_cache() !!!! Failed to find first record in FULL cache !!!!!");
  }
  static void report_full_cache_slow() {
    daq_line("daq_data_to_cache(slow) !!!! Failed to find first record in FULL cache !!!!!");
  }
  static void read_first_event_number(orxa_daq_slow_data_header* h, Record* r) {
    r->event_number = orxa_slow_block_get_first_evid(h, nullptr);
  }

  static void print_record_line(const Record& r) {
    daq_print("RECORD: Time:%d:%d Event#:%d Entries:%lu\n", static_cast<int>(r.time.timeup),
              static_cast<int>(r.time.timelow), static_cast<int>(r.event_number),
              static_cast<unsigned long>(r.entry.size()));
  }
};

struct Gen2024 {
  using Record = eq_evstore_record_2024;
  using EventNumber = uint64_t;
  using Distance = int64_t;  // modulo 2^64
  using Header = orxa_eventheader_2024;

  static constexpr std::size_t kServerHeadSize = sizeof(orxa_serv_block_head_2024);
  static constexpr std::size_t kNchanOffset = offsetof(orxa_serv_block_head_2024, nchan);
  static constexpr uint32_t kSlowPattern = ORXA_SLOW_PATTERN_2024;

  static std::vector<Record*>& list(EqEvstore& s) { return s.cache_2024; }
  static bool is_full(EqEvstore& s) { return s.IsFull_2024(); }
  static Record* first_record(EqEvstore& s, int how) { return s.FindFirstRecord_2024(how); }
  static eq_evstore_entry* find_channel(EqEvstore& s, Record* r, char* name) {
    return s.FindChannel_2024(r, name);
  }
  static bool remove_entry(EqEvstore& s, Record* r, eq_evstore_entry* e) {
    return s.RemEntry_2024(r, e);
  }

  static int64_t event_length(const Header& h) { return h.event_length; }

  static int decode_object(char* server_block, orxa_serv_block_subhead_2010* sub,
                           velmor::EqData** out) {
    return orxa_daq_to_eqdata_2024(0, server_block, sub, out, 1);
  }
  static void report_decode_failure(int r) {
    daq_print("orxa_daq_to_eqdata_2024() failed !!!  error:%d\n", r);
  }
  static void report_full_cache() {
    daq_line("daq_data_ljvhuto_cache() !!!! Failed to find first record in FULL cache !!!!!");
  }
  static void report_full_cache_slow() {
    daq_line("daq_data_to_cache(slow) !!!! Failed to find first record in FULL cache (2024) !!!!!");
  }
  static void read_first_event_number(orxa_daq_slow_data_header* h, Record* r) {
    orxa_slow_block_get_first_evid(h, &r->event_number);
  }

  static void print_record_line(const Record& r) {
    daq_print("RECORD: Time:%d:%d Event#:%ld Entries:%lu\n", static_cast<int>(r.time.timeup),
              static_cast<int>(r.time.timelow), static_cast<long>(r.event_number),
              static_cast<unsigned long>(r.entry.size()));
  }
};

#endif
