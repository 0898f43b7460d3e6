// The budget of one connect() call and what the caller may observe of it.
//
// connect() fixes a monotonic deadline when it starts; every wait inside it
// (property calls, retry pauses, polls, pauses between passes) is cut to what is
// left, so the whole handshake ends within the budget however the servers behave.
#include "eq_daq_connect.h"
#include "facility_lists.h"

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
