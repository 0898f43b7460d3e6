// DAQEqEvstore: the counts of what the conversions dropped. Relaxed atomics: each
// count is a statistic of its own, read while the receiver thread converts.
#include "eq_evstore.h"

uint64_t DAQEqEvstore::get_dropped_events() {
  return dropped_events.load(std::memory_order_relaxed);
}

uint64_t DAQEqEvstore::get_dropped_sub_blocks() {
  return dropped_sub_blocks.load(std::memory_order_relaxed);
}

void DAQEqEvstore::reset_dropped_counts() {
  dropped_events.store(0, std::memory_order_relaxed);
  dropped_sub_blocks.store(0, std::memory_order_relaxed);
}
