// Listening side. A stream's port is open to anyone, so no single connection
// may hold up the receiver that is meant to come: every accepted connection gets
// our hello at once and joins a bounded set of pending handshakes, whose hellos
// are read side by side with one poll, and the first that completes is handed
// out. A connection costs a socket and 8 bytes of hello until its own handshake
// time-out (from its accept); when the set is full the oldest makes room, since
// a real receiver sends its hello right after connecting. Only the 8 hello bytes
// are read, so whatever a peer sends after them stays for the link's reader.
#include "tidewire_listener.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <new>
#include <vector>

#include "tidewire_diag.h"
#include "tidewire_frame.h"
#include "tidewire_socket.h"

namespace {
constexpr int kDefaultHandshakeTimeoutMs = 5000;
constexpr int kBacklogRetryMs = 50;

struct Handshake {
  int fd;
  long long deadline_ms;
  std::size_t sent;  // of our hello
  std::size_t got;   // of the peer's
  unsigned char hello[tidewire::kHelloSize];
};

// Moves one handshake on without waiting: 0 while it is under way, 1 when both
// hellos are through (*swap set), else the code it failed with.
int advance(Handshake* h, bool* swap) {
  unsigned char ours[tidewire::kHelloSize];
  tidewire::write_hello(ours);
  if (h->sent < sizeof ours) {
    ssize_t w = send(h->fd, ours + h->sent, sizeof ours - h->sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (w > 0)
      h->sent += static_cast<std::size_t>(w);
    else if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
      return TIDEWIRE_ERR_LOST;
  }
  if (h->got < sizeof h->hello) {
    ssize_t n = recv(h->fd, h->hello + h->got, sizeof h->hello - h->got, MSG_DONTWAIT);
    if (n == 0) return TIDEWIRE_ERR_LOST;
    if (n > 0)
      h->got += static_cast<std::size_t>(n);
    else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
      return TIDEWIRE_ERR_LOST;
  }
  if (h->got < sizeof h->hello) return 0;
  if (tidewire::read_hello(h->hello, swap) != 0) return TIDEWIRE_ERR_HANDSHAKE;
  return h->sent == sizeof ours ? 1 : 0;
}

// Handshakes that failed during one Accept call, told in one line when the call
// ends however many they were, so that a flood does not flood the log as well.
struct Failures {
  long count = 0;
  int last = 0;
  ~Failures() {
    if (count == 1) tidewire::diag("TidewireListener::Accept() %s\n", tidewire::result_text(last));
    if (count > 1) {
      tidewire::diag("TidewireListener::Accept() %ld handshakes failed, the last: %s\n", count,
                     tidewire::result_text(last));
    }
  }
};

}  // namespace

struct TidewireListener::Pending {
  std::vector<Handshake> list;  // oldest first

  void Drop(std::size_t index, int code, Failures* failed) {
    close(list[index].fd);
    list.erase(list.begin() + static_cast<long>(index));
    failed->last = code;
    ++failed->count;
  }

  // Accepts what waits in the backlog; a full set drops its oldest. False when
  // accepting failed for want of resources (descriptors), so that the caller
  // does not spin on a listening socket that stays readable.
  bool TakeNew(int listen_fd, int timeout_ms, Failures* failed) {
    // Bounded per round so that a flood cannot keep the caller here.
    for (int i = 0; i < 4 * kMaxPendingHandshakes; ++i) {
      int fd = -1;
      int rc = tidewire::accept_with_timeout(listen_fd, 0, &fd);
      if (rc == TIDEWIRE_ERR_CONNECT) return false;
      if (rc != 0) break;
      if (list.size() >= static_cast<std::size_t>(kMaxPendingHandshakes))
        Drop(0, TIDEWIRE_ERR_CONNECT_TIMEOUT, failed);
      list.push_back(Handshake{fd, tidewire::monotonic_ms() + timeout_ms, 0, 0, {}});
    }
    return true;
  }

  void CloseAll() {
    for (const Handshake& h : list) close(h.fd);
    list.clear();
  }
};

TidewireListener::TidewireListener()
    : fd_(-1),
      port_(0),
      no_delay_(true),
      handshake_timeout_ms_(kDefaultHandshakeTimeoutMs),
      pending_(new (std::nothrow) Pending) {}

TidewireListener::~TidewireListener() {
  Close();
  delete pending_;
}

int TidewireListener::Listen(const char* address, int port) {
  Close();
  if (port < 0 || port > 65535) return TIDEWIRE_ERR_ARGUMENT;
  int fd = -1;
  int bound = 0;
  int rc = tidewire::listen_on(address, port, &fd, &bound);
  if (rc != 0) {
    tidewire::diag("TidewireListener::Listen() %s:%d: %s\n", address ? address : "*", port,
                   tidewire::result_text(rc));
    return rc;
  }
  fd_ = fd;
  port_ = bound;
  return 0;
}

int TidewireListener::GetPort() const { return fd_ >= 0 ? port_ : 0; }

bool TidewireListener::IsListening() const { return fd_ >= 0; }

bool TidewireListener::HasWaitingConnection() const {
  if (fd_ < 0) return false;
  if (pending_ != nullptr && !pending_->list.empty()) return true;
  struct pollfd p = {fd_, POLLIN, 0};
  return poll(&p, 1, 0) > 0;
}

void TidewireListener::SetNoDelay(bool on) { no_delay_ = on; }

void TidewireListener::SetHandshakeTimeout(int ms) {
  if (ms > 0) handshake_timeout_ms_ = ms;
}

int TidewireListener::Accept(int timeout_ms, Tidewire** link) {
  if (link == nullptr) return TIDEWIRE_ERR_ARGUMENT;
  *link = nullptr;
  if (fd_ < 0) return TIDEWIRE_ERR_NOT_CONNECTED;
  if (pending_ == nullptr) return TIDEWIRE_ERR_NO_MEMORY;
  std::vector<Handshake>& list = pending_->list;
  long long deadline = tidewire::monotonic_ms() + (timeout_ms > 0 ? timeout_ms : 0);
  Failures failed;
  std::vector<pollfd> fds;
  for (;;) {
    bool accepting = pending_->TakeNew(fd_, handshake_timeout_ms_, &failed);
    // Move every handshake on; the first complete one is the receiver.
    long long now = tidewire::monotonic_ms();
    for (std::size_t i = 0; i < list.size();) {
      bool swap = false;
      int rc = advance(&list[i], &swap);
      if (rc == 0 && now >= list[i].deadline_ms) rc = TIDEWIRE_ERR_CONNECT_TIMEOUT;
      if (rc == 0) {
        ++i;
        continue;
      }
      if (rc != 1) {
        pending_->Drop(i, rc, &failed);
        continue;
      }
      int fd = list[i].fd;
      list.erase(list.begin() + static_cast<long>(i));
      Tidewire* accepted = new (std::nothrow) Tidewire(false);
      if (accepted == nullptr) {
        close(fd);
        return TIDEWIRE_ERR_NO_MEMORY;
      }
      accepted->no_delay = no_delay_;
      int adopted = accepted->Adopt(fd, swap);
      if (adopted != 0) {
        delete accepted;
        return adopted;
      }
      *link = accepted;
      return 0;
    }
    if (now >= deadline) return failed.count > 0 ? failed.last : TIDEWIRE_AGAIN_TIMEOUT;

    long long wake = deadline;
    // Out of descriptors: look at the backlog again in a while, not at once.
    if (!accepting && now + kBacklogRetryMs < wake) wake = now + kBacklogRetryMs;
    fds.assign(1, pollfd{fd_, static_cast<short>(accepting ? POLLIN : 0), 0});
    for (const Handshake& h : list) {
      short events = h.got < sizeof h.hello ? POLLIN : 0;
      if (h.sent < tidewire::kHelloSize) events |= POLLOUT;
      fds.push_back(pollfd{h.fd, events, 0});
      if (h.deadline_ms < wake) wake = h.deadline_ms;
    }
    int wait_ms = wake > now ? static_cast<int>(wake - now) : 0;
    if (poll(fds.data(), fds.size(), wait_ms) < 0) {
      if (errno == EINTR) return TIDEWIRE_AGAIN_INTERRUPTED;
      return TIDEWIRE_ERR_CONNECT;
    }
  }
}

void TidewireListener::Close() {
  if (pending_ != nullptr) pending_->CloseAll();
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  port_ = 0;
}
