// Sends all n bytes on a test's raw socket; false when the peer is gone. A closed
// peer gives an error, never SIGPIPE.
#ifndef DAQ_TEST_SOCKET_SEND_H
#define DAQ_TEST_SOCKET_SEND_H

#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>

inline bool send_all_bytes(int fd, const void* p, std::size_t n) {
  const char* c = static_cast<const char*>(p);
  while (n > 0) {
    ssize_t w = send(fd, c, n, MSG_NOSIGNAL);
    if (w <= 0) return false;
    c += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

#endif
