// The one body of both data receivers. EqDAQdata and EqDAQdata2024 forward every
// operation to DaqReceiverBody<Gen> (Gen from daq_generation.h), which is their
// friend. Defined, with its lock rule and invariants, in receiver_body.cc, which
// instantiates it for LegacyGen and Gen2024.
#ifndef DAQ_RECEIVER_BODY_H
#define DAQ_RECEIVER_BODY_H

#include <cstdint>
#include <string>
#include <vector>

#include "daq_export.h"
#include "daq_generation.h"

// What the record a query delivered was: read under the query's own hold,
// since a removed record is gone (its address free for reuse) once the hold
// ends, and a kept one may be pushed out by the receiver thread.
struct DaqRecordHead {
  uint64_t event = 0;
  uint32_t seconds = 0, micros = 0;
  std::vector<std::string> names;  // one per value handed out, in order
};

template <class Gen>
struct DaqReceiverBody {
  using Receiver = typename Gen::Receiver;
  using Task = typename Gen::Task;
  using Record = typename Gen::Record;
  using Options = typename Gen::Options;
  using QueryNumber = typename Gen::QueryNumber;
  using BoundNumber = typename Gen::BoundNumber;
  using Result = std::vector<EqData_dtype*>;

  // Lifecycle.
  static void construct(Receiver& r, int dep, int inc);
  static void destroy(Receiver& r);
  static void init(Receiver& r);
  static bool set_cache_depth(Receiver& r, int dep);
  static bool set_reply(Receiver& r, daq_server_reply* rep);
  static bool connect(Receiver& r);
  static bool start_receiver(Receiver& r, bool block);
  static void stop_receiver(Receiver& r);
  static void reset_thr_id(Receiver& r);
  static bool set_idle_timeout(Receiver& r, int milliseconds);
  static uint64_t dropped_events(Receiver& r);
  static uint64_t dropped_sub_blocks(Receiver& r);
  static const char* link_failure_text(Receiver& r);
  // For the receiver thread: the idle bound now, and one event it had to drop.
  static int idle_timeout(Receiver& r) { return r.idle_timeout_ms; }
  static void count_dropped_event(Receiver& r) { ++r.dropped_events; }

  // The receiver thread.
  static void* thread_main(void* prm);

  // Monitor queries.
  static int status_query(Receiver& r, int* ent);
  static bool time_bound(Receiver& r, time_stamp* tm, int how);
  static bool number_bound(Receiver& r, BoundNumber* ev_num, int how);
  static int record_query(Receiver& r, QueryNumber evnum, time_stamp* tm, Result** out, char* chan,
                          int how, int rem, Record** rc);
  static int options_query(Receiver& r, Result** out, Options* op, Record** rc);

  using RecordHead = DaqRecordHead;
  // The earliest record by time, removed, with its head; codes as record_query.
  static int take_first(Receiver& r, Result** out, RecordHead* head);
  // record_query with the delivered record's head in *head.
  static int record_query_with_head(Receiver& r, QueryNumber evnum, time_stamp* tm, Result** out,
                                    char* chan, int how, int rem, RecordHead* head);

 private:
  // The fields that the receiver lock guards, behind accessors that require it.
  class State;
  // Starts the thread under the receiver lock; false when none was started.
  static bool launch(Receiver& r);
  static void release_task(Receiver& r);
  static int thread_bits(Receiver& r);
  static Record* locate(Receiver& r, QueryNumber evnum, time_stamp* tm, int how);
  static int query(Receiver& r, QueryNumber evnum, time_stamp* tm, Result** out, char* chan,
                   int how, int rem, Record** rc, RecordHead* head);
};

// The record query with its head, for the Python module's receiver binding,
// which drives a receiver directly (the body itself is not exported).
DAQ_EXPORT int daq_record_query_with_head(EqDAQdata& r, int evnum, time_stamp* tm,
                                          std::vector<EqData_dtype*>** out, char* chan, int how,
                                          int rem, DaqRecordHead* head);
DAQ_EXPORT int daq_record_query_with_head(EqDAQdata2024& r, uint64_t evnum, time_stamp* tm,
                                          std::vector<EqData_dtype*>** out, char* chan, int how,
                                          int rem, DaqRecordHead* head);

#endif
