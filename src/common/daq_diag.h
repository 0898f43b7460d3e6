// Diagnostics: single lines on standard output, byte for byte as the system prints
// them. Every message goes through daq_print so the compiler checks each format.
// Messages are flushed at once, so they show up while a stream runs and are not
// lost with a process that dies; only lines printed for every event are not.
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

// A line printed for every event (the handshake's acknowledgment line): left to
// stdio's buffering, as puts does, so a stream does not pay a write per event.
// It still comes out in order, ahead of the next flushed message.
inline void daq_event_line(const char* text) {
  std::fputs(text, stdout);
  std::fputc('\n', stdout);
}

#endif
