// The resume rule: what a fetch asks again after a broken stream, which of the
// records the new stream brings were delivered already, and how long it waits
// before asking.
#ifndef DAQ_FETCH_RESUME_H
#define DAQ_FETCH_RESUME_H

#include <cstdint>

#include "daq_fetch.h"

// What a fetch has delivered so far, as far as the skip rule needs it. Event
// numbers rise within a range and a resumed stream starts at or before the
// last delivered one, so "not above the last" means "delivered already".
// Slow-data records carry the first event of their block, not a rising
// number of their own, so they are told apart by their time stamp.
class DeliveredMark {
 public:
  // True when the record has not been delivered yet.
  bool fresh(const DaqFetchRecord& record) const;
  // Notes a delivered record.
  void note(const DaqFetchRecord& record);
  // The second of the last delivered record (of either kind); 0 before any.
  uint32_t last_second() const { return last_second_; }

 private:
  bool any_event_ = false;
  uint64_t last_event_ = 0;
  bool any_slow_ = false;
  uint64_t last_slow_ = 0;  // seconds * 1e6 + micros
  uint32_t last_second_ = 0;
};

// The request that asks for the rest of the range: time ranges from the second
// of the last delivered record (never before the start asked, nor at or after
// the stop asked), run ranges the same runs again; everything else as asked.
DaqFetchRequest rest_of_range(const DaqFetchRequest& asked, const DeliveredMark& mark);

// The wait before the attempt-th consecutive attempt (1-based): first_ms,
// doubling, capped at DAQ_FETCH_MAX_BACKOFF_MS (or first_ms when larger).
int backoff_wait_ms(int first_ms, int attempt);

#endif
