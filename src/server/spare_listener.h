// A data-link listener opened ahead of the request that will use it. Opening
// one (a socket, a free port, a listen queue) is the largest share of the
// system calls with which a request is accepted; with a spare at hand the
// first answer goes out at once, and the stream thread of that request opens
// the next spare while the client reads its answer.
#ifndef DAQ_SERVER_SPARE_LISTENER_H
#define DAQ_SERVER_SPARE_LISTENER_H

#include <memory>
#include <string>

#include "daq_mutex.h"
#include "tidewire_listener.h"

class SpareListener {
 public:
  SpareListener() = default;
  SpareListener(const SpareListener&) = delete;
  SpareListener& operator=(const SpareListener&) = delete;

  // A listener on host, port 0: the spare when one is kept for host, else one
  // opened now. Null with *rc set (the listener's code, -1 without memory)
  // when none can be opened.
  std::unique_ptr<TidewireListener> take(const char* host, int* rc);
  // Opens a spare for the host last taken for, unless one is kept.
  void refill();
  // Closes the spare.
  void clear();
  // The kept spare's port, 0 when none is kept.
  int spare_port();

 private:
  static std::unique_ptr<TidewireListener> open(const std::string& host, int* rc);

  DaqMutex lock_;
  std::string host_ GUARDED_BY(lock_);
  bool host_known_ GUARDED_BY(lock_) = false;
  std::unique_ptr<TidewireListener> spare_ GUARDED_BY(lock_);
};

#endif
