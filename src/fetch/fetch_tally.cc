#include "fetch_tally.h"

#include <algorithm>
#include <utility>

namespace {

// Sums counts over receivers; the depth is the most any of them reached, and
// the last event is the one of the latest receiver that received any.
void add(DaqReceiverCounters* sum, const DaqReceiverCounters& one) {
  sum->events_received += one.events_received;
  sum->bytes_received += one.bytes_received;
  sum->dropped_events += one.dropped_events;
  sum->dropped_sub_blocks += one.dropped_sub_blocks;
  sum->records_evicted += one.records_evicted;
  sum->pause_requests += one.pause_requests;
  sum->holds_sent += one.holds_sent;
  sum->resumes_sent += one.resumes_sent;
  sum->paused_us += one.paused_us;
  sum->max_depth = std::max(sum->max_depth, one.max_depth);
  if (one.events_received > 0) {
    sum->last_event = one.last_event;
    sum->last_seconds = one.last_seconds;
    sum->last_micros = one.last_micros;
  }
}

}  // namespace

void FetchTally::begin() {
  DaqLockGuard guard(lock_);
  started_ = Clock::now();
  running_ = true;
}

void FetchTally::end() {
  DaqLockGuard guard(lock_);
  if (running_) c_.elapsed_s = std::chrono::duration<double>(Clock::now() - started_).count();
  running_ = false;
}

void FetchTally::open_receiver(std::function<DaqReceiverCounters()> read) {
  DaqLockGuard guard(lock_);
  live_ = std::move(read);
}

void FetchTally::close_receiver() {
  DaqLockGuard guard(lock_);
  if (live_) add(&c_.received, live_());
  live_ = nullptr;
}

void FetchTally::delivered(const DaqFetchRecord& r) {
  DaqLockGuard guard(lock_);
  ++c_.records_delivered;
  if (r.slow) return;
  c_.last_event = r.event;
  c_.last_seconds = r.seconds;
  c_.last_micros = r.micros;
}

void FetchTally::duplicate() {
  DaqLockGuard guard(lock_);
  ++c_.duplicates_skipped;
}

void FetchTally::reconnect() {
  DaqLockGuard guard(lock_);
  ++c_.reconnects;
}

DaqFetchCounters FetchTally::now() const {
  DaqLockGuard guard(lock_);
  DaqFetchCounters c = c_;
  if (live_) add(&c.received, live_());
  if (running_) c.elapsed_s = std::chrono::duration<double>(Clock::now() - started_).count();
  return c;
}
