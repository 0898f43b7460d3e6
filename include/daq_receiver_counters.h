// What a data receiver has done so far, readable from any thread while its
// thread runs and after it has ended, until the receiver is destroyed. Kept
// beside the receiver (its class layout is unchanged); reset by set_reply, like
// the drop counts. Fields read while the thread runs may come from moments a
// few messages apart, except the last event's number and time stamp, which
// always belong to one event.
#ifndef DAQ_RECEIVER_COUNTERS_H
#define DAQ_RECEIVER_COUNTERS_H

#include <cstdint>

#include "daq_export.h"

class EqDAQdata;
class EqDAQdata2024;

struct DaqReceiverCounters {
  uint64_t events_received = 0;     // event messages read off the data link (not the end mark)
  uint64_t bytes_received = 0;      // bytes of every message read off the link
  uint64_t dropped_events = 0;      // as get_dropped_events()
  uint64_t dropped_sub_blocks = 0;  // as get_dropped_sub_blocks()
  // Records the full cache pushed out for new ones. The receiver pauses the server
  // rather than fill its own list past the depth, so this counts only in a list
  // it does not regulate (slow data of the other generation) held over its depth.
  uint64_t records_evicted = 0;
  uint64_t pause_requests = 0;  // pause messages sent to the server
  uint64_t holds_sent = 0;      // hold messages sent while paused
  uint64_t resumes_sent = 0;    // resume messages sent
  uint64_t paused_us = 0;       // time the server was paused, counted at each hold (microseconds)
  uint64_t max_depth = 0;       // most records the cache held at once, after a store
  uint64_t last_event = 0;      // number of the last event received
  uint32_t last_seconds = 0;    // its time stamp
  uint32_t last_micros = 0;
};

// The receiver's counters now; all zero for a receiver that never received.
DAQ_EXPORT DaqReceiverCounters daq_receiver_counters(EqDAQdata& receiver);
DAQ_EXPORT DaqReceiverCounters daq_receiver_counters(EqDAQdata2024& receiver);

#endif
