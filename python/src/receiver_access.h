// One interface over both receiver generations, and the record query the
// binding builds on: the receiver body's query that reads the record's stamp
// and the names of the delivered entries under the same cache hold that finds,
// copies or removes it, so a record the receiver thread pushes out (a depth
// lowered below what the cache holds) is never read after it is gone.
//
// Used by the Receiver binding, for applications that drive a receiver
// themselves; fetch() goes through the library's DaqFetch instead.
#ifndef DAQCLIENT_RECEIVER_ACCESS_H
#define DAQCLIENT_RECEIVER_ACCESS_H

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "daq_generation.h"
#include "daq_text.h"
#include "receiver_body.h"

namespace daqclient {

// A query's copies with the record's stamp and entry names (owned by the caller:
// release `out` as get_monitor's caller must).
struct QueryResult {
  int result = 0;
  time_stamp time{0, 0};
  uint64_t event_number = 0;
  std::vector<std::string> names;
  std::vector<EqData_dtype*>* out = nullptr;
};

class ReceiverAccess {
 public:
  virtual ~ReceiverAccess() = default;
  virtual bool is_2024() const = 0;
  virtual bool set_reply(daq_server_reply* reply) = 0;
  virtual bool connect() = 0;
  virtual bool start_receiver(bool block) = 0;
  virtual void stop_receiver() = 0;
  virtual bool thread_is_over() = 0;
  virtual bool done() = 0;
  virtual int end_data_status() = 0;
  virtual const char* end_data_status_text() = 0;
  virtual int status(int* entries) = 0;
  virtual bool time_bound(time_stamp* tm, int how) = 0;
  virtual bool event_bound(uint64_t* ev, int how) = 0;
  virtual void clear_monitor() = 0;
  virtual bool set_cache_depth(int depth) = 0;
  virtual int depth() = 0;
  virtual int entries() = 0;
  virtual bool set_idle_timeout(int milliseconds) = 0;
  virtual int idle_timeout() = 0;
  virtual uint64_t dropped_events() = 0;
  virtual uint64_t dropped_sub_blocks() = 0;
  virtual const char* link_failure_text() = 0;
  // The record query; chan null or empty: all channels.
  virtual QueryResult query(uint64_t evnum, time_stamp* tm, const char* chan, int how,
                            bool remove) = 0;
};

template <class G>
class ReceiverOf final : public ReceiverAccess {
 public:
  ReceiverOf(int depth, int inc) : r_(depth, inc) {}
  bool is_2024() const override { return G::k2024; }
  bool set_reply(daq_server_reply* reply) override { return r_.set_reply(reply); }
  bool connect() override { return r_.connect(); }
  bool start_receiver(bool block) override { return r_.start_receiver(block); }
  void stop_receiver() override { r_.stop_receiver(); }
  bool thread_is_over() override { return r_.if_thread_is_over(); }
  bool done() override { return (r_.get_monitor(static_cast<int*>(nullptr)) & DAQ_MON_DONE) != 0; }
  int end_data_status() override { return r_.get_end_data_status(); }
  const char* end_data_status_text() override { return r_.get_end_data_status_string(); }
  int status(int* entries) override { return r_.get_monitor(entries); }
  bool time_bound(time_stamp* tm, int how) override { return r_.get_monitor(tm, how); }
  bool event_bound(uint64_t* ev, int how) override {
    typename G::BoundNumber v = 0;
    if (r_.get_monitor(&v, how)) return true;
    *ev = G::event_number(v);
    return false;
  }
  void clear_monitor() override {
    std::lock_guard<std::mutex> g(query_lock_);
    r_.clear_monitor();
  }
  bool set_cache_depth(int depth) override { return r_.set_cache_depth(depth); }
  int depth() override { return r_.get_cache()->GetDepth(); }
  int entries() override { return r_.get_number_of_entries(); }
  bool set_idle_timeout(int milliseconds) override { return r_.set_idle_timeout(milliseconds); }
  int idle_timeout() override { return r_.get_idle_timeout(); }
  uint64_t dropped_events() override { return r_.get_dropped_events(); }
  uint64_t dropped_sub_blocks() override { return r_.get_dropped_sub_blocks(); }
  const char* link_failure_text() override { return r_.get_link_failure_string(); }

  QueryResult query(uint64_t evnum, time_stamp* tm, const char* chan, int how,
                    bool remove) override {
    std::lock_guard<std::mutex> g(query_lock_);
    QueryResult q;
    char name[DAQ_GET_CHAN_SIZE] = {0};
    bool one = chan != nullptr && chan[0] != '\0';
    if (one) copy_text(name, chan);
    DaqRecordHead head;
    q.result =
        daq_record_query_with_head(r_, G::query_number(evnum), tm, &q.out, one ? name : nullptr,
                                   how, remove ? DAQ_GET_REMOVE : 0, &head);
    if (q.out == nullptr) return q;
    q.time.timeup = head.seconds;
    q.time.timelow = head.micros;
    q.event_number = head.event;
    if (one) {
      q.names.emplace_back(name);
    } else {
      q.names = std::move(head.names);
    }
    return q;
  }

 private:
  typename G::Receiver r_;
  std::mutex query_lock_;
};

// Waits for the earliest record by time and takes it out of the cache. Returns
// the result of the last query: DAQ_MON_DATA with `out` set, DAQ_MON_NO_MORE when
// the stream is over and the cache empty, or neither when `wait` passed. Polls
// with a backoff from 50 us to 2 ms, so a record is seen soon after it arrives
// without the poll loading the cache lock.
inline QueryResult take_earliest(ReceiverAccess& r, std::chrono::microseconds wait) {
  auto until = std::chrono::steady_clock::now() + wait;
  std::chrono::microseconds pause(50);
  for (;;) {
    QueryResult q = r.query(0, nullptr, nullptr, DAQ_GET_FIRST | EQCACHE_FIND_TIME, true);
    if (q.out != nullptr || (q.result & DAQ_MON_NO_MORE) != 0) return q;
    if (std::chrono::steady_clock::now() >= until) return q;
    std::this_thread::sleep_for(pause);
    if (pause < std::chrono::microseconds(2000)) pause *= 2;
  }
}

}  // namespace daqclient

#endif
