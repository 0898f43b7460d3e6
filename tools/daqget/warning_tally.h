// The libraries' diagnostic lines, each shown once: a message the libraries
// print for every event or every handshake pass would otherwise bury the rest.
// The first occurrence goes where the libraries print it (standard output);
// later ones are counted and reported in one line each at the end.
#ifndef DAQGET_WARNING_TALLY_H
#define DAQGET_WARNING_TALLY_H

#include <cstdio>
#include <string>
#include <unordered_map>
#include <vector>

#include "daq_diag_sink.h"
#include "daq_mutex.h"

class WarningTally {
 public:
  WarningTally() = default;
  ~WarningTally() { uninstall(); }
  WarningTally(const WarningTally&) = delete;
  WarningTally& operator=(const WarningTally&) = delete;

  // Takes the libraries' lines until uninstall(); one tally at a time.
  void install();
  // Gives standard output back to the libraries. Call after their threads stopped.
  void uninstall();
  // Writes `daqget: "LINE" repeated N more times` for every message seen more
  // than once, in the order first seen (LINE: the first line of its first
  // occurrence); returns the number of such lines. Counts start again from
  // zero, so a later report tells only what came after.
  int report(std::FILE* to);

 private:
  struct Seen {
    std::string first_line;
    int lines = 0;  // of the first occurrence; a dump has many
    unsigned long long more = 0;
  };
  static void take(const DaqDiagMessage& message, void* self);

  DaqMutex mutex_;
  std::unordered_map<std::string, std::size_t> index_ GUARDED_BY(mutex_);
  std::vector<Seen> seen_ GUARDED_BY(mutex_);
  bool installed_ = false;
};

#endif
