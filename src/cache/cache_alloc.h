// Allocations whose failure a conversion reports as a result (-3) instead of an
// exception. A test-only hook makes the Nth of them fail, so every failure path can
// be walked under the sanitizers.
#ifndef DAQ_CACHE_ALLOC_H
#define DAQ_CACHE_ALLOC_H

#include <cstddef>
#include <new>
#include <vector>

struct eq_evstore_entry;

// Results of the conversions, as the receiver and the monitor queries read them.
enum {
  CONV_OK = 0,
  CONV_NO_CHANNELS = -1,  // a channel list without elements
  CONV_BAD_INPUT = -2,    // null or malformed input, or a failed object decode
  CONV_NO_MEMORY = -3,
  CONV_FULL = -4  // a full list and no record to reuse (or an unknown slow pattern)
};

// True when the armed failure is due now; counts one allocation.
bool cache_allocation_fails();

// A value-initialised (zero-filled) T, or null. A nothrow new does not cover
// the constructor: a data object allocates its content with a throwing new.
template <class T>
T* cache_new() {
  if (cache_allocation_fails()) return nullptr;
  try {
    return new T();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

// Appends e to entries; when the vector cannot grow, e is released and the
// result is false, so an entry is never left owned by nobody.
bool cache_append_entry(std::vector<eq_evstore_entry*>& entries, eq_evstore_entry* e);

void* cache_malloc(std::size_t n);

// Memory that runs out in the middle of a conversion (a text or a list that
// grows) ends it with this result instead of an exception crossing the store's
// interface: each conversion catches std::bad_alloc and returns this. Its own
// objects release what it had made; a reused record keeps what was written so far.
int conversion_out_of_memory();

// Test hook: the nth counted allocation from now fails (1 = the next one); 0 disarms.
void cache_fail_allocation(int nth);
// True while an armed failure has not happened yet.
bool cache_allocation_failure_pending();

#endif
