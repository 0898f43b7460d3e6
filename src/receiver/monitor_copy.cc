// Allocation failures become delivery failures: nothing here lets an exception
// out, and an element that is not appended is released at once.
#include "monitor_copy.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "daq_diag.h"
#include "orxa_evutl.h"
#include "velmor.h"

namespace {

enum class Deliverable { kNothing, kData, kSlowBlock, kFailed };

std::atomic<int> copies_until_failure{0};

void* slow_block_malloc(size_t n) {
  int left = copies_until_failure.load(std::memory_order_relaxed);
  while (left > 0) {
    if (copies_until_failure.compare_exchange_weak(left, left - 1)) {
      if (left == 1) return nullptr;
      break;
    }
  }
  return std::malloc(n);
}

// What an entry delivers; prints the line of an entry that delivers nothing or
// whose slow block has no usable length.
Deliverable check_entry(const eq_evstore_entry* ent, int* slow_length) {
  if (ent == nullptr) {
    daq_line("Entry pointer NULL");
    return Deliverable::kNothing;
  }
  const EqData_dtype* from = ent->data;
  if (from == nullptr) {
    daq_print("NULL pointer for channel: %s\n", ent->name);
    return Deliverable::kNothing;
  }
  if (from->data != nullptr) return Deliverable::kData;
  if (from->slblock == nullptr) return Deliverable::kNothing;
  *slow_length = orxa_slow_block_get_length(from->slblock);
  if (*slow_length < 1) {
    daq_print("Invalig length for slow data block: %d\n", *slow_length);
    return Deliverable::kFailed;
  }
  return Deliverable::kSlowBlock;
}

void release_element(EqData_dtype* element) {
  if (element == nullptr) return;
  delete element->data;
  std::free(element->slblock);
  delete element;
}

// The data object of the element, or true on failure. A nothrow new would not
// cover the constructor, which allocates the object's content with a throwing new.
bool copy_data(const EqData_dtype& from, EqData_dtype* element) {
  try {
    element->data = new velmor::EqData();
  } catch (const std::bad_alloc&) {
    return true;
  }
  element->data->init();
  return element->data->copy_from(from.data);
}

bool copy_slow_block(const EqData_dtype& from, int length, EqData_dtype* element) {
  void* copy = slow_block_malloc(static_cast<size_t>(length));
  if (copy == nullptr) {
    daq_print("Failed to malloc %d length for slow data block\n", length);
    return true;
  }
  std::memcpy(copy, from.slblock, static_cast<size_t>(length));
  element->slblock = static_cast<orxa_daq_slow_data_header*>(copy);
  return false;
}

bool push(EqData_dtype* element, std::vector<EqData_dtype*>* out) {
  try {
    out->push_back(element);
    return false;
  } catch (const std::bad_alloc&) {
    return true;
  }
}

}  // namespace

bool append_entry_copy(eq_evstore_entry* ent, std::vector<EqData_dtype*>* out) {
  int slow_length = 0;
  Deliverable what = check_entry(ent, &slow_length);
  if (what == Deliverable::kNothing) return false;
  if (what == Deliverable::kFailed) return true;
  EqData_dtype* element = new (std::nothrow) EqData_dtype();
  if (element == nullptr) return true;
  const EqData_dtype& from = *ent->data;
  bool failed = what == Deliverable::kData ? copy_data(from, element)
                                           : copy_slow_block(from, slow_length, element);
  if (!failed) {
    element->dtype = from.dtype;
    element->devtype = from.devtype;
    failed = push(element, out);
  }
  if (failed) release_element(element);
  return failed;
}

bool take_entries(eq_evstore_entry* const* entries, size_t n, std::vector<EqData_dtype*>* out) {
  // First everything that can fail: the checks, the elements and the room for
  // them. Only then do the objects move, which cannot fail. The sources of a
  // record of few channels stay on the stack: a removing query per event would
  // otherwise pay an allocation for them.
  constexpr size_t kOnStack = 16;
  EqData_dtype* sources_on_stack[kOnStack];
  std::vector<EqData_dtype*> sources_on_heap;
  EqData_dtype** sources = sources_on_stack;
  size_t taken = 0;
  size_t first = out->size();
  bool failed = false;
  try {
    if (n > kOnStack) {
      sources_on_heap.resize(n);
      sources = sources_on_heap.data();
    }
    out->reserve(first + n);
  } catch (const std::bad_alloc&) {
    return true;
  }
  for (size_t i = 0; i < n && !failed; ++i) {
    int slow_length = 0;
    Deliverable what = check_entry(entries[i], &slow_length);
    if (what == Deliverable::kNothing) continue;
    EqData_dtype* element =
        what == Deliverable::kFailed ? nullptr : new (std::nothrow) EqData_dtype();
    failed = element == nullptr;
    if (!failed) {
      sources[taken++] = entries[i]->data;
      out->push_back(element);
    }
  }
  if (failed) {
    for (size_t i = first; i < out->size(); ++i) delete (*out)[i];
    out->resize(first);
    return true;
  }
  for (size_t i = 0; i < taken; ++i) {
    EqData_dtype* from = sources[i];
    EqData_dtype* element = (*out)[first + i];
    *element = *from;
    from->data = nullptr;
    from->slblock = nullptr;
  }
  return false;
}

void release_result(std::vector<EqData_dtype*>* out) {
  if (out == nullptr) return;
  for (EqData_dtype* element : *out) release_element(element);
  delete out;
}

void monitor_fail_allocation(int nth) { copies_until_failure.store(nth < 0 ? 0 : nth); }
bool monitor_allocation_failure_pending() { return copies_until_failure.load() > 0; }
