// Any bytes, made a NUL-terminated document, read element by element; for each
// element the attributes a protocol reader would ask for, plus the element's own
// name as an attribute name, are fetched and read to their end.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "orxa_xml.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string doc(reinterpret_cast<const char*>(data), size);
  SAX_Memory_Parser parser(&doc[0]);
  if (!parser.init_ok() || parser.start()) return 0;
  static const char* const names[] = {"name", "id", "v", "time", "mode", "stream", "", "x"};
  char* tag = nullptr;
  char* value = nullptr;
  volatile std::size_t total = 0;
  while (parser.parse(&tag, &value) == 0) {
    if (tag == nullptr) continue;
    total += std::strlen(tag);
    std::string own = tag;
    if (parser.get_attr(own.c_str(), &value) == 0) total += std::strlen(value);
    for (const char* n : names) {
      if (parser.get_attr(n, &value) == 0) total += std::strlen(value);
    }
  }
  total += static_cast<std::size_t>(parser.get_error_counter());
  (void)total;
  return 0;
}
