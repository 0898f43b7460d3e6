// Diagnostics of the data link. As an outside library it keeps standard output
// to the application and writes its own lines, one per event, to standard error.
#ifndef TIDEWIRE_DIAG_H
#define TIDEWIRE_DIAG_H

#include <cstdarg>
#include <cstdio>

namespace tidewire {

__attribute__((format(printf, 1, 2))) inline void diag(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::vfprintf(stderr, fmt, ap);
  va_end(ap);
}

}  // namespace tidewire

#endif
