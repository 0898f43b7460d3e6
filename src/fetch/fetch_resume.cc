#include "fetch_resume.h"

#include <algorithm>

namespace {

uint64_t micros_of(const DaqFetchRecord& r) {
  return static_cast<uint64_t>(r.seconds) * 1000000u + r.micros;
}

}  // namespace

bool DeliveredMark::fresh(const DaqFetchRecord& r) const {
  if (r.slow) return !any_slow_ || micros_of(r) > last_slow_;
  return !any_event_ || r.event > last_event_;
}

void DeliveredMark::note(const DaqFetchRecord& r) {
  if (r.slow) {
    any_slow_ = true;
    last_slow_ = micros_of(r);
  } else {
    any_event_ = true;
    last_event_ = r.event;
  }
  last_second_ = std::max(last_second_, r.seconds);
}

DaqFetchRequest rest_of_range(const DaqFetchRequest& asked, const DeliveredMark& mark) {
  DaqFetchRequest rest = asked;
  if (asked.start_sec <= 0 || mark.last_second() == 0) return rest;
  int64_t from = std::max<int64_t>(asked.start_sec, mark.last_second());
  // A record stamped in the stop's own second must not turn the rest into an
  // empty range that validation refuses.
  if (asked.stop_sec > 0 && from >= asked.stop_sec) from = asked.stop_sec - 1;
  rest.start_sec = std::max(from, asked.start_sec);
  return rest;
}

int backoff_wait_ms(int first_ms, int attempt) {
  if (first_ms <= 0 || attempt <= 0) return 0;
  int64_t cap = std::max<int64_t>(DAQ_FETCH_MAX_BACKOFF_MS, first_ms);
  int64_t wait = first_ms;
  for (int i = 1; i < attempt && wait < cap; ++i) wait *= 2;
  return static_cast<int>(std::min(wait, cap));
}
