// Listeners are opened and closed outside the lock: a thread that takes the
// spare never waits for another one's system calls.
#include "spare_listener.h"

#include <new>
#include <utility>

std::unique_ptr<TidewireListener> SpareListener::open(const std::string& host, int* rc) {
  std::unique_ptr<TidewireListener> listener(new (std::nothrow) TidewireListener);
  if (!listener) {
    *rc = -1;
    return nullptr;
  }
  *rc = listener->Listen(host.c_str(), 0);
  if (*rc != 0) listener.reset();
  return listener;
}

std::unique_ptr<TidewireListener> SpareListener::take(const char* host, int* rc) {
  std::unique_ptr<TidewireListener> taken;
  std::string wanted = host != nullptr ? host : "";
  {
    DaqLockGuard guard(lock_);
    if (spare_ && host_known_ && host_ == wanted) taken = std::move(spare_);
    if (!host_known_ || host_ != wanted) {
      host_ = wanted;
      host_known_ = true;
    }
  }
  *rc = 0;
  // Its port was never handed out, so whoever connected is a stranger who would
  // otherwise be taken for this request's receiver.
  if (taken && !taken->HasWaitingConnection()) return taken;
  taken.reset();
  return open(wanted, rc);
}

void SpareListener::refill() {
  std::string host;
  {
    DaqLockGuard guard(lock_);
    if (spare_ || !host_known_) return;
    host = host_;
  }
  int rc = 0;
  std::unique_ptr<TidewireListener> opened = open(host, &rc);
  if (!opened) return;
  DaqLockGuard guard(lock_);
  if (!spare_ && host_ == host) spare_ = std::move(opened);
  // else: another spare came first; this one closes as it leaves.
}

void SpareListener::clear() {
  std::unique_ptr<TidewireListener> closing;
  DaqLockGuard guard(lock_);
  closing = std::move(spare_);
}

int SpareListener::spare_port() {
  DaqLockGuard guard(lock_);
  return spare_ ? spare_->GetPort() : 0;
}
