// Allocation failures become copy failures: nothing here lets an exception out,
// and an element that is not appended is released at once.
#include "monitor_copy.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "daq_diag.h"
#include "orxa_evutl.h"
#include "velmor.h"

namespace {

void release_element(EqData_dtype* element) {
  if (element == nullptr) return;
  delete element->data;
  std::free(element->slblock);
  delete element;
}

// The data object of the element, or true on failure.
bool copy_data(const EqData_dtype& from, EqData_dtype* element) {
  element->data = new (std::nothrow) velmor::EqData();
  if (element->data == nullptr) return true;
  element->data->init();
  return element->data->copy_from(from.data);
}

bool copy_slow_block(const EqData_dtype& from, EqData_dtype* element) {
  int length = orxa_slow_block_get_length(from.slblock);
  if (length < 1) {
    daq_print("Invalig length for slow data block: %d\n", length);
    return true;
  }
  void* copy = std::malloc(static_cast<size_t>(length));
  if (copy == nullptr) {
    daq_print("Failed to malloc %d length for slow data block\n", length);
    return true;
  }
  std::memcpy(copy, from.slblock, static_cast<size_t>(length));
  element->slblock = static_cast<orxa_daq_slow_data_header*>(copy);
  return false;
}

}  // namespace

bool append_entry_copy(eq_evstore_entry* ent, std::vector<EqData_dtype*>* out) {
  if (ent == nullptr) {
    daq_line("Entry pointer NULL");
    return false;
  }
  EqData_dtype* from = ent->data;
  if (from == nullptr) {
    daq_print("NULL pointer for channel: %s\n", ent->name);
    return false;
  }
  if (from->data == nullptr && from->slblock == nullptr) return false;
  EqData_dtype* element = new (std::nothrow) EqData_dtype();
  if (element == nullptr) return true;
  bool failed = from->data != nullptr ? copy_data(*from, element) : copy_slow_block(*from, element);
  if (!failed) {
    element->dtype = from->dtype;
    element->devtype = from->devtype;
    try {
      out->push_back(element);
    } catch (const std::bad_alloc&) {
      failed = true;
    }
  }
  if (failed) release_element(element);
  return failed;
}

void release_result(std::vector<EqData_dtype*>* out) {
  if (out == nullptr) return;
  for (EqData_dtype* element : *out) release_element(element);
  delete out;
}
