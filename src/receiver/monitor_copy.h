// The copies a record query hands out: one EqData_dtype per delivered channel,
// holding either a new data object or a malloc'd copy of a slow-data block. The
// copies never refer to the cache, so the record may be reused at once.
#ifndef DAQ_MONITOR_COPY_H
#define DAQ_MONITOR_COPY_H

#include <vector>

#include "eq_evstore.h"

// Appends a copy of ent to out. A null entry or an entry without data prints its
// line and adds nothing. true when the copy failed (the failure's line printed;
// out unchanged).
bool append_entry_copy(eq_evstore_entry* ent, std::vector<EqData_dtype*>* out);

// Releases every element (data object, slow-block copy, the element) and the vector.
void release_result(std::vector<EqData_dtype*>* out);

#endif
