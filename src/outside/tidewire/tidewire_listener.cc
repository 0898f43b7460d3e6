// Listening side. Accepting is split from the handshake only by time: a client
// that connects but never sends its hello costs the server at most the handshake
// time-out and is then dropped, so one silent client cannot block the listener.
#include "tidewire_listener.h"

#include <unistd.h>

#include <new>

#include "tidewire_diag.h"
#include "tidewire_frame.h"
#include "tidewire_socket.h"

namespace {
constexpr int kDefaultHandshakeTimeoutMs = 5000;
}

TidewireListener::TidewireListener()
    : fd_(-1), port_(0), no_delay_(true), handshake_timeout_ms_(kDefaultHandshakeTimeoutMs) {}

TidewireListener::~TidewireListener() { Close(); }

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

void TidewireListener::SetNoDelay(bool on) { no_delay_ = on; }

void TidewireListener::SetHandshakeTimeout(int ms) {
  if (ms > 0) handshake_timeout_ms_ = ms;
}

int TidewireListener::Accept(int timeout_ms, Tidewire** link) {
  if (link == nullptr) return TIDEWIRE_ERR_ARGUMENT;
  *link = nullptr;
  if (fd_ < 0) return TIDEWIRE_ERR_NOT_CONNECTED;
  int fd = -1;
  int rc = tidewire::accept_with_timeout(fd_, timeout_ms, &fd);
  if (rc != 0) return rc;
  Tidewire* accepted = new (std::nothrow) Tidewire(false);
  if (accepted == nullptr) {
    close(fd);
    return TIDEWIRE_ERR_NO_MEMORY;
  }
  accepted->no_delay = no_delay_;
  rc = accepted->Attach(fd, handshake_timeout_ms_);
  if (rc != 0) {
    delete accepted;
    return rc;
  }
  *link = accepted;
  return 0;
}

void TidewireListener::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  port_ = 0;
}
