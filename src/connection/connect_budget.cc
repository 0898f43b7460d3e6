// The budget of one connect() call and what the caller may observe of it.
//
// connect() fixes a monotonic deadline when it starts; every wait inside it
// (property calls, retry pauses, polls, pauses between passes) is cut to what is
// left, so the whole handshake ends within the budget however the servers behave.
// Pauses sleep in slices of at most 100 ms so a cancellation is seen promptly.
#include "connect_budget.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "eq_daq_connect.h"
#include "facility_lists.h"

namespace {

constexpr int kPauseSliceMs = 100;

}  // namespace

int64_t budget_now_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int EqDAQconnect::set_connect_timeout(int seconds) {
  if (seconds < 1) return -1;
  connect_timeout_s = seconds;
  return 0;
}

int EqDAQconnect::get_connect_timeout() { return connect_timeout_s; }

void EqDAQconnect::set_pass_observer(EqDAQconnectPassObserver observer, void* context) {
  pass_observer = observer;
  pass_context = observer != nullptr ? context : nullptr;
}

bool EqDAQconnect::known_facility(const char* linac) { return facility_has_list(linac); }

bool EqDAQconnect::budget_spent() const {
  return connect_deadline_ms >= 0 && budget_now_ms() >= connect_deadline_ms;
}

// Sleeps ms, or until the budget ends; true when the cancellation flag was seen.
bool EqDAQconnect::pause_ms(int ms) {
  int64_t until = budget_now_ms() + ms;
  if (connect_deadline_ms >= 0) until = std::min(until, connect_deadline_ms);
  for (;;) {
    if (connect_cancel.load()) return true;
    int64_t left = until - budget_now_ms();
    if (left <= 0) return false;
    usleep(static_cast<useconds_t>(std::min<int64_t>(left, kPauseSliceMs) * 1000));
  }
}

// Inside connect(), no call of eq_call may wait past the budget.
void EqDAQconnect::fit_call_timeouts(velmor::EqCall* call) {
  if (connect_deadline_ms < 0 || call != eq_call) return;
  int64_t left = std::max<int64_t>(1, connect_deadline_ms - budget_now_ms());
  call->set_timeouts(static_cast<int>(std::min<int64_t>(caller_connect_ms, left)),
                     static_cast<int>(std::min<int64_t>(caller_call_ms, left)));
}
