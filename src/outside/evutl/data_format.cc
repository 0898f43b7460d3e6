// The process-wide format switch. It only picks defaults (see orxa_evutl.h), so a
// relaxed atomic is enough: no other memory is published through it.
#include <atomic>

#include "orxa_evutl.h"

namespace {
std::atomic<int> g_format_2024{0};
}

void set_data_format_2024(int on) {
  g_format_2024.store(on != 0 ? 1 : 0, std::memory_order_relaxed);
}

int get_data_format_2024() { return g_format_2024.load(std::memory_order_relaxed); }
