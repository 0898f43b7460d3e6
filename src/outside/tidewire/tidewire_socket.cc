// Connect is non-blocking plus poll, so a silent or filtered host costs at most
// the connect time-out; the time left is carried from one resolved address to
// the next rather than restarted for each.
#include "tidewire_socket.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "tidewire.h"

namespace tidewire {

long long monotonic_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

namespace {

// 0 connected, else a result code; fd is closed on failure.
int connect_one(const addrinfo* ai, long long deadline, int* fd) {
  int s = socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
  if (s < 0) return TIDEWIRE_ERR_CONNECT;
  if (connect(s, ai->ai_addr, ai->ai_addrlen) == 0) {
    *fd = s;
    return 0;
  }
  if (errno != EINPROGRESS && errno != EINTR) {
    close(s);
    return TIDEWIRE_ERR_CONNECT;
  }
  for (;;) {
    long long left = deadline - monotonic_ms();
    if (left <= 0) {
      close(s);
      return TIDEWIRE_ERR_CONNECT_TIMEOUT;
    }
    pollfd pfd{s, POLLOUT, 0};
    int ready = poll(&pfd, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;  // time-out is decided at the top
    int error = 0;
    socklen_t len = sizeof error;
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0) {
      close(s);
      return TIDEWIRE_ERR_CONNECT;
    }
    *fd = s;
    return 0;
  }
}

int resolve(const char* host, int port, bool passive, addrinfo** out) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV | (passive ? AI_PASSIVE : AI_ADDRCONFIG);
  char service[16];
  std::snprintf(service, sizeof service, "%d", port);
  if (passive && (host == nullptr || host[0] == '\0')) {
    host = nullptr;
    hints.ai_family = AF_INET;
  }
  return getaddrinfo(host, service, &hints, out) == 0 ? 0 : TIDEWIRE_ERR_RESOLVE;
}

}  // namespace

int connect_with_timeout(const char* host, int port, int timeout_ms, int* fd) {
  long long deadline = monotonic_ms() + timeout_ms;
  addrinfo* list = nullptr;
  int rc = resolve(host, port, false, &list);
  if (rc != 0) return rc;
  rc = TIDEWIRE_ERR_CONNECT;
  for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    rc = connect_one(ai, deadline, fd);
    if (rc == 0 || rc == TIDEWIRE_ERR_CONNECT_TIMEOUT) break;
  }
  freeaddrinfo(list);
  return rc;
}

int listen_on(const char* address, int port, int* fd, int* bound_port) {
  addrinfo* list = nullptr;
  int rc = resolve(address, port, true, &list);
  if (rc != 0) return rc;
  rc = TIDEWIRE_ERR_BIND;
  for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    int s = socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
    if (s < 0) continue;
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_storage bound{};
    socklen_t len = sizeof bound;
    if (bind(s, ai->ai_addr, ai->ai_addrlen) != 0 || listen(s, SOMAXCONN) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&bound), &len) != 0) {
      close(s);
      continue;
    }
    *bound_port = bound.ss_family == AF_INET6
                      ? ntohs(reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port)
                      : ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    *fd = s;
    rc = 0;
    break;
  }
  freeaddrinfo(list);
  return rc;
}

int accept_with_timeout(int listen_fd, int timeout_ms, int* fd) {
  long long deadline = monotonic_ms() + (timeout_ms > 0 ? timeout_ms : 0);
  for (;;) {
    int s = accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (s >= 0) {
      *fd = s;
      return 0;
    }
    if (errno == EINTR) return TIDEWIRE_AGAIN_INTERRUPTED;
    // A connection that was reset before we took it is not an error of ours.
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != ECONNABORTED)
      return TIDEWIRE_ERR_CONNECT;
    long long left = deadline - monotonic_ms();
    if (left <= 0) return TIDEWIRE_AGAIN_TIMEOUT;
    pollfd pfd{listen_fd, POLLIN, 0};
    int ready = poll(&pfd, 1, static_cast<int>(left));
    if (ready < 0) return errno == EINTR ? TIDEWIRE_AGAIN_INTERRUPTED : TIDEWIRE_ERR_CONNECT;
    if (ready == 0) return TIDEWIRE_AGAIN_TIMEOUT;
  }
}

void set_no_delay(int fd) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

bool set_receive_slice(int fd, int slice_ms) {
  timeval slice{slice_ms / 1000, (slice_ms % 1000) * 1000};
  if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &slice, sizeof slice) != 0) return false;
  int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

bool set_non_blocking(int fd) {
  int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

}  // namespace tidewire
