#include "record_release.h"

#include <cstdlib>

#include "velmor.h"

void release_channel_data(EqData_dtype* dtype) {
  if (dtype == nullptr) return;
  delete dtype->data;
  std::free(dtype->slblock);
  delete dtype;
}

void release_entry(eq_evstore_entry* entry) {
  if (entry == nullptr) return;
  release_channel_data(entry->data);
  delete entry;
}

void release_entries(std::vector<eq_evstore_entry*>& entries) {
  for (eq_evstore_entry* e : entries) release_entry(e);
  entries.clear();
}
