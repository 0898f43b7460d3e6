// One request's data stream: a data-link listener, the thread that serves the
// receiver that connects, and the record of the control messages it received
// (counts of all, the first and last few kept, so a flood costs no memory).
#ifndef DAQ_SERVER_DATA_STREAM_H
#define DAQ_SERVER_DATA_STREAM_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "daq_data_server.h"
#include "daq_mutex.h"
#include "request_plan.h"
#include "spare_listener.h"
#include "stream_threads.h"
#include "tidewire_listener.h"

struct StreamSettings {
  double rate_hz = 10.0;
  bool real_time = false;
  bool handshake = false;
  int accept_timeout_ms = 30000;
  long drop_after = -1;
  long stall_after = -1;
  int stall_ms = 0;
  long malformed_after = -1;
  bool verbose = false;
  int number = 0;  // the reply number, for messages
  // Refilled by the stream's thread when it begins; null: none.
  SpareListener* spare = nullptr;
  // A receiver that lets this long pass without progress (a message taken off
  // the link, the acknowledgment awaited, or while paused any flow-control
  // message) has its stream ended.
  int send_stall_ms = 30000;
};

class DataStream {
 public:
  DataStream(const RequestPlan& plan, const StreamSettings& settings, std::string server_name);
  ~DataStream();  // stops and joins
  DataStream(const DataStream&) = delete;
  DataStream& operator=(const DataStream&) = delete;

  // Listens on host, port 0 (taking the settings' spare listener when there
  // is one for host). 0 on success, else the listener's code.
  int open(const char* host);
  int port() const { return port_; }
  // Serves the stream on one of threads, which must outlive the stream. A
  // stream no thread can be had for is finished at once.
  void start(StreamThreads* threads);
  // Asks the thread to end (it ends within about 200 ms) and waits for it.
  void stop();
  // Asks the thread to end without waiting for it.
  void request_stop() { stop_ = true; }

  bool finished() const { return finished_.load(); }
  bool receiver_came() const { return receiver_came_.load(); }
  long events_sent() const { return events_sent_.load(); }
  std::vector<DaqControlRecord> control_log() const;
  // Fills the control fields of a summary: the kept messages and the counts.
  void control_summary(DaqRequestSummary* out) const;
  // True when the stream was ended because its receiver made no progress.
  bool stalled_out() const { return stalled_out_.load(); }

 private:
  void run();
  void serve(Tidewire* link);
  bool take_control(Tidewire* link, int wait_ms);
  void handle_control(int64_t number, time_stamp time);
  void record_control(const DaqControlRecord& record);
  bool stalled();
  int send(Tidewire* link, const char* data, size_t length);
  bool send_all(Tidewire* link, const char* data, size_t length);
  bool pause_for(Tidewire* link, int ms);
  void linger(Tidewire* link);

  RequestPlan plan_;
  StreamSettings settings_;
  std::string server_name_;
  std::unique_ptr<TidewireListener> listener_;  // set by open()
  int port_ = 0;
  std::future<void> served_;  // ready when the serving thread is done with this stream
  std::atomic<bool> stop_{false};
  std::atomic<bool> finished_{false};
  std::atomic<bool> receiver_came_{false};
  std::atomic<long> events_sent_{0};
  std::atomic<bool> stalled_out_{false};

  // State of the serving thread only.
  uint64_t next_ = 0;       // index of the next event to send
  int64_t last_sent_ = -1;  // event number of the last event sent
  bool paused_ = false;
  bool awaiting_ack_ = false;
  bool farewell_ = false;
  std::chrono::steady_clock::time_point progress_at_;  // the receiver's last sign of progress

  mutable DaqMutex log_lock_;
  std::vector<DaqControlRecord> first_ GUARDED_BY(log_lock_);  // up to DAQ_CONTROL_KEPT_FIRST
  DaqControlRecord last_[DAQ_CONTROL_KEPT_LAST] GUARDED_BY(log_lock_) = {};  // ring after those
  long total_ GUARDED_BY(log_lock_) = 0;
  long counts_[DAQ_CONTROL_OTHER + 1] GUARDED_BY(log_lock_) = {};
};

#endif
