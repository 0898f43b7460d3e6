#include "number_text.h"

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {
int to_int(long value) {
  return static_cast<int>(static_cast<uint32_t>(static_cast<unsigned long>(value)));
}
}  // namespace

int read_decimal(const char* text) { return to_int(std::strtol(text, nullptr, 10)); }

int read_code(const char* text) {
  bool hex = std::strchr(text, 'x') != nullptr || std::strchr(text, 'X') != nullptr;
  return to_int(std::strtol(text, nullptr, hex ? 16 : 10));
}

float read_float(const char* text) {
  double value = std::strtod(text, nullptr);
  // A double outside the float range has no defined float conversion.
  if (value > FLT_MAX) return HUGE_VALF;
  if (value < -FLT_MAX) return -HUGE_VALF;
  return static_cast<float>(value);
}
