// Releasing what the store owns: an entry, its EqData_dtype, the data object and
// the slow-block copy behind it, and whole records.
#ifndef DAQ_CACHE_RECORD_RELEASE_H
#define DAQ_CACHE_RECORD_RELEASE_H

#include <vector>

#include "eq_evstore.h"

// The dtype record with its data object (delete) and slow-block copy (free).
void release_channel_data(EqData_dtype* dtype);
void release_entry(eq_evstore_entry* entry);
// Releases every entry; the vector is left empty with its storage kept.
void release_entries(std::vector<eq_evstore_entry*>& entries);

template <class Record>
void release_record(Record* rec) {
  if (rec == nullptr) return;
  release_entries(rec->entry);
  delete rec;
}

#endif
