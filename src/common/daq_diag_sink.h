// Where the libraries' diagnostic lines go when an application wants them other
// than on standard output: the application installs a sink, which receives each
// message with its identity, so that it can, for instance, show a message that
// repeats for every event once and count the rest. Defined in libevstore, which
// libtarnvik links, so one sink serves both libraries.
#ifndef DAQ_DIAG_SINK_H
#define DAQ_DIAG_SINK_H

#include <cstddef>

struct DaqDiagMessage {
  // What makes two messages the same one: the format of a line printed from one
  // format (whatever values it carries), the text of a plain line, and the whole
  // text of a dump or of a line printed in several parts. NUL-terminated.
  const char* identity;
  // The bytes that would have gone to standard output, line ends included; a
  // dump is many lines.
  const char* text;
  std::size_t length;
  // False for a line printed for every event, which stdio would have buffered.
  bool flush;
};

// Called on the printing thread, from any thread the libraries run (the
// receiver's too), so it must be thread-safe; it must not print through the
// libraries' diagnostics itself. The message's pointers are valid for the call.
using DaqDiagSink = void (*)(const DaqDiagMessage& message, void* context);

// Installs `sink` (nullptr restores standard output). Lines already started in
// parts by another thread finish where they began. Install before the libraries
// run and remove after their threads have stopped: a thread may still be in the
// previous sink when this returns.
__attribute__((visibility("default"))) void daq_set_diag_sink(DaqDiagSink sink, void* context);

#endif
