// Non-blocking sockets driven by poll() with deadlines. Sends use MSG_NOSIGNAL
// so a peer that went away yields an error code, never SIGPIPE.
#include "socket_io.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "velmor.h"

namespace velmor {

int64_t monotonic_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

Deadline Deadline::in(int ms) {
  Deadline d;
  d.at_ms = monotonic_ms() + (ms < 0 ? 0 : ms);
  return d;
}

int Deadline::remaining_ms() const {
  if (at_ms < 0) return -1;
  int64_t left = at_ms - monotonic_ms();
  return left <= 0 ? 0 : static_cast<int>(left);
}

namespace {

void set_nonblocking(int fd) {
  int flags = fcntl(fd, F_GETFL, 0);
  fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

void set_nodelay(int fd) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// Waits for `events`; 1 ready, 0 deadline passed, -1 error.
int wait_for(int fd, short events, Deadline deadline) {
  for (;;) {
    struct pollfd p = {fd, events, 0};
    int rc = poll(&p, 1, deadline.remaining_ms());
    if (rc > 0) return 1;
    if (rc == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

}  // namespace

int connect_to(const std::string& host, int port, int timeout_ms, int* fd, std::string* why) {
  *fd = -1;
  struct addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* found = nullptr;
  char service[16];
  snprintf(service, sizeof service, "%d", port);
  int gai = getaddrinfo(host.c_str(), service, &hints, &found);
  if (gai != 0 || found == nullptr) {
    *why = std::string("connect failed (") + gai_strerror(gai) + ") for";
    return EQ_ERR_CONNECT_FAILED;
  }
  int s = socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, found->ai_protocol);
  if (s < 0) {
    *why = std::string("connect failed (socket: ") + std::strerror(errno) + ") for";
    freeaddrinfo(found);
    return EQ_ERR_CONNECT_FAILED;
  }
  set_nonblocking(s);
  set_nodelay(s);
  Deadline deadline = Deadline::in(timeout_ms);
  int rc = connect(s, found->ai_addr, found->ai_addrlen);
  freeaddrinfo(found);
  int err = rc == 0 ? 0 : errno;
  if (err == EINPROGRESS) {
    int ready = wait_for(s, POLLOUT, deadline);
    if (ready == 0) {
      close(s);
      *why = "timeout connecting to";
      return EQ_ERR_TIMEOUT;
    }
    socklen_t len = sizeof err;
    if (ready < 0 || getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
  }
  if (err != 0) {
    close(s);
    int code = err == ECONNREFUSED ? EQ_ERR_CONNECTION_REFUSED
                                   : (err == ETIMEDOUT ? EQ_ERR_TIMEOUT : EQ_ERR_CONNECT_FAILED);
    if (code == EQ_ERR_CONNECTION_REFUSED)
      *why = "connection refused at";
    else if (code == EQ_ERR_TIMEOUT)
      *why = "timeout connecting to";
    else
      *why = std::string("connect failed (") + std::strerror(err) + ") for";
    return code;
  }
  *fd = s;
  return 0;
}

namespace {

// Sends the count entries of iov in one gathered stream, waiting for room up to
// the deadline. Empty entries are skipped, so nothing that has no bytes is ever
// sent (a send of nothing would read as a lost peer).
int send_iov(int fd, struct iovec* iov, size_t count, Deadline deadline) {
  size_t next = 0;
  for (;;) {
    while (next < count && iov[next].iov_len == 0) ++next;
    if (next == count) return 0;
    struct msghdr msg;
    std::memset(&msg, 0, sizeof msg);
    msg.msg_iov = &iov[next];
    msg.msg_iovlen = count - next;
    ssize_t n = sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      int ready = wait_for(fd, POLLOUT, deadline);
      if (ready == 0) return EQ_ERR_TIMEOUT;
      if (ready < 0) return EQ_ERR_CONNECTION_LOST;
      continue;
    }
    if (n <= 0) return EQ_ERR_CONNECTION_LOST;
    // Drop what went out: whole entries first, then the front of a partial one.
    size_t sent = static_cast<size_t>(n);
    while (next < count && sent >= iov[next].iov_len) sent -= iov[next++].iov_len;
    if (next < count) {
      iov[next].iov_base = static_cast<char*>(iov[next].iov_base) + sent;
      iov[next].iov_len -= sent;
    }
  }
}

}  // namespace

int send_all(int fd, const char* data, size_t size, Deadline deadline) {
  struct iovec whole = {const_cast<char*>(data), size};
  return send_iov(fd, &whole, 1, deadline);
}

int send_gathered(int fd, const std::string& bytes, const std::vector<WirePiece>& refs,
                  Deadline deadline) {
  if (refs.empty()) return send_all(fd, bytes.data(), bytes.size(), deadline);
  std::vector<struct iovec> iov;
  size_t from = 0;
  for (const WirePiece& r : refs) {
    if (r.at > from) iov.push_back({const_cast<char*>(bytes.data()) + from, r.at - from});
    iov.push_back({const_cast<char*>(r.data), r.size});
    from = r.at;
  }
  if (bytes.size() > from)
    iov.push_back({const_cast<char*>(bytes.data()) + from, bytes.size() - from});
  return send_iov(fd, iov.data(), iov.size(), deadline);
}

// One recv() that waits for readability; >0 bytes, 0 peer closed, -1 error or
// timeout (*timed_out tells which).
ssize_t recv_some(int fd, char* data, size_t size, Deadline deadline, bool* timed_out) {
  *timed_out = false;
  for (;;) {
    ssize_t n = recv(fd, data, size, MSG_DONTWAIT);
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    int ready = wait_for(fd, POLLIN, deadline);
    if (ready == 0) *timed_out = true;
    if (ready <= 0) return -1;
  }
}

int SocketReader::read(char* data, size_t size, Deadline deadline, size_t* got) {
  *got = 0;
  reset_ = false;
  while (*got < size) {
    if (begin_ < end_) {
      size_t n = end_ - begin_;
      if (n > size - *got) n = size - *got;
      std::memcpy(data + *got, buf_ + begin_, n);
      begin_ += n;
      *got += n;
      continue;
    }
    begin_ = end_ = 0;
    bool timed_out = false;
    size_t want = size - *got;
    ssize_t n;
    if (want >= kChunk) {
      n = recv_some(fd_, data + *got, want, deadline, &timed_out);
      if (n > 0) *got += static_cast<size_t>(n);
    } else {
      n = recv_some(fd_, buf_, kChunk, deadline, &timed_out);
      if (n > 0) end_ = static_cast<size_t>(n);
    }
    if (n < 0 && timed_out) return EQ_ERR_TIMEOUT;
    if (n <= 0) {
      // An end of stream may still carry a reset that came after the peer's close.
      int err = errno;
      socklen_t len = sizeof err;
      if (n == 0 && getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = 0;
      reset_ = err == ECONNRESET || err == EPIPE;
      return EQ_ERR_CONNECTION_LOST;
    }
  }
  return 0;
}

int SocketReader::read_into(std::string* buf, size_t size, Deadline deadline, size_t* got) {
  *got = 0;
  while (*got < size) {
    size_t step_end = std::min(size, *got + std::max(*got, kChunk));
    if (buf->size() < step_end) {
      if (step_end > buf->capacity()) buf->resize(*got);  // a reallocation moves only what was read
      buf->resize(step_end);
    }
    size_t end = std::min(size, buf->size());
    size_t part = 0;
    int rc = read(&(*buf)[*got], end - *got, deadline, &part);
    *got += part;
    if (rc != 0) return rc;
  }
  return 0;
}

int SocketReader::wait_readable(Deadline deadline) {
  if (begin_ < end_) return 1;
  return wait_for(fd_, POLLIN, deadline);
}

bool idle_connection_alive(int fd) {
  struct pollfd p = {fd, POLLIN, 0};
  int rc = poll(&p, 1, 0);
  if (rc == 0) return true;
  // Readable while idle: either the peer closed, or it sent bytes nobody asked
  // for; both make the connection unusable for the next call.
  return false;
}

bool bytes_waiting(int fd) {
  char byte;
  return recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
}

bool listen_on(const char* host, int port, int* fd, int* bound_port, std::string* why) {
  if (port < 0 || port > 65535) {
    *why = "port out of range";
    return true;
  }
  struct sockaddr_in addr;
  std::memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, host, &addr.sin_addr) != 1) {
    *why = std::string("not an IPv4 address: ") + host;
    return true;
  }
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) {
    *why = std::string("socket: ") + std::strerror(errno);
    return true;
  }
  int one = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  // A deep backlog: under a burst of connects, a caller's connect must not wait
  // for a dropped handshake to be sent again (a second, past its timeout).
  if (bind(s, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(s, SOMAXCONN) != 0) {
    *why = std::string("bind/listen: ") + std::strerror(errno);
    close(s);
    return true;
  }
  socklen_t len = sizeof addr;
  getsockname(s, reinterpret_cast<struct sockaddr*>(&addr), &len);
  set_nonblocking(s);
  *fd = s;
  *bound_port = ntohs(addr.sin_port);
  return false;
}

int accept_connection(int listen_fd, std::string* peer) {
  struct sockaddr_storage addr;
  socklen_t len = sizeof addr;
  int s = accept4(listen_fd, reinterpret_cast<struct sockaddr*>(&addr), &len,
                  SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (s < 0) return s;
  set_nodelay(s);
  if (peer != nullptr) {
    char text[INET6_ADDRSTRLEN] = "";
    if (addr.ss_family == AF_INET)
      inet_ntop(AF_INET, &reinterpret_cast<struct sockaddr_in*>(&addr)->sin_addr, text,
                sizeof text);
    else if (addr.ss_family == AF_INET6)
      inet_ntop(AF_INET6, &reinterpret_cast<struct sockaddr_in6*>(&addr)->sin6_addr, text,
                sizeof text);
    *peer = text;
  }
  return s;
}

void close_fd(int fd) {
  if (fd >= 0) close(fd);
}

}  // namespace velmor
