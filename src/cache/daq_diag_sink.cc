// The diagnostics sink of both libraries (declared in daq_diag_sink.h, reached
// from every print through the weak hooks of daq_diag.h).
//
// A sink sees whole messages: pieces of one line (a line printed in parts) and
// the lines of an open dump are gathered per thread and delivered together, so
// a tally never counts half a line. Gathering happens only while a sink is
// installed or a message is still being gathered; otherwise the hooks decline
// and the line is printed as it always was.
#define DAQ_DIAG_SINK_DEFINITION
#include "daq_diag_sink.h"

#include <atomic>
#include <cstdio>
#include <string>

#include "daq_diag.h"
#include "daq_mutex.h"

namespace {

struct Installed {
  DaqDiagSink sink = nullptr;
  void* context = nullptr;
};

DaqMutex g_mutex;
Installed g_installed GUARDED_BY(g_mutex);
std::atomic<bool> g_any{false};  // read first, so printing without a sink takes no lock

// What this thread is gathering. A message of several pieces is identified by
// its text: a dump repeats only when every line is the same. The counts are
// trivially destructible, so a print without a sink touches no thread-local
// that registers a destructor (which allocates on the thread's first print);
// the text is touched only while gathering.
struct Gathering {
  int pieces = 0;
  int blocks = 0;  // open dumps (a reply's dump holds a request's)
};
thread_local Gathering t_gathering;
thread_local std::string t_text;

bool gathering() { return t_gathering.pieces > 0 || t_gathering.blocks > 0; }

void deliver(const char* identity, const char* text, std::size_t length, bool flush) {
  Installed now;
  {
    DaqLockGuard hold(g_mutex);
    now = g_installed;
  }
  if (now.sink != nullptr) {
    now.sink(DaqDiagMessage{identity, text, length, flush}, now.context);
    return;
  }
  // The sink went away while this thread was gathering: print what it held.
  std::fwrite(text, 1, length, stdout);
  if (flush) std::fflush(stdout);
}

void deliver_gathered() {
  deliver(t_text.c_str(), t_text.data(), t_text.size(), true);
  t_text.clear();
  t_gathering.pieces = 0;
}

// One piece of output: delivered at once when it is a whole line outside a
// dump, else kept until the line or the dump ends.
void take(const char* identity, const std::string& text, bool flush) {
  if (text.empty()) return;
  Gathering& g = t_gathering;
  bool ends_line = !text.empty() && text.back() == '\n';
  if (g.blocks == 0 && g.pieces == 0 && ends_line) {
    deliver(identity, text.data(), text.size(), flush);
    return;
  }
  t_text += text;
  ++g.pieces;
  if (g.blocks == 0 && ends_line) deliver_gathered();
}

bool taking() { return g_any.load(std::memory_order_acquire) || gathering(); }

}  // namespace

bool daq_diag_vprint(const char* fmt, va_list ap) {
  if (!taking()) return false;
  va_list again;
  va_copy(again, ap);
  char small[256];
  int n = std::vsnprintf(small, sizeof small, fmt, ap);
  std::string text;
  if (n >= static_cast<int>(sizeof small)) {
    text.resize(static_cast<std::size_t>(n) + 1);
    std::vsnprintf(&text[0], text.size(), fmt, again);
    text.resize(static_cast<std::size_t>(n));
  } else if (n > 0) {
    text.assign(small, static_cast<std::size_t>(n));
  }
  va_end(again);
  if (n < 0) return true;  // printf would have printed nothing either
  take(fmt, text, true);
  return true;
}

bool daq_diag_put(const char* text, bool flush) {
  if (!taking()) return false;
  take(text, std::string(text) + '\n', flush);
  return true;
}

void daq_diag_block_open() {
  if (taking()) ++t_gathering.blocks;
}

void daq_diag_block_close() {
  Gathering& g = t_gathering;
  if (g.blocks == 0 || --g.blocks > 0) return;
  if (g.pieces > 0) deliver_gathered();
}

void daq_set_diag_sink(DaqDiagSink sink, void* context) {
  DaqLockGuard hold(g_mutex);
  g_installed = Installed{sink, context};
  g_any.store(sink != nullptr, std::memory_order_release);
}
