// The one mapping from an event-number generation (legacy, 2024) to what differs
// between them: record and list types, event-number width, layouts, the decoder
// of complete data objects, the receiver's types and control values, the paired
// cache calls and the messages that name the generation. The cache, the
// receiver, the server's stream, daqget, the Python module and the tests are
// written once as templates over LegacyGen and Gen2024; everything else is the
// same for both and lives in those templates.
#ifndef DAQ_GENERATION_H
#define DAQ_GENERATION_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "daq_diag.h"
#include "eq_daq_data.h"
#include "eq_daq_data_2024.h"
#include "eq_evstore.h"
#include "orxa_event_builder.h"
#include "orxa_evutl.h"

struct LegacyGen {
  // record list and conversion
  using Record = eq_evstore_record;
  using EventNumber = uint32_t;
  using Distance = int32_t;  // event-number distance, modulo 2^32
  using Header = orxa_eventheader;

  static constexpr std::size_t kServerHeadSize = sizeof(orxa_serv_block_head_2010);
  static constexpr std::size_t kNchanOffset = offsetof(orxa_serv_block_head_2010, nchan);
  static constexpr uint32_t kSlowPattern = ORXA_SLOW_PATTERN;

  // Unchecked: the cache itself reaches a list through records(), which requires its lock.
  static std::vector<Record*>& list(EqEvstore& s) { return s.cache; }
  static bool is_full(EqEvstore& s) { return s.IsFull(); }

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

  // receiver and its control values
  using Receiver = EqDAQdata;
  using Task = DAQdata_task;
  using Options = DAQ_get_options;
  using Tail = orxa_eventtail;
  using QueryNumber = int;  // event number argument of the record query
  using BoundNumber = int;  // event number of the bounds query

  static constexpr uint32_t kPattern = ORXA_EVENT_PATTERN;
  static constexpr uint32_t kControlLength = sizeof(Header) + sizeof(Tail);  // 40
  static constexpr EventNumber kPause = 0xffffffffu;                         // -1
  static constexpr EventNumber kFarewell = 0xfffffffeu;                      // -2
  static constexpr EventNumber kEndOfStream = 0xfffffffdu;                   // -3
  static constexpr int kFormat = ORXA_FORMAT_LEGACY;
  static constexpr bool k2024 = false;

  static void* thread_entry(void* prm) { return receiver_thread(prm); }
  static constexpr void (*kSignalHandler)(int) = all_handler;

  template <class Link>
  static Header* event_header(Link* link) {
    return link->get_event_header();
  }
  // Any negative number (as signed 32 bits) ends the stream and is the status.
  static bool ends_stream(const Header& h, int* status) {
    int32_t n = static_cast<int32_t>(h.event_number);
    if (n >= 0) return false;
    *status = n;
    return true;
  }

  static void report_start_failure() { daq_line("Failed to start receiver_thread()"); }
  static void report_exit_status(int st) {
    daq_print("receiver_thread:  terminated with status %d\n", st);
  }
  static void after_init() {}

  // paired cache queries
  // The legacy queries take the 32-bit event number as an int: the same bits, so
  // numbers from 2^31 on travel as negative ints and come back unchanged.
  static QueryNumber query_number(uint64_t ev) {
    return static_cast<QueryNumber>(static_cast<EventNumber>(ev));
  }
  static EventNumber event_number(QueryNumber n) { return static_cast<EventNumber>(n); }

  static int count(EqEvstore& c, bool lock) { return c.GetNRecords(lock); }
  static bool is_empty(EqEvstore& c) { return c.IsEmpty(); }
  static Record* first(EqEvstore& c, int how) { return c.FindFirstRecord(how); }
  static Record* last(EqEvstore& c, int how) { return c.FindLastRecord(how); }
  static Record* find(EqEvstore& c, QueryNumber ev) { return c.FindRecord(ev); }
  static Record* find(EqEvstore& c, time_stamp t) { return c.FindRecord(t); }
  static Record* next(EqEvstore& c, QueryNumber ev) { return c.FindNextRecord(event_number(ev)); }
  static Record* next(EqEvstore& c, time_stamp t) { return c.FindNextRecord(t); }
  static Record* prev(EqEvstore& c, QueryNumber ev) { return c.FindPrevRecord(event_number(ev)); }
  static Record* prev(EqEvstore& c, time_stamp t) { return c.FindPrevRecord(t); }
  static eq_evstore_entry* channel(EqEvstore& c, Record* r, char* name) {
    return c.FindChannel(r, name);
  }
  static void set_seen(EqEvstore& c, Record* r) { c.SetRecordSeen(true, r); }
  static void remove(EqEvstore& c, Record* r) { c.RemRecord(r, false); }
  static bool first_number(EqEvstore& c, BoundNumber* n) { return c.get_first_eventnum(n); }
  static bool last_number(EqEvstore& c, BoundNumber* n) { return c.get_last_eventnum(n); }
  static void print_record(EqEvstore& c, Record* r) { c.PrintRecord(r); }
};

struct Gen2024 {
  // record list and conversion
  using Record = eq_evstore_record_2024;
  using EventNumber = uint64_t;
  using Distance = int64_t;  // modulo 2^64
  using Header = orxa_eventheader_2024;

  static constexpr std::size_t kServerHeadSize = sizeof(orxa_serv_block_head_2024);
  static constexpr std::size_t kNchanOffset = offsetof(orxa_serv_block_head_2024, nchan);
  static constexpr uint32_t kSlowPattern = ORXA_SLOW_PATTERN_2024;

  static std::vector<Record*>& list(EqEvstore& s) { return s.cache_2024; }
  static bool is_full(EqEvstore& s) { return s.IsFull_2024(); }

  static int64_t event_length(const Header& h) { return h.event_length; }

  static int decode_object(char* server_block, orxa_serv_block_subhead_2010* sub,
                           velmor::EqData** out) {
    return orxa_daq_to_eqdata_2024(0, server_block, sub, out, 1);
  }
  static void report_decode_failure(int r) {
    daq_print("orxa_daq_to_eqdata_2024() failed !!!  error:%d\n", r);
  }
  // The garbled function name is kept on purpose: operators' scripts match this line.
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

  // receiver and its control values
  using Receiver = EqDAQdata2024;
  using Task = DAQdata_task_2024;
  using Options = DAQ_get_options_2024;
  using Tail = orxa_eventtail_2024;
  using QueryNumber = uint64_t;
  using BoundNumber = uint64_t;

  static constexpr uint32_t kPattern = ORXA_EVENT_PATTERN_2024;
  static constexpr uint32_t kControlLength = sizeof(Header) + sizeof(Tail);  // 56
  static constexpr EventNumber kPause = 0xffffffffffffffffull;
  static constexpr EventNumber kFarewell = 0xfffffffffffffffeull;
  static constexpr EventNumber kEndOfStream = 0xfffffffffffffffdull;
  static constexpr int kFormat = ORXA_FORMAT_2024;
  static constexpr bool k2024 = true;

  static void* thread_entry(void* prm) { return receiver_thread_2024(prm); }
  static constexpr void (*kSignalHandler)(int) = all_handler_2024;

  template <class Link>
  static Header* event_header(Link* link) {
    return link->get_event_header_2024();
  }
  // Only the exact end-of-stream value ends it; other numbers above 2^63 are events.
  static bool ends_stream(const Header& h, int* status) {
    if (h.event_number != kEndOfStream) return false;
    *status = -3;
    return true;
  }

  static void report_start_failure() { daq_line("Failed to start receiver_thread_2024()"); }
  static void report_exit_status(int st) {
    daq_print("receiver_thread_2024:  terminated with status %d\n", st);
  }
  static void after_init() { set_data_format_2024(1); }

  // paired cache queries
  static QueryNumber query_number(uint64_t ev) { return ev; }
  static EventNumber event_number(QueryNumber n) { return n; }

  static int count(EqEvstore& c, bool lock) { return c.GetNRecords_2024(lock); }
  static bool is_empty(EqEvstore& c) { return c.IsEmpty_2024(); }
  static Record* first(EqEvstore& c, int how) { return c.FindFirstRecord_2024(how); }
  static Record* last(EqEvstore& c, int how) { return c.FindLastRecord_2024(how); }
  static Record* find(EqEvstore& c, QueryNumber ev) { return c.FindRecord_2024(ev); }
  static Record* find(EqEvstore& c, time_stamp t) { return c.FindRecord_2024(t); }
  static Record* next(EqEvstore& c, QueryNumber ev) { return c.FindNextRecord_2024(ev); }
  static Record* next(EqEvstore& c, time_stamp t) { return c.FindNextRecord_2024(t); }
  static Record* prev(EqEvstore& c, QueryNumber ev) { return c.FindPrevRecord_2024(ev); }
  static Record* prev(EqEvstore& c, time_stamp t) { return c.FindPrevRecord_2024(t); }
  static eq_evstore_entry* channel(EqEvstore& c, Record* r, char* name) {
    return c.FindChannel_2024(r, name);
  }
  static void set_seen(EqEvstore& c, Record* r) { c.SetRecordSeen_2024(true, r); }
  static void remove(EqEvstore& c, Record* r) { c.RemRecord_2024(r, false); }
  static bool first_number(EqEvstore& c, BoundNumber* n) { return c.get_first_eventnum_2024(n); }
  static bool last_number(EqEvstore& c, BoundNumber* n) { return c.get_last_eventnum_2024(n); }
  static void print_record(EqEvstore& c, Record* r) { c.PrintRecord_2024(r); }
};

#endif
