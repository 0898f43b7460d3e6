// The cache's own allocations and their failure injection. The counter is
// atomic so a test may arm it while a receiver thread converts.
#include "cache_alloc.h"

#include <atomic>
#include <cstdlib>

#include "daq_diag.h"
#include "record_store.h"

namespace {
std::atomic<int> allocations_until_failure{0};
}

bool cache_allocation_fails() {
  int left = allocations_until_failure.load(std::memory_order_relaxed);
  while (left > 0) {
    if (allocations_until_failure.compare_exchange_weak(left, left - 1)) return left == 1;
  }
  return false;
}

void* cache_malloc(std::size_t n) {
  if (cache_allocation_fails()) return nullptr;
  return std::malloc(n);
}

void cache_fail_allocation(int nth) { allocations_until_failure.store(nth < 0 ? 0 : nth); }
bool cache_allocation_failure_pending() { return allocations_until_failure.load() > 0; }

bool cache_append_entry(std::vector<eq_evstore_entry*>& entries, eq_evstore_entry* e) {
  try {
    entries.push_back(e);
    return true;
  } catch (const std::bad_alloc&) {
    release_entry(e);
    return false;
  }
}

int conversion_out_of_memory() {
  daq_line("daq_data_to_cache() out of memory, conversion abandoned");
  return CONV_NO_MEMORY;
}
