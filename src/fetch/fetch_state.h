// What one DaqFetch keeps between its road's steps and shares with stop().
#ifndef DAQ_FETCH_STATE_H
#define DAQ_FETCH_STATE_H

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "daq_fetch.h"
#include "daq_mutex.h"

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

  std::string error;
  int connect_code = 0;
  int end_status = 0;
  std::atomic<uint64_t> delivered{0};
  uint64_t dropped_events = 0;
  uint64_t dropped_sub_blocks = 0;
  bool stream_2024 = false;
  bool callback_threw = false;
};

#endif
