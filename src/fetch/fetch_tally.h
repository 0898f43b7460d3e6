// The fetch's counters, kept by run()'s thread and read from any thread. The
// receiver of the stream running now lives on run()'s stack: it is read through
// the tally's lock, which run() takes to let it go, so a reader never reaches a
// receiver being destroyed.
#ifndef DAQ_FETCH_TALLY_H
#define DAQ_FETCH_TALLY_H

#include <chrono>
#include <functional>

#include "daq_fetch.h"
#include "daq_mutex.h"

class FetchTally {
 public:
  void begin() EXCLUDES(lock_);
  void end() EXCLUDES(lock_);
  // The live receiver's counters, read until close_receiver adds its last ones.
  void open_receiver(std::function<DaqReceiverCounters()> read) EXCLUDES(lock_);
  void close_receiver() EXCLUDES(lock_);

  void delivered(const DaqFetchRecord& record) EXCLUDES(lock_);
  void duplicate() EXCLUDES(lock_);
  void reconnect() EXCLUDES(lock_);

  DaqFetchCounters now() const EXCLUDES(lock_);

 private:
  using Clock = std::chrono::steady_clock;
  mutable DaqMutex lock_;
  DaqFetchCounters c_ GUARDED_BY(lock_);
  std::function<DaqReceiverCounters()> live_ GUARDED_BY(lock_);
  Clock::time_point started_ GUARDED_BY(lock_);
  bool running_ GUARDED_BY(lock_) = false;
};

#endif
