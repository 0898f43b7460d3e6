// Redrawn in place with a carriage return; throttled so a fast stream does not
// spend its time on the terminal.
#include "progress_bar.h"

ProgressBar::ProgressBar(bool enabled, long announced, FILE* err)
    : enabled_(enabled),
      announced_(announced),
      err_(err),
      start_(std::chrono::steady_clock::now()),
      last_draw_(start_) {}

void ProgressBar::update(long events) {
  if (!enabled_) return;
  auto now = std::chrono::steady_clock::now();
  if (drawn_ && now - last_draw_ < std::chrono::milliseconds(100)) return;
  last_draw_ = now;
  draw(events);
}

void ProgressBar::done(long events) {
  if (!enabled_) return;
  draw(events);
  std::fputc('\n', err_);
  std::fflush(err_);
}

void ProgressBar::draw(long events) {
  drawn_ = true;
  double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  double rate = elapsed > 0 ? events / elapsed : 0.0;
  constexpr int kWidth = 30;
  char bar[kWidth + 1];
  int filled = 0;
  if (announced_ > 0) {
    long f = events * kWidth / announced_;
    filled = f > kWidth ? kWidth : static_cast<int>(f);
  }
  for (int i = 0; i < kWidth; ++i) bar[i] = i < filled ? '#' : '.';
  bar[kWidth] = '\0';
  if (announced_ > 0) {
    std::fprintf(err_, "\r[%s] %ld/%ld events %5.1f%%  %.1f ev/s  %.1f s ", bar, events, announced_,
                 100.0 * events / announced_, rate, elapsed);
  } else {
    std::fprintf(err_, "\r%ld events  %.1f ev/s  %.1f s ", events, rate, elapsed);
  }
  std::fflush(err_);
}
