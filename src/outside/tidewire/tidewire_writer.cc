// Frame writer. A frame is checked against the framing rules before its first
// byte goes out, so a peer never sees a malformed message from us. Non-fatal
// results leave the stream in step: 28 means not a byte of the frame was
// queued; 23 means the rest of a started frame is kept here (copied) and goes
// out ahead of the next frame.
#include "tidewire_writer.h"

#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "tidewire.h"
#include "tidewire_frame.h"
#include "tidewire_socket.h"

namespace {

constexpr int kMaxBuffers = 1023;
constexpr int kInlineBuffers = 16;

// Drops the first `bytes` bytes of a gather list in place.
void consume(iovec*& vec, int& count, std::size_t bytes) {
  while (count > 0 && bytes >= vec->iov_len) {
    bytes -= vec->iov_len;
    ++vec;
    --count;
  }
  if (count > 0 && bytes > 0) {
    vec->iov_base = static_cast<char*>(vec->iov_base) + bytes;
    vec->iov_len -= bytes;
  }
}

}  // namespace

TidewireWriter::TidewireWriter()
    : fd_(-1), timeout_ms_(1000), lost_(false), kept_(nullptr), kept_length_(0), kept_pos_(0) {}

TidewireWriter::~TidewireWriter() { std::free(kept_); }

void TidewireWriter::Reset(int fd) {
  fd_ = fd;
  lost_ = false;
  std::free(kept_);
  kept_ = nullptr;
  kept_length_ = kept_pos_ = 0;
}

int TidewireWriter::WaitWritable(int timeout_ms) {
  pollfd pfd{fd_, POLLOUT, 0};
  int ready = poll(&pfd, 1, timeout_ms);
  if (ready > 0) return 0;
  if (ready == 0) return TIDEWIRE_ERR_TIMEOUT;
  return errno == EINTR ? TIDEWIRE_AGAIN_INTERRUPTED : TIDEWIRE_ERR_LOST;
}

int TidewireWriter::FlushKept() {
  while (kept_pos_ < kept_length_) {
    ssize_t w = send(fd_, kept_ + kept_pos_, kept_length_ - kept_pos_, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (w > 0) {
      kept_pos_ += static_cast<std::size_t>(w);
      continue;
    }
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      int rc = WaitWritable(timeout_ms_);
      if (rc == 0) continue;
      if (rc == TIDEWIRE_ERR_LOST) break;
      return TIDEWIRE_ERR_BUSY;
    }
    lost_ = true;
    return TIDEWIRE_ERR_LOST;
  }
  if (kept_pos_ < kept_length_) {
    lost_ = true;
    return TIDEWIRE_ERR_LOST;
  }
  std::free(kept_);
  kept_ = nullptr;
  kept_length_ = kept_pos_ = 0;
  return 0;
}

int TidewireWriter::Flush() {
  if (fd_ < 0) return TIDEWIRE_ERR_NOT_CONNECTED;
  if (lost_) return TIDEWIRE_ERR_LOST;
  return kept_ == nullptr ? 0 : FlushKept();
}

int TidewireWriter::Keep(const iovec* iov, int n) {
  std::size_t total = 0;
  for (int i = 0; i < n; ++i) total += iov[i].iov_len;
  kept_ = static_cast<unsigned char*>(std::malloc(total));
  if (kept_ == nullptr) {
    // Without the rest the peer's stream can never be completed.
    lost_ = true;
    return TIDEWIRE_ERR_LOST;
  }
  std::size_t at = 0;
  for (int i = 0; i < n; ++i) {
    std::memcpy(kept_ + at, iov[i].iov_base, iov[i].iov_len);
    at += iov[i].iov_len;
  }
  kept_length_ = total;
  kept_pos_ = 0;
  return TIDEWIRE_ERR_TIMEOUT;
}

int TidewireWriter::WaitAcknowledged() {
  long long deadline = tidewire::monotonic_ms() + timeout_ms_;
  for (;;) {
    int unacknowledged = 0;
    if (ioctl(fd_, SIOCOUTQ, &unacknowledged) != 0) return TIDEWIRE_ERR_LOST;
    if (unacknowledged == 0) return 0;
    if (tidewire::monotonic_ms() >= deadline) return TIDEWIRE_ERR_TIMEOUT;
    timespec pause{0, 1000000};
    nanosleep(&pause, nullptr);
  }
}

int TidewireWriter::Send(const iovec* iov, int n, int mode, uint64_t* frame_bytes) {
  if (fd_ < 0) return TIDEWIRE_ERR_NOT_CONNECTED;
  if (iov == nullptr || n < 1 || n > kMaxBuffers) return TIDEWIRE_ERR_ARGUMENT;
  if (mode != SendEvent_NOACK && mode != SendEvent_ACK) return TIDEWIRE_ERR_ARGUMENT;
  uint64_t total = 0;
  for (int i = 0; i < n; ++i) {
    if (iov[i].iov_len > 0 && iov[i].iov_base == nullptr) return TIDEWIRE_ERR_ARGUMENT;
    total += iov[i].iov_len;
    if (total > TIDEWIRE_MAX_MESSAGE) return TIDEWIRE_ERR_BAD_MESSAGE;
  }
  if (total == 0) return TIDEWIRE_ERR_BAD_MESSAGE;
  if (lost_) return TIDEWIRE_ERR_LOST;

  // The fixed header may be spread over several buffers.
  unsigned char head[tidewire::kLongestHead];
  std::size_t head_length = total < sizeof head ? static_cast<std::size_t>(total) : sizeof head;
  for (int i = 0, at = 0; i < n && static_cast<std::size_t>(at) < head_length; ++i) {
    std::size_t part = iov[i].iov_len;
    if (part > head_length - at) part = head_length - at;
    std::memcpy(head + at, iov[i].iov_base, part);
    at += static_cast<int>(part);
  }
  tidewire::MessageKind kind;
  uint32_t length = static_cast<uint32_t>(total);
  if (tidewire::check_message_head(head, length, false, &kind) != 0)
    return TIDEWIRE_ERR_BAD_MESSAGE;

  if (kept_ != nullptr) {
    int rc = FlushKept();
    if (rc != 0) return rc;
  }

  iovec inline_vec[kInlineBuffers];
  iovec* vec = inline_vec;
  if (n + 1 > kInlineBuffers) {
    vec = static_cast<iovec*>(std::malloc(sizeof(iovec) * (n + 1)));
    if (vec == nullptr) return TIDEWIRE_ERR_BUSY;
  }
  vec[0].iov_base = &length;
  vec[0].iov_len = sizeof length;
  for (int i = 0; i < n; ++i) vec[i + 1] = iov[i];

  iovec* cur = vec;
  int count = n + 1;
  uint64_t sent = 0;
  int rc = 0;
  while (count > 0) {
    msghdr msg{};
    msg.msg_iov = cur;
    msg.msg_iovlen = static_cast<std::size_t>(count);
    ssize_t w = sendmsg(fd_, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (w > 0) {
      sent += static_cast<uint64_t>(w);
      consume(cur, count, static_cast<std::size_t>(w));
      continue;
    }
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      int wait = WaitWritable(timeout_ms_);
      if (wait == 0) continue;
      if (wait != TIDEWIRE_ERR_LOST) {
        // Time-out or a signal: nothing queued is harmless; a started frame is kept.
        rc = sent == 0 ? TIDEWIRE_ERR_BUSY : Keep(cur, count);
        break;
      }
    }
    lost_ = true;
    rc = TIDEWIRE_ERR_LOST;
    break;
  }
  if (vec != inline_vec) std::free(vec);
  if (rc != 0) return rc;
  *frame_bytes = total;
  return mode == SendEvent_ACK ? WaitAcknowledged() : 0;
}

int TidewireWriter::SendHello(int timeout_ms) {
  if (fd_ < 0) return TIDEWIRE_ERR_NOT_CONNECTED;
  unsigned char hello[tidewire::kHelloSize];
  tidewire::write_hello(hello);
  std::size_t at = 0;
  long long deadline = tidewire::monotonic_ms() + timeout_ms;
  while (at < sizeof hello) {
    ssize_t w = send(fd_, hello + at, sizeof hello - at, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (w > 0) {
      at += static_cast<std::size_t>(w);
      continue;
    }
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      long long left = deadline - tidewire::monotonic_ms();
      if (left <= 0) return TIDEWIRE_ERR_CONNECT_TIMEOUT;
      WaitWritable(static_cast<int>(left));
      continue;
    }
    return TIDEWIRE_ERR_LOST;
  }
  return 0;
}
