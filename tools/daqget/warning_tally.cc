// Messages are told apart by their identity (daq_diag_sink.h): a line printed
// from one format is the same message whatever values it carries, a dump is the
// same only when all its lines are. Printing happens outside the lock, so the
// receiver thread never waits on standard output held by another thread's count.
#include "warning_tally.h"

#include <algorithm>

void WarningTally::install() {
  daq_set_diag_sink(&WarningTally::take, this);
  installed_ = true;
}

void WarningTally::uninstall() {
  if (!installed_) return;
  daq_set_diag_sink(nullptr, nullptr);
  installed_ = false;
}

void WarningTally::take(const DaqDiagMessage& message, void* self) {
  WarningTally& tally = *static_cast<WarningTally*>(self);
  {
    DaqLockGuard hold(tally.mutex_);
    auto found = tally.index_.find(message.identity);
    if (found != tally.index_.end()) {
      ++tally.seen_[found->second].more;
      return;
    }
    tally.index_.emplace(message.identity, tally.seen_.size());
    Seen seen;
    const char* end = message.text + message.length;
    seen.first_line.assign(message.text, std::find(message.text, end, '\n'));
    seen.lines = static_cast<int>(std::count(message.text, end, '\n'));
    tally.seen_.push_back(std::move(seen));
  }
  std::fwrite(message.text, 1, message.length, stdout);
  if (message.flush) std::fflush(stdout);
}

int WarningTally::report(std::FILE* to) {
  // The first occurrences stay ahead of the counts when both reach one terminal.
  std::fflush(stdout);
  DaqLockGuard hold(mutex_);
  int written = 0;
  for (Seen& s : seen_) {
    if (s.more == 0) continue;
    std::string dump = s.lines > 1 ? " (" + std::to_string(s.lines) + " lines)" : "";
    std::fprintf(to, "daqget: \"%s\"%s repeated %llu more %s\n", s.first_line.c_str(), dump.c_str(),
                 s.more, s.more == 1 ? "time" : "times");
    s.more = 0;
    ++written;
  }
  return written;
}
