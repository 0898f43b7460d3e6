// Failure injection for the cache's own allocations. The counter is atomic so a
// test may arm it while a receiver thread converts.
#include "cache_alloc.h"

#include <atomic>
#include <cstdlib>

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
