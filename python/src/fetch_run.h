// Fetch: DaqFetch run on a thread of its own, without the GIL. Its records go
// either to the Python iterator through a small bounded queue (next()) or to a
// consumer in C++ (run_into(), e.g. a file sink), while the calling thread
// waits and keeps answering Python's signals. Closing the iterator, a Ctrl-C in
// the waiting thread or the object's end stops the fetch and joins its thread.
#ifndef DAQCLIENT_FETCH_RUN_H
#define DAQCLIENT_FETCH_RUN_H

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "daq_fetch.h"
#include "daqclient.h"

namespace daqclient {

class Fetch {
 public:
  explicit Fetch(const DaqFetchRequest& request);
  ~Fetch();

  // The next record, None once the fetch has ended (result() tells how).
  py::object next();

  // Runs the whole fetch, each record handed to `deliver` on the fetch's
  // thread (false stops it), and returns once it has ended. `prepare` sees the
  // request before the fetch copies it (a sink attaching its hooks). Needs the
  // GIL, releases it while waiting; on a Python signal (Ctrl-C) the fetch is
  // stopped and joined and the signal's exception thrown. Only before next().
  void run_into(const std::function<void(DaqFetchRequest&)>& prepare,
                const std::function<bool(DaqFetchRecord&)>& deliver);

  // Ends the fetch (a handshake or stream still going) and drops what waits.
  void stop();

  int result();  // DAQ_FETCH_*, -1 while it runs
  DaqFetch& fetch() { return *fetch_; }

 private:
  struct Waiting;

  void start(std::function<bool(DaqFetchRecord&)> deliver);
  bool offer(DaqFetchRecord& r);
  void join();
  // Waits up to 100 ms for a queued record or the end, without the GIL.
  std::unique_ptr<Waiting> wait_step(bool* over);
  // After a Python signal: stops the fetch and throws the signal's exception.
  [[noreturn]] void stop_on_signal();

  DaqFetchRequest request_;
  std::unique_ptr<DaqFetch> fetch_;
  std::thread worker_;
  std::mutex join_lock_;
  bool started_ = false;
  std::mutex lock_;
  std::condition_variable ready_;
  std::condition_variable space_;
  std::deque<std::unique_ptr<Waiting>> queue_;
  bool closing_ = false;
  bool finished_ = false;
  int result_ = 0;
};

// The counters of a fetch as the dict that Fetch.counters() returns.
py::dict counters_dict(const DaqFetchCounters& c);

}  // namespace daqclient

#endif
