// Fuzzes EqData::deserialize. Whatever it accepts must serialise again, and
// that form must read back to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "velmor.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  velmor::EqData d;
  if (d.deserialize(reinterpret_cast<const char*>(data), size)) return 0;
  char text[80];
  d.get_string(text, sizeof text);
  std::string first;
  if (d.serialize(first)) std::abort();
  velmor::EqData again;
  if (again.deserialize(first.data(), first.size())) std::abort();
  std::string second;
  again.serialize(second);
  if (first != second) std::abort();
  return 0;
}
