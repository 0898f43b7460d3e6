// Frame reader. Invariants: bytes [stage_pos_, stage_end_) of the staging buffer
// are received but not yet used; while head_checked_, they begin with a frame whose
// prefix and head are checked (the head in host order) and whose length is
// frame_length_; while in_body_, the first body_have_ bytes of the
// current message are in message_, already checked by check_message_head; the
// last message (current_) is in message_ or, taken in place, in the staging
// buffer before stage_pos_, where nothing overwrites it before the next Next. A
// frame's prefix and fixed header are checked before any of its body is stored,
// and the message buffer grows with the bytes that really arrive, so a lying
// prefix costs neither a large allocation nor a read past a buffer.
#include "tidewire_reader.h"

#include <poll.h>
#include <sys/socket.h>
#include <time.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "tidewire.h"
#include "tidewire_socket.h"

using tidewire::MessageKind;

namespace {

constexpr std::size_t kStageSize = 256 * 1024;
// Callers read a message's fixed header as a structure, whose widest fields are
// 8 bytes: a frame is handed out in place only when its body is so aligned. The
// staging buffer starts 4 bytes past such a boundary, so that after a frame prefix
// (or the hello and a prefix) the body is aligned, and frames whose lengths are
// multiples of 8 keep it so.
constexpr std::size_t kMessageAlign = 8;
constexpr std::size_t kStageSkew = kMessageAlign - tidewire::kPrefixSize;
// A body remainder at least this long is read straight into the message buffer.
constexpr std::size_t kDirectRead = 64 * 1024;
// Most the message buffer grows ahead of the bytes that have arrived.
constexpr std::size_t kGrowAhead = 1024 * 1024;
constexpr int kClosed = -1;
constexpr int kEmpty = -2;
// A wait that has at least this long left blocks in the receive itself (one
// system call per wake-up instead of poll plus receive); shorter waits use poll,
// so no wait overshoots its deadline.
constexpr int kSliceMs = 40;

}  // namespace

TidewireReader::TidewireReader(uint32_t cap)
    : fd_(-1),
      cap_(cap),
      swap_(false),
      sticky_(0),
      stage_block_(static_cast<unsigned char*>(std::malloc(kStageSize + kStageSkew))),
      stage_(stage_block_ == nullptr ? nullptr : stage_block_ + kStageSkew),
      stage_pos_(0),
      stage_end_(0),
      drained_(false),
      sliced_(false),
      head_checked_(false),
      in_body_(false),
      frame_length_(0),
      body_have_(0),
      pending_kind_(MessageKind::kNone),
      kind_(MessageKind::kNone),
      message_(nullptr),
      message_capacity_(0),
      current_(nullptr) {}

TidewireReader::~TidewireReader() {
  std::free(stage_block_);
  std::free(message_);
}

void TidewireReader::Reset(int fd) {
  fd_ = fd;
  swap_ = false;
  sticky_ = 0;
  stage_pos_ = stage_end_ = 0;
  drained_ = false;
  sliced_ = fd >= 0 && tidewire::set_receive_slice(fd, kSliceMs);
  head_checked_ = false;
  in_body_ = false;
  frame_length_ = 0;
  body_have_ = 0;
  pending_kind_ = kind_ = MessageKind::kNone;
}

bool TidewireReader::Reserve(std::size_t bytes) {
  if (bytes <= message_capacity_) return true;
  std::size_t grown = message_capacity_ * 2;
  if (grown < bytes) grown = bytes;
  if (grown > cap_) grown = bytes > cap_ ? bytes : cap_;
  void* p = std::realloc(message_, grown);
  if (p == nullptr) return false;
  message_ = static_cast<unsigned char*>(p);
  message_capacity_ = grown;
  return true;
}

TidewireReader::Step TidewireReader::Advance(int* error) {
  if (!in_body_) {
    if (!head_checked_) {
      if (Staged() < tidewire::kPrefixSize) return Step::kNeedBytes;
      uint32_t length = tidewire::load32(stage_ + stage_pos_);
      if (swap_) length = tidewire::swap32(length);
      if ((*error = tidewire::check_frame_length(length, cap_)) != 0) return Step::kFailed;
      std::size_t head = length < tidewire::kLongestHead ? length : tidewire::kLongestHead;
      if (Staged() < tidewire::kPrefixSize + head) return Step::kNeedBytes;
      *error = tidewire::check_message_head(stage_ + stage_pos_ + tidewire::kPrefixSize, length,
                                            swap_, &pending_kind_);
      if (*error != 0) return Step::kFailed;
      frame_length_ = length;
      head_checked_ = true;
    }
    uint32_t length = frame_length_;
    if (TakeInPlace(length)) return Step::kComplete;
    // A small frame not yet whole waits in the staging buffer: the next receive
    // moves it to the front, where its body is aligned, and it is then taken in place.
    if (tidewire::kPrefixSize + length <= kDirectRead && Staged() < tidewire::kPrefixSize + length)
      return Step::kNeedBytes;
    head_checked_ = false;
    if (!Reserve(length < kGrowAhead ? length : kGrowAhead)) {
      *error = TIDEWIRE_ERR_NO_MEMORY;
      return Step::kFailed;
    }
    stage_pos_ += tidewire::kPrefixSize;
    frame_length_ = length;
    body_have_ = 0;
    in_body_ = true;
  }

  std::size_t take = frame_length_ - body_have_;
  if (take > Staged()) take = Staged();
  if (take > 0) {
    if (!Reserve(body_have_ + take)) {
      *error = TIDEWIRE_ERR_NO_MEMORY;
      return Step::kFailed;
    }
    std::memcpy(message_ + body_have_, stage_ + stage_pos_, take);
    body_have_ += take;
    stage_pos_ += take;
  }
  if (Staged() == 0) stage_pos_ = stage_end_ = 0;
  if (body_have_ < frame_length_) return Step::kNeedBytes;
  in_body_ = false;
  kind_ = pending_kind_;
  current_ = message_;
  return Step::kComplete;
}

bool TidewireReader::TakeInPlace(uint32_t length) {
  unsigned char* body = stage_ + stage_pos_ + tidewire::kPrefixSize;
  if (Staged() - tidewire::kPrefixSize < length) return false;
  if (reinterpret_cast<std::uintptr_t>(body) % kMessageAlign != 0) return false;
  stage_pos_ += tidewire::kPrefixSize + length;
  if (Staged() == 0) stage_pos_ = stage_end_ = 0;
  head_checked_ = false;
  kind_ = pending_kind_;
  current_ = body;
  return true;
}

// One receive, waiting until the deadline: 0 after progress, kClosed when the
// peer closed, else a result code.
int TidewireReader::ReadMore(long long deadline_ms) {
  unsigned char* dest;
  std::size_t room;
  bool direct = in_body_ && Staged() == 0 && frame_length_ - body_have_ >= kDirectRead;
  if (direct) {
    std::size_t want = body_have_ + kGrowAhead;
    if (want > frame_length_) want = frame_length_;
    if (!Reserve(want)) return TIDEWIRE_ERR_NO_MEMORY;
    dest = message_ + body_have_;
    room = message_capacity_ - body_have_;
    if (room > frame_length_ - body_have_) room = frame_length_ - body_have_;
  } else {
    if (stage_pos_ > 0) {
      std::memmove(stage_, stage_ + stage_pos_, Staged());
      stage_end_ -= stage_pos_;
      stage_pos_ = 0;
    }
    dest = stage_ + stage_end_;
    room = kStageSize - stage_end_;
  }

  // A socket that the last receive emptied is most likely still empty: waiting
  // first saves the receive that would only say so.
  bool wait_first = drained_;
  for (;;) {
    long long left = deadline_ms - tidewire::monotonic_ms();
    if (left < 0) left = 0;
    // A blocking receive returns at once with what is there, so trying first
    // without waiting would only add a system call.
    bool blocking = sliced_ && left >= kSliceMs;
    if (!wait_first && !blocking) {
      int rc = Took(recv(fd_, dest, room, MSG_DONTWAIT), direct, room);
      if (rc != kEmpty) return rc;
      // Nothing there and no time left: a poll would only say so again.
      if (left == 0) return TIDEWIRE_AGAIN_TIMEOUT;
    }
    wait_first = false;
    if (blocking) {
      int rc = Took(recv(fd_, dest, room, 0), direct, room);
      if (rc != kEmpty) return rc;
      wait_first = true;  // the slice ran out: look at the deadline again
      continue;
    }
    pollfd pfd{fd_, POLLIN, 0};
    int ready = poll(&pfd, 1, static_cast<int>(left));
    if (ready < 0) return errno == EINTR ? TIDEWIRE_AGAIN_INTERRUPTED : TIDEWIRE_ERR_LOST;
    if (ready == 0) return TIDEWIRE_AGAIN_TIMEOUT;
  }
}

int TidewireReader::Took(long n, bool direct, std::size_t room) {
  if (n > 0) {
    drained_ = static_cast<std::size_t>(n) < room;
    if (direct)
      body_have_ += static_cast<std::size_t>(n);
    else
      stage_end_ += static_cast<std::size_t>(n);
    return 0;
  }
  if (n == 0) return kClosed;
  if (errno == EINTR) return TIDEWIRE_AGAIN_INTERRUPTED;
  if (errno == EAGAIN || errno == EWOULDBLOCK) return kEmpty;
  return TIDEWIRE_ERR_LOST;
}

int TidewireReader::Next(int timeout_ms) {
  kind_ = MessageKind::kNone;
  if (fd_ < 0) return TIDEWIRE_ERR_NOT_CONNECTED;
  if (stage_ == nullptr) return TIDEWIRE_ERR_NO_MEMORY;
  if (sticky_ != 0) return sticky_;
  // The clock is read only once a wait may follow: a frame already staged needs none.
  long long deadline = 0;
  bool have_read = false;
  for (;;) {
    int error = 0;
    Step step = Advance(&error);
    if (step == Step::kComplete) return 0;
    if (step == Step::kFailed) return sticky_ = error;
    if (!have_read) deadline = tidewire::monotonic_ms() + (timeout_ms > 0 ? timeout_ms : 0);
    // Data that keeps flowing must not hold the caller past its deadline.
    if (have_read && tidewire::monotonic_ms() >= deadline) return TIDEWIRE_AGAIN_TIMEOUT;
    int rc = ReadMore(deadline);
    have_read = true;
    if (rc == 0) continue;
    if (rc == TIDEWIRE_AGAIN_TIMEOUT || rc == TIDEWIRE_AGAIN_INTERRUPTED) return rc;
    // A peer that leaves (closes or resets) with a frame begun has cut that frame.
    bool mid_frame = in_body_ || Staged() > 0;
    if (rc == kClosed || rc == TIDEWIRE_ERR_LOST)
      rc = mid_frame ? TIDEWIRE_ERR_TRUNCATED : TIDEWIRE_ERR_LOST;
    return sticky_ = rc;
  }
}

bool TidewireReader::HasWholeFrame() const {
  if (fd_ < 0 || sticky_ != 0 || in_body_ || Staged() < tidewire::kPrefixSize) return false;
  uint32_t length = tidewire::load32(stage_ + stage_pos_);
  if (swap_) length = tidewire::swap32(length);
  return Staged() - tidewire::kPrefixSize >= length;
}

int TidewireReader::ReadHello(int timeout_ms, bool* swap) {
  if (fd_ < 0) return TIDEWIRE_ERR_NOT_CONNECTED;
  if (stage_ == nullptr) return TIDEWIRE_ERR_NO_MEMORY;
  long long deadline = tidewire::monotonic_ms() + (timeout_ms > 0 ? timeout_ms : 0);
  while (Staged() < tidewire::kHelloSize) {
    int rc = ReadMore(deadline);
    if (rc == 0) continue;
    // A signal during the handshake does not shorten it; the deadline still holds.
    if (rc == TIDEWIRE_AGAIN_INTERRUPTED && tidewire::monotonic_ms() < deadline) continue;
    if (rc == TIDEWIRE_AGAIN_TIMEOUT || rc == TIDEWIRE_AGAIN_INTERRUPTED)
      return TIDEWIRE_ERR_CONNECT_TIMEOUT;
    if (rc == kClosed) return TIDEWIRE_ERR_LOST;
    return rc;
  }
  int rc = tidewire::read_hello(stage_ + stage_pos_, swap);
  stage_pos_ += tidewire::kHelloSize;
  if (rc == 0) swap_ = *swap;
  return rc;
}
