// Releasing what a record query hands out. get_monitor gives the caller a vector
// of elements, each owning a copy of the value object and of the slow block; this
// is the one place that knows that shape.
#ifndef DAQ_QUERY_RELEASE_H
#define DAQ_QUERY_RELEASE_H

#include <cstdlib>
#include <vector>

#include "eq_evstore.h"
#include "velmor.h"

// Frees every element's value and slow block, the elements and the vector.
// Null-safe for the vector and its elements.
inline void release_query_result(std::vector<EqData_dtype*>* out) {
  if (out == nullptr) return;
  for (EqData_dtype* d : *out) {
    if (d == nullptr) continue;
    delete d->data;
    std::free(d->slblock);
    delete d;
  }
  delete out;
}

#endif
