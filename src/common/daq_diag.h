// Diagnostics: single lines on standard output, byte for byte as the system prints
// them. Every message goes through daq_print so the compiler checks each format.
// Messages are flushed at once, so they show up while a stream runs and are not
// lost with a process that dies; only lines printed for every event are not.
//
// An application may divert the lines to a sink instead (daq_diag_sink.h, for
// example to show a message repeated per event once). The sink lives in
// libevstore; the hooks below are weak references, so a library or program
// built without it prints exactly as before, and so does every process until a
// sink is installed.
#ifndef DAQ_DIAG_H
#define DAQ_DIAG_H

#include <cstdarg>
#include <cstdio>

// The sink's own file defines the hooks and sees the declarations alone.
#ifdef DAQ_DIAG_SINK_DEFINITION
#define DAQ_DIAG_HOOK __attribute__((visibility("default")))
#else
#define DAQ_DIAG_HOOK __attribute__((weak, visibility("default")))
#endif

// Each returns false, having printed nothing and read nothing of `ap`, when no
// sink is installed.
DAQ_DIAG_HOOK bool daq_diag_vprint(const char* fmt, va_list ap);
DAQ_DIAG_HOOK bool daq_diag_put(const char* text, bool flush);
// Brackets of a multi-line dump: with a sink, what this thread prints in
// between reaches it as one message.
DAQ_DIAG_HOOK void daq_diag_block_open();
DAQ_DIAG_HOOK void daq_diag_block_close();

#ifndef DAQ_DIAG_SINK_DEFINITION

__attribute__((format(printf, 1, 2))) inline void daq_print(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  if (daq_diag_vprint == nullptr || !daq_diag_vprint(fmt, ap)) {
    std::vfprintf(stdout, fmt, ap);
    std::fflush(stdout);
  }
  va_end(ap);
}

// A line without a format: the text followed by a line end (as puts).
inline void daq_line(const char* text) {
  if (daq_diag_put != nullptr && daq_diag_put(text, true)) return;
  std::fputs(text, stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

// A line printed for every event (the handshake's acknowledgment line): left to
// stdio's buffering, as puts does, so a stream does not pay a write per event.
// It still comes out in order, ahead of the next flushed message.
inline void daq_event_line(const char* text) {
  if (daq_diag_put != nullptr && daq_diag_put(text, false)) return;
  std::fputs(text, stdout);
  std::fputc('\n', stdout);
}

// Scope of a multi-line dump, so that a sink counts a repeated dump as one
// message; without a sink it changes nothing.
class DaqDiagBlock {
 public:
  DaqDiagBlock() {
    if (daq_diag_block_open != nullptr) daq_diag_block_open();
  }
  ~DaqDiagBlock() {
    if (daq_diag_block_close != nullptr) daq_diag_block_close();
  }
  DaqDiagBlock(const DaqDiagBlock&) = delete;
  DaqDiagBlock& operator=(const DaqDiagBlock&) = delete;
};

#endif  // DAQ_DIAG_SINK_DEFINITION
#endif
