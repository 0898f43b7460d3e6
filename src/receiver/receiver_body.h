// The one body of both data receivers. EqDAQdata and EqDAQdata2024 forward every
// operation to DaqReceiverBody<Gen> (Gen from receiver_generation.h), which is
// their friend; the member definitions live in receiver_lifecycle.h (set-up,
// start, stop), receiver_thread_loop.h (the receiver thread) and monitor_query.h
// (the monitor queries).
//
// Invariants:
// - thr_id is non-zero exactly while a started thread has not run its last step;
//   it is written under the receiver lock, so start_receiver stores it before the
//   thread can clear it.
// - dtask is non-null from a successful start until the thread has been joined;
//   its `thread` keeps the handle to join after the thread has cleared thr_id, so
//   a thread that ended by itself is joined by the next stop_receiver, init,
//   start_receiver or the destructor and never leaked.
// - Lock order: the receiver lock before the cache lock; the thread never holds
//   both, and nothing joins the thread while holding the receiver lock unless the
//   thread has already cleared thr_id (then it no longer needs that lock).
#ifndef DAQ_RECEIVER_BODY_H
#define DAQ_RECEIVER_BODY_H

#include <vector>

#include "receiver_generation.h"
#include "tidewire.h"

template <class Gen>
struct DaqReceiverBody {
  using Receiver = typename Gen::Receiver;
  using Task = typename Gen::Task;
  using Record = typename Gen::Record;
  using Options = typename Gen::Options;
  using QueryNumber = typename Gen::QueryNumber;
  using BoundNumber = typename Gen::BoundNumber;
  using Result = std::vector<EqData_dtype*>;

  // Lifecycle (receiver_lifecycle.h).
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

  // The receiver thread (receiver_thread_loop.h).
  static void* thread_main(void* prm);

  // Monitor queries (monitor_query.h).
  static int status_query(Receiver& r, int* ent);
  static bool time_bound(Receiver& r, time_stamp* tm, int how);
  static bool number_bound(Receiver& r, BoundNumber* ev_num, int how);
  static int record_query(Receiver& r, QueryNumber evnum, time_stamp* tm, Result** out, char* chan,
                          int how, int rem, Record** rc);
  static int options_query(Receiver& r, Result** out, Options* op, Record** rc);

 private:
  static void release_task(Receiver& r);
  static int thread_bits(Receiver& r);
  static Record* locate(Receiver& r, QueryNumber evnum, time_stamp* tm, int how);
};

#endif
