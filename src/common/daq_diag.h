// Diagnostics: single lines on standard output, byte for byte as the system prints
// them. Every message goes through daq_print so the compiler checks each format.
#ifndef DAQ_DIAG_H
#define DAQ_DIAG_H

#include <cstdarg>
#include <cstdio>

__attribute__((format(printf, 1, 2))) inline void daq_print(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::vfprintf(stdout, fmt, ap);
  va_end(ap);
  std::fflush(stdout);
}

// A line without a format: the text followed by a line end (as puts).
inline void daq_line(const char* text) {
  std::fputs(text, stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

#endif
