// The progress line on standard error: events received of the events the
// reply's statistics announce, the rate and the time since the stream started.
#ifndef DAQGET_PROGRESS_BAR_H
#define DAQGET_PROGRESS_BAR_H

#include <chrono>
#include <cstdio>

class ProgressBar {
 public:
  // Nothing is ever written when enabled is false.
  ProgressBar(bool enabled, long announced, FILE* err = stderr);
  // Redraws at most ten times a second.
  void update(long events);
  // The last state, then the line is left for the messages that follow.
  void done(long events);

 private:
  void draw(long events);
  bool enabled_;
  long announced_;
  FILE* err_;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_draw_;
  bool drawn_ = false;
};

#endif
