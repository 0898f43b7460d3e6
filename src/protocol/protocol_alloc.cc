// Allocation of owned record blocks, with the test hook that fails one chosen
// allocation. The hook costs one relaxed atomic load on the normal path.
#include "protocol_alloc.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "daq_server_util_def.h"

namespace {
std::atomic<int> g_fail_countdown{0};

bool injected_failure() {
  if (g_fail_countdown.load(std::memory_order_relaxed) == 0) return false;
  return g_fail_countdown.fetch_sub(1, std::memory_order_relaxed) == 1;
}
}  // namespace

void protocol_fail_allocation(int nth) { g_fail_countdown.store(nth > 0 ? nth : 0); }
bool protocol_allocation_failure_pending() { return g_fail_countdown.load() > 0; }

void* protocol_calloc(std::size_t count, std::size_t size) {
  if (injected_failure()) return nullptr;
  return std::calloc(count, size);
}

char* protocol_strdup(const char* text) {
  if (text == nullptr) text = "";
  if (injected_failure()) return nullptr;
  std::size_t n = std::strlen(text) + 1;
  char* copy = static_cast<char*>(std::malloc(n));
  if (copy != nullptr) std::memcpy(copy, text, n);
  return copy;
}

EntryAlloc protocol_new_entry(const char* name, daq_channel_entry** out) {
  *out = nullptr;
  auto* entry = static_cast<daq_channel_entry*>(protocol_calloc(1, sizeof(daq_channel_entry)));
  if (entry == nullptr) return EntryAlloc::no_entry;
  entry->name = protocol_strdup(name);
  if (entry->name == nullptr) {
    std::free(entry);
    return EntryAlloc::no_name;
  }
  *out = entry;
  return EntryAlloc::ok;
}

bool protocol_append(std::vector<char*>& list, char* text) {
  try {
    list.push_back(text);
    return true;
  } catch (const std::bad_alloc&) {
    std::free(text);
    return false;
  }
}

bool protocol_append(std::vector<daq_channel_entry*>& list, daq_channel_entry* entry) {
  try {
    list.push_back(entry);
    return true;
  } catch (const std::bad_alloc&) {
    std::free(entry->name);
    std::free(entry);
    return false;
  }
}
