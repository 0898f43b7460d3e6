// The data receiver of the legacy generation (32-bit event numbers): takes the DAQ
// data stream announced in a server reply into a record cache and answers monitor
// queries on it. The 2024 twin is EqDAQdata2024 (eq_daq_data_2024.h).
//
// Calling order for one acquisition: construct; set_reply; connect; start_receiver;
// get_monitor until the stream ends (if_thread_is_over, get_end_data_status) or the
// application has enough; stop_receiver or init / clear_monitor; then destroy the
// receiver or begin again with set_reply.
//
// Threads and locks: the application's threads call every operation; one receiver
// thread per started receiver fills the cache. Two locks: the receiver lock (mlock,
// lock()/unlock()) and the cache lock (get_cache()->mlock); the receiver lock is
// always taken first. An application holding mlock through lock() must release it
// before stop_receiver, init, clear_monitor or waiting for the thread to end.
// stop_receiver interrupts a blocked receive with SIGABRT: from the first start on,
// the process's SIGABRT disposition is an empty handler.
//
// Ownership: the receiver owns its cache, its reply copy, its data link and the
// thread's task block. Everything a record query hands out belongs to the caller.
// Results given as bool are true on failure.
#ifndef EQ_DAQ_DATA_H
#define EQ_DAQ_DATA_H

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include "daq_export.h"
#include "daq_server_util_def.h"
#include "eq_evstore.h"

class Tidewire;
class EqDAQdata;

// The operations shared by both receiver generations (internal, not part of the
// interface); it is the one body behind EqDAQdata and EqDAQdata2024.
template <class Gen>
struct DaqReceiverBody;

// Access bits of a record query: one direction (tested in this order), and in
// `rem` the removal flag. EQCACHE_FIND_TIME / _EVNUM / _NOTSEEN (eq_evstore.h) are
// passed on in `how` to the first/last searches.
enum {
  DAQ_GET_FIRST = 1,
  DAQ_GET_LAST = 2,
  DAQ_GET_THIS = 4,
  DAQ_GET_NEXT = 8,
  DAQ_GET_PREV = 16,
  DAQ_GET_REMOVE = 256
};

// Result bits of the status query and of the record query, summed.
enum {
  DAQ_MON_DATA = 1,        // record delivered / the cache holds records
  DAQ_MON_EMPTY = 2,       // the cache is empty
  DAQ_MON_NO_MORE = 4,     // nothing to deliver and no receiver thread runs
  DAQ_MON_FULL = 8,        // the cache holds as many records as its depth
  DAQ_MON_NO_THREAD = 16,  // no receiver thread runs
  DAQ_MON_DONE = 32,       // a receiver thread has ended
  DAQ_MON_NOT_FOUND = 1024,
  DAQ_MON_BAD_RESULT = 2048  // a record was found but its copy failed
};

// Size of the channel-name field of the options block, NUL included.
enum { DAQ_GET_CHAN_SIZE = 256 };

// Default of set_idle_timeout: a receiving thread that gets no complete message
// for a minute ends.
enum { DAQ_RECEIVER_DEFAULT_IDLE_TIMEOUT_MS = 60000 };

// Argument block of the options form of get_monitor.
struct DAQ_get_options {
  int evnum;                     // 0: search by time
  time_stamp time;               // used when evnum is 0
  char chan[DAQ_GET_CHAN_SIZE];  // empty: all channels
  int access;                    // search mode and removal flag at once
};

// The block start_receiver hands to the receiver thread (malloc'd, released by
// stop_receiver, init and the destructor).
struct DAQdata_task {
  EqDAQdata* it;
  DAQEqEvstore* cache;
  Tidewire* dlink;
  daq_server_reply* reply;
  std::atomic<int> stop;  // set to 1 to ask the thread to end
  pthread_t thread;       // the thread to join, kept after it has cleared thr_id
};

class DAQ_EXPORT EqDAQdata {
 public:
  // dep: cache depth in records (0 or less: derive it from the reply); inc: records
  // by which the thread grows the depth while the server is paused and the cache
  // stays full (0: never grow, wait for the application).
  EqDAQdata(int dep, int inc);
  ~EqDAQdata();
  EqDAQdata(const EqDAQdata&) = delete;
  EqDAQdata& operator=(const EqDAQdata&) = delete;

  // Stops (and joins) the thread, then under mlock empties the cache and the
  // reply copy; done and the end-data status keep their values.
  void init();
  void clear_monitor();
  void lock();
  void unlock();
  void set_done(bool d);
  void set_swap(bool s);
  bool set_cache_depth(int dep);
  // Deep copy of rep; derives the depth (5.05 records per second of the served
  // period) when none was chosen.
  bool set_reply(daq_server_reply* rep);
  // Connects the data link to the reply's host and port.
  bool connect();
  // Starts the receiver thread; with block true returns after it has ended.
  bool start_receiver(bool block);
  // Asks the thread to end, interrupts its receive, joins it and releases the task
  // block; returns at once when the thread has already ended.
  void stop_receiver();
  void reset_thr_id();
  bool if_thread_is_over();
  int get_end_data_status();
  void set_end_data_status(int st);
  const char* get_end_data_status_string();
  DAQEqEvstore* get_cache();
  int get_number_of_entries();
  void print_record(eq_evstore_record* rec);

  // Status query: DAQ_MON_* bits; *ent (when not null) the number of records.
  int get_monitor(int* ent);
  // Earliest (how 0) or latest record time; true when the cache is empty.
  bool get_monitor(time_stamp* tm, int how);
  // Smallest (how 0) or largest event number; true when the cache is empty.
  bool get_monitor(int* ev_num, int how);
  // Record query: finds one record (by event number, by time, first / last / next /
  // previous, see DAQ_GET_*), copies all its channels or the one named chan into
  // a new vector stored in *out, then marks the record seen or, with
  // DAQ_GET_REMOVE in rem, removes it. *rc receives the record's address (after a
  // removal only an identity, never to be dereferenced). The caller releases the
  // vector: per element delete data, free slblock, delete the element.
  int get_monitor(int evnum, time_stamp* tm, std::vector<EqData_dtype*>** out, char* chan, int how,
                  int rem, eq_evstore_record** rc);
  // Options form; op null takes the earliest record by time and removes it.
  int get_monitor(std::vector<EqData_dtype*>** out, DAQ_get_options* op, eq_evstore_record** rc);

  // Bound on the time the thread spends receiving without a complete message
  // (a silent peer, a message cut off with the link open, a trickle). Past it the
  // thread ends as on a receive failure: end-data status 45 (the data link's
  // idle code), a farewell, every record already in the cache kept. Time the
  // thread spends paused by its own flow control does not count. 0: no bound.
  // True on failure (negative; nothing stored). Read by a running thread too.
  bool set_idle_timeout(int milliseconds);
  int get_idle_timeout();
  // Events, and sub-blocks of otherwise kept events, that the receiver or the
  // conversion had to drop since set_reply (messages of an unknown kind, events
  // the cache refused, malformed sub-blocks). Messages still on the link when
  // the application stops the thread are not counted. Any thread may ask.
  uint64_t get_dropped_events();
  uint64_t get_dropped_sub_blocks();
  // For a positive end-data status (a failure of the data link): the link's own
  // text of that code; otherwise the same as get_end_data_status_string().
  const char* get_link_failure_string();

 private:
  template <class Gen>
  friend struct DaqReceiverBody;

  int depth;  // -1 while none was chosen
  bool must_swap;
  DAQEqEvstore cache;
  daq_server_reply reply;
  Tidewire* dlink;
  std::atomic<pthread_t> thr_id;  // 0 while no thread runs
  pthread_mutex_t mlock;
  DAQdata_task* dtask;
  std::atomic<bool> done;
  std::atomic<int> end_data_status;
  std::atomic<int> idle_timeout_ms;
  std::atomic<uint64_t> dropped_events;  // the receiver's own drops
};

// The receiver thread (prm: the DAQdata_task) and its empty SIGABRT handler.
DAQ_EXPORT void* receiver_thread(void* prm);
DAQ_EXPORT void all_handler(int sig);

#endif
