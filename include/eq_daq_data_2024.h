// The data receiver of the 2024 generation (64-bit event numbers). It behaves as
// EqDAQdata (eq_daq_data.h, which also holds the access and result bits) except:
// 64-bit event numbers and headers (48-byte header, 8-byte tail, control messages
// of 56 bytes), the 2024 list of the cache, only the event number
// 0xfffffffffffffffd ends the stream (status -3), and init() switches the event
// utilities to the 2024 formats.
#ifndef EQ_DAQ_DATA_2024_H
#define EQ_DAQ_DATA_2024_H

#include "eq_daq_data.h"

class EqDAQdata2024;

struct DAQ_get_options_2024 {
  uint64_t evnum;                // 0: search by time
  time_stamp time;               // used when evnum is 0
  char chan[DAQ_GET_CHAN_SIZE];  // empty: all channels
  int access;                    // search mode and removal flag at once
};

struct DAQdata_task_2024 {
  EqDAQdata2024* it;
  DAQEqEvstore* cache;
  Tidewire* dlink;
  daq_server_reply* reply;
  std::atomic<int> stop;  // set to 1 to ask the thread to end
  pthread_t thread;       // the thread to join, kept after it has cleared thr_id
};

class DAQ_EXPORT EqDAQdata2024 {
 public:
  EqDAQdata2024(int dep, int inc);
  ~EqDAQdata2024();
  EqDAQdata2024(const EqDAQdata2024&) = delete;
  EqDAQdata2024& operator=(const EqDAQdata2024&) = delete;

  // As EqDAQdata::init, then set_data_format_2024(1).
  void init();
  void clear_monitor();
  void lock();
  void unlock();
  void set_done(bool d);
  void set_swap(bool s);
  bool set_cache_depth(int dep);
  bool set_reply(daq_server_reply* rep);
  bool connect();
  bool start_receiver(bool block);
  void stop_receiver();
  void reset_thr_id();
  bool if_thread_is_over();
  int get_end_data_status();
  // Keeps the low 32 bits.
  void set_end_data_status(uint64_t st);
  const char* get_end_data_status_string();
  DAQEqEvstore* get_cache();
  int get_number_of_entries();
  void print_record(eq_evstore_record_2024* rec);

  int get_monitor(int* ent);
  bool get_monitor(time_stamp* tm, int how);
  bool get_monitor(uint64_t* ev_num, int how);
  int get_monitor(uint64_t evnum, time_stamp* tm, std::vector<EqData_dtype*>** out, char* chan,
                  int how, int rem, eq_evstore_record_2024** rc);
  int get_monitor(std::vector<EqData_dtype*>** out, DAQ_get_options_2024* op,
                  eq_evstore_record_2024** rc);

  // As on EqDAQdata.
  bool set_idle_timeout(int milliseconds);
  int get_idle_timeout();
  uint64_t get_dropped_events();
  uint64_t get_dropped_sub_blocks();
  const char* get_link_failure_string();

 private:
  template <class Gen>
  friend struct DaqReceiverBody;

  int depth;
  bool must_swap;
  DAQEqEvstore cache;
  daq_server_reply reply;
  Tidewire* dlink;
  std::atomic<pthread_t> thr_id;
  pthread_mutex_t mlock;
  DAQdata_task_2024* dtask;
  std::atomic<bool> done;
  std::atomic<int> end_data_status;
  std::atomic<int> idle_timeout_ms;
  std::atomic<uint64_t> dropped_events;
};

DAQ_EXPORT void* receiver_thread_2024(void* prm);
DAQ_EXPORT void all_handler_2024(int sig);

#endif
