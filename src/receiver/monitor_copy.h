// What a record query hands out: one EqData_dtype per delivered channel, holding
// either a data object or a malloc'd slow-data block, owned by the application and
// never referring to the cache.
//
// A query that removes the record hands out the record's own objects instead of
// copies: the record is destroyed right after, so nobody can tell the difference,
// and a 1 MB image is not copied (and its fresh memory faulted in) once more.
#ifndef DAQ_MONITOR_COPY_H
#define DAQ_MONITOR_COPY_H

#include <cstddef>
#include <vector>

#include "eq_evstore.h"

// Appends a copy of ent to out. A null entry or an entry without data prints its
// line and adds nothing. true when the copy failed (the failure's line printed;
// out unchanged).
bool append_entry_copy(eq_evstore_entry* ent, std::vector<EqData_dtype*>* out);

// Moves the data objects and slow blocks of the n entries into new elements of
// out, skipping the entries append_entry_copy would skip (with the same lines).
// All or nothing: true on failure, and then the entries still hold everything
// and out is unchanged. The entries are left without data, so releasing their
// record releases nothing that was handed out.
bool take_entries(eq_evstore_entry* const* entries, size_t n, std::vector<EqData_dtype*>* out);

// Releases every element (data object, slow-block copy, the element) and the vector.
void release_result(std::vector<EqData_dtype*>* out);

// Test hook: the nth slow-block copy from now on (1 = the next) cannot be
// allocated; 0 disarms. The other allocations here come from operator new.
void monitor_fail_allocation(int nth);
bool monitor_allocation_failure_pending();

#endif
