// Threads for the data streams, kept for the next stream once theirs has ended:
// starting a thread costs more than the rest of a request's handshake on some
// machines, and the first answer waits for it.
#ifndef DAQ_SERVER_STREAM_THREADS_H
#define DAQ_SERVER_STREAM_THREADS_H

#include <condition_variable>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <thread>
#include <vector>

class StreamThreads {
 public:
  StreamThreads() = default;
  // Ends the waiting threads and joins every thread: the jobs must have ended.
  ~StreamThreads();
  StreamThreads(const StreamThreads&) = delete;
  StreamThreads& operator=(const StreamThreads&) = delete;

  // Runs job on a waiting thread, or on a new one. False when no thread can be
  // started; then job is not run.
  bool run(std::function<void()> job);

 private:
  void work();
  // Joins the threads that have left; under lock_, which it releases meanwhile.
  void join_departed(std::unique_lock<std::mutex>& held);

  std::mutex lock_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;  // handed over, not yet taken
  size_t waiting_ = 0;                      // threads waiting for a job
  bool ending_ = false;
  std::list<std::thread> threads_;
  std::vector<std::thread::id> departed_;  // threads that have left their loop
};

#endif
