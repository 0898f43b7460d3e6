// What a data receiver has done so far, readable from any thread while its
// thread runs and after it has ended. Kept beside the receiver (its class
// layout is unchanged); reset by set_reply, like the drop counts.
#ifndef DAQ_RECEIVER_COUNTERS_H
#define DAQ_RECEIVER_COUNTERS_H

#include <cstdint>

#include "daq_export.h"

class EqDAQdata;
class EqDAQdata2024;

struct DaqReceiverCounters {
  uint64_t events_received = 0;     // event messages read off the data link
  uint64_t bytes_received = 0;      // bytes of every message read off the link
  uint64_t dropped_events = 0;      // as get_dropped_events()
  uint64_t dropped_sub_blocks = 0;  // as get_dropped_sub_blocks()
  uint64_t records_evicted = 0;     // records the full cache pushed out for new ones
  uint64_t pause_requests = 0;      // pause messages sent to the server
  uint64_t holds_sent = 0;          // hold messages sent while paused
  uint64_t resumes_sent = 0;        // resume messages sent
  uint64_t paused_us = 0;           // time spent paused, microseconds
  uint64_t max_depth = 0;           // most records the cache held at once
  uint64_t last_event = 0;          // number of the last event received
  uint32_t last_seconds = 0;        // its time stamp
  uint32_t last_micros = 0;
};

// The receiver's counters now; all zero for a receiver that never received.
DAQ_EXPORT DaqReceiverCounters daq_receiver_counters(EqDAQdata& receiver);
DAQ_EXPORT DaqReceiverCounters daq_receiver_counters(EqDAQdata2024& receiver);

#endif
