// Allocations whose failure a conversion reports as a result (-3) instead of an
// exception. A test-only hook makes the Nth of them fail, so every failure path can
// be walked under the sanitizers.
#ifndef DAQ_CACHE_ALLOC_H
#define DAQ_CACHE_ALLOC_H

#include <cstddef>
#include <new>
#include <vector>

#include "conversion_result.h"
#include "daq_diag.h"

struct eq_evstore_entry;

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

// Runs one conversion. Memory that runs out in the middle of it (a text or a
// list that grows) ends it with the no-memory result instead of an exception
// crossing the store's interface; the conversion's own objects release what it
// had made, and a reused record keeps what was written so far.
template <class Conversion>
int no_memory_on_throw(Conversion conversion) {
  try {
    return conversion();
  } catch (const std::bad_alloc&) {
    daq_line("daq_data_to_cache() out of memory, conversion abandoned");
    return CONV_NO_MEMORY;
  }
}

// Test hook: the nth counted allocation from now fails (1 = the next one); 0 disarms.
void cache_fail_allocation(int nth);
// True while an armed failure has not happened yet.
bool cache_allocation_failure_pending();

#endif
