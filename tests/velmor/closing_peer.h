// A hostile control-system peer for tests: it reads every request frame whole
// and closes the connection without answering, as a server that dies right
// after taking a call. It counts the requests it took.
#ifndef VELMOR_TEST_CLOSING_PEER_H
#define VELMOR_TEST_CLOSING_PEER_H

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

// A socket listening on 127.0.0.1 at a free port; *port stays 0 on failure.
// Connections to it succeed (the kernel queues them) even if nobody accepts.
inline int loopback_listener(int* port) {
  *port = 0;
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 8) != 0) return fd;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  *port = ntohs(a.sin_port);
  return fd;
}

class ClosingPeer {
 public:
  ClosingPeer() {
    fd_ = loopback_listener(&port_);
    if (port_ != 0) thread_ = std::thread([this] { run(); });
  }
  ~ClosingPeer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    close(fd_);
  }
  int port() const { return port_; }
  int taken() const { return taken_.load(); }

 private:
  static bool read_exactly(int s, char* buf, size_t n) {
    size_t got = 0;
    while (got < n) {
      ssize_t r = recv(s, buf + got, n - got, 0);
      if (r <= 0) return false;
      got += static_cast<size_t>(r);
    }
    return true;
  }

  void run() {
    while (!stop_) {
      pollfd p = {fd_, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      int s = accept(fd_, nullptr, nullptr);
      if (s < 0) continue;
      timeval tv{2, 0};
      setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
      char head[16];
      if (read_exactly(s, head, sizeof head)) {
        uint32_t size = static_cast<uint8_t>(head[12]) | static_cast<uint8_t>(head[13]) << 8 |
                        static_cast<uint8_t>(head[14]) << 16 |
                        static_cast<uint32_t>(static_cast<uint8_t>(head[15])) << 24;
        std::string payload(size, '\0');
        if (size < (1u << 24) && read_exactly(s, &payload[0], size)) ++taken_;
      }
      close(s);
    }
  }

  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> taken_{0};
  std::thread thread_;
};

#endif
