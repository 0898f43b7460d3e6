// Making a channel entry: the entry, its dtype record and its data object are
// allocated together and released together when any of them fails.
#include "cache_alloc.h"
#include "daq_text.h"
#include "sub_block_values.h"
#include "velmor.h"

eq_evstore_entry* make_channel_entry(const char* name, int data_type, int device_type) {
  eq_evstore_entry* e = cache_new<eq_evstore_entry>();
  EqData_dtype* d = cache_new<EqData_dtype>();
  velmor::EqData* obj = cache_new<velmor::EqData>();
  if (e == nullptr || d == nullptr || obj == nullptr) {
    delete e;
    delete d;
    delete obj;
    return nullptr;
  }
  copy_text(e->name, name);
  obj->init();
  d->data = obj;
  d->dtype = data_type;
  d->devtype = device_type;
  e->data = d;
  return e;
}
