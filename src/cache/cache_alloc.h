// Allocations whose failure a conversion reports as a result (-3) instead of an
// exception. A test-only hook makes the Nth of them fail, so every failure path can
// be walked under the sanitizers.
#ifndef DAQ_CACHE_ALLOC_H
#define DAQ_CACHE_ALLOC_H

#include <cstddef>
#include <new>

// True when the armed failure is due now; counts one allocation.
bool cache_allocation_fails();

// A value-initialised (zero-filled) T, or null.
template <class T>
T* cache_new() {
  if (cache_allocation_fails()) return nullptr;
  return new (std::nothrow) T();
}

void* cache_malloc(std::size_t n);

// Test hook: the nth counted allocation from now fails (1 = the next one); 0 disarms.
void cache_fail_allocation(int nth);

#endif
