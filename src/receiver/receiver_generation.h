// Traits of the two receiver generations. The receiver, its thread and its monitor
// queries are written once over these (receiver_body.h); EqDAQdata and
// EqDAQdata2024 only forward. Everything that differs between the generations
// lives here and nowhere else: header and tail layouts, the control-message
// values, the end-of-stream test, the cache list used, and the texts that name
// the thread function.
#ifndef DAQ_RECEIVER_GENERATION_H
#define DAQ_RECEIVER_GENERATION_H

#include <cstdint>

#include "daq_diag.h"
#include "eq_daq_data.h"
#include "eq_daq_data_2024.h"
#include "orxa_evutl.h"
#include "tidewire.h"

struct LegacyReceiverGen {
  using Receiver = EqDAQdata;
  using Task = DAQdata_task;
  using Options = DAQ_get_options;
  using Header = orxa_eventheader;
  using Tail = orxa_eventtail;
  using EventNumber = uint32_t;
  using QueryNumber = int;  // event number argument of the record query
  using BoundNumber = int;  // event number of the bounds query
  using Record = eq_evstore_record;

  static constexpr uint32_t kPattern = ORXA_EVENT_PATTERN;
  static constexpr uint32_t kControlLength = sizeof(Header) + sizeof(Tail);  // 40
  static constexpr EventNumber kPause = 0xffffffffu;                         // -1
  static constexpr EventNumber kFarewell = 0xfffffffeu;                      // -2

  static void* thread_entry(void* prm) { return receiver_thread(prm); }
  static constexpr void (*kSignalHandler)(int) = all_handler;

  static Header* event_header(Tidewire* link) { return link->get_event_header(); }
  // Any negative number (as signed 32 bits) ends the stream and is the status.
  static bool ends_stream(const Header& h, int* status) {
    int32_t n = static_cast<int32_t>(h.event_number);
    if (n >= 0) return false;
    *status = n;
    return true;
  }

  static int count(EqEvstore& c, bool lock) { return c.GetNRecords(lock); }
  static bool is_empty(EqEvstore& c) { return c.IsEmpty(); }
  static bool is_full(EqEvstore& c) { return c.IsFull(); }
  static Record* first(EqEvstore& c, int how) { return c.FindFirstRecord(how); }
  static Record* last(EqEvstore& c, int how) { return c.FindLastRecord(how); }
  static Record* find(EqEvstore& c, QueryNumber ev) { return c.FindRecord(ev); }
  static Record* find(EqEvstore& c, time_stamp t) { return c.FindRecord(t); }
  static Record* next(EqEvstore& c, QueryNumber ev) {
    return c.FindNextRecord(static_cast<uint32_t>(ev));
  }
  static Record* next(EqEvstore& c, time_stamp t) { return c.FindNextRecord(t); }
  static Record* prev(EqEvstore& c, QueryNumber ev) {
    return c.FindPrevRecord(static_cast<uint32_t>(ev));
  }
  static Record* prev(EqEvstore& c, time_stamp t) { return c.FindPrevRecord(t); }
  static eq_evstore_entry* channel(EqEvstore& c, Record* r, char* name) {
    return c.FindChannel(r, name);
  }
  static void set_seen(EqEvstore& c, Record* r) { c.SetRecordSeen(true, r); }
  static void remove(EqEvstore& c, Record* r) { c.RemRecord(r, false); }
  static bool first_number(EqEvstore& c, BoundNumber* n) { return c.get_first_eventnum(n); }
  static bool last_number(EqEvstore& c, BoundNumber* n) { return c.get_last_eventnum(n); }
  static void print_record(EqEvstore& c, Record* r) { c.PrintRecord(r); }

  static void report_start_failure() { daq_line("Failed to start receiver_thread()"); }
  static void report_exit_status(int st) {
    daq_print("receiver_thread:  terminated with status %d\n", st);
  }
  static void after_init() {}
};

struct ReceiverGen2024 {
  using Receiver = EqDAQdata2024;
  using Task = DAQdata_task_2024;
  using Options = DAQ_get_options_2024;
  using Header = orxa_eventheader_2024;
  using Tail = orxa_eventtail_2024;
  using EventNumber = uint64_t;
  using QueryNumber = uint64_t;
  using BoundNumber = uint64_t;
  using Record = eq_evstore_record_2024;

  static constexpr uint32_t kPattern = ORXA_EVENT_PATTERN_2024;
  static constexpr uint32_t kControlLength = sizeof(Header) + sizeof(Tail);  // 56
  static constexpr EventNumber kPause = 0xffffffffffffffffull;
  static constexpr EventNumber kFarewell = 0xfffffffffffffffeull;
  static constexpr EventNumber kEndOfStream = 0xfffffffffffffffdull;

  static void* thread_entry(void* prm) { return receiver_thread_2024(prm); }
  static constexpr void (*kSignalHandler)(int) = all_handler_2024;

  static Header* event_header(Tidewire* link) { return link->get_event_header_2024(); }
  // Only the exact end-of-stream value ends it; other numbers above 2^63 are events.
  static bool ends_stream(const Header& h, int* status) {
    if (h.event_number != kEndOfStream) return false;
    *status = -3;
    return true;
  }

  static int count(EqEvstore& c, bool lock) { return c.GetNRecords_2024(lock); }
  static bool is_empty(EqEvstore& c) { return c.IsEmpty_2024(); }
  static bool is_full(EqEvstore& c) { return c.IsFull_2024(); }
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

  static void report_start_failure() { daq_line("Failed to start receiver_thread_2024()"); }
  static void report_exit_status(int st) {
    daq_print("receiver_thread_2024:  terminated with status %d\n", st);
  }
  static void after_init() { set_data_format_2024(1); }
};

#endif
