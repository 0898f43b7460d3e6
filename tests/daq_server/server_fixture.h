// Helpers for tests that run real DAQ data servers over loopback: a started
// server, a filled request, a dead name-table entry and a bounded wait.
#ifndef DAQ_SERVER_TEST_FIXTURE_H
#define DAQ_SERVER_TEST_FIXTURE_H

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "daq_data_server.h"
#include "eq_daq_connect.h"
#include "velmor.h"

namespace servertest {

inline DaqServerOptions options_for(const std::string& device) {
  DaqServerOptions o;
  o.device = device;
  return o;
}

// The entry of a server, without its trailing '/'.
inline std::string bare_entry(const DaqDataServer& s) {
  std::string e = s.entry();
  e.pop_back();
  return e;
}

// A time request of `seconds` seconds from 2025-03-01 10:00:00 (zone of validation).
inline void fill_request(EqDAQconnect& c, int seconds = 10) {
  c.set_start_time("2025-3-1T10:0:0");
  std::string stop =
      "2025-3-1T10:" + std::to_string(seconds / 60) + ":" + std::to_string(seconds % 60);
  c.set_stop_time(stop.c_str());
}

// A name-table entry FACILITY/DEVICE at a loopback port where nobody listens.
inline std::string dead_entry(const std::string& facility, const std::string& device) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  int port = ntohs(a.sin_port);
  close(fd);
  velmor::register_server((facility + "/" + device).c_str(), "127.0.0.1", port);
  return facility + "/" + device + "/DAQ.DATA.SVR/";
}

inline bool wait_until(const std::function<bool()>& done, int timeout_ms) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace servertest

#endif
