// What one DaqFetch keeps between its road's steps and shares with stop().
#ifndef DAQ_FETCH_STATE_H
#define DAQ_FETCH_STATE_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "daq_fetch.h"
#include "daq_mutex.h"
#include "fetch_period.h"
#include "fetch_resume.h"
#include "fetch_tally.h"

class EqDAQconnect;

struct DaqFetch::State {
  DaqFetchRequest request;
  // Channel names as requested, without sampling parameters.
  std::vector<std::string> requested;

  std::atomic<bool> stop{false};
  bool ran = false;
  // The connection while connect() may run, so stop() can cancel it; the lock
  // keeps it alive while stop() uses it.
  DaqMutex connection_lock;
  EqDAQconnect* connection = nullptr;
  // Wakes a wait between two attempts when stop() is called.
  std::mutex wake_lock;
  std::condition_variable wake;

  std::string error;
  // Why the last stream broke, without the record count error() leads with.
  std::string cause;
  int connect_code = 0;
  int end_status = 0;
  // Summed over every stream of the fetch: a drop in a broken stream may be
  // an event no later stream resends.
  uint64_t dropped_events = 0;
  uint64_t dropped_sub_blocks = 0;
  bool stream_2024 = false;
  bool callback_threw = false;

  DeliveredMark mark;  // run()'s thread only
  FetchTally tally;

  // Whether a record not delivered yet is one the caller asked for. Every
  // record is, as long as the request's range is what the server was asked;
  // a range asked wider than wanted (set when run() begins) narrows it here.
  bool narrow = false;
  bool wanted(const DaqFetchRecord& r) const {
    return !narrow || instant_in_request(request, r.seconds, r.micros);
  }
  uint64_t delivered() const { return tally.now().records_delivered; }
};

#endif
