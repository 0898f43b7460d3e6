// Diagnostics of the data link. As an outside library it keeps standard output
// to the application and writes its own lines, one per event, to standard error.
#ifndef TIDEWIRE_DIAG_H
#define TIDEWIRE_DIAG_H

#include <cstdarg>
#include <cstddef>
#include <cstdio>

namespace tidewire {

__attribute__((format(printf, 1, 2))) inline void diag(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::vfprintf(stderr, fmt, ap);
  va_end(ap);
}

// A copy of text fit for one line: control characters become '?', and a long
// text is cut to size - 1 bytes.
inline const char* printable(const char* text, char* out, std::size_t size) {
  std::size_t n = 0;
  for (; text != nullptr && text[n] != '\0' && n + 1 < size; ++n)
    out[n] = static_cast<unsigned char>(text[n]) < 0x20 || text[n] == 0x7f ? '?' : text[n];
  out[n] = '\0';
  return out;
}

}  // namespace tidewire

#endif
