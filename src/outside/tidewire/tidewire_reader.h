// Buffered reading of frames from a stream socket. Small frames are taken many
// at a time from one staging buffer and handed out where they lie when whole
// there; large ones are read straight into the message buffer. A partly read
// frame survives any "try again" return.
#ifndef TIDEWIRE_READER_H
#define TIDEWIRE_READER_H

#include <cstddef>
#include <cstdint>

#include "tidewire_frame.h"

class TidewireReader {
 public:
  explicit TidewireReader(uint32_t cap);
  ~TidewireReader();
  TidewireReader(const TidewireReader&) = delete;
  TidewireReader& operator=(const TidewireReader&) = delete;

  // A new stream: forgets staged bytes, the partial frame and a sticky error;
  // keeps the message buffer for reuse. fd -1 detaches.
  void Reset(int fd);
  void SetSwap(bool swap) { swap_ = swap; }

  // Reads the peer's hello within timeout_ms: 0 with *swap set, or
  // TIDEWIRE_ERR_CONNECT_TIMEOUT / _HANDSHAKE / _LOST / _TRUNCATED.
  int ReadHello(int timeout_ms, bool* swap);

  // Takes the next message, waiting at most timeout_ms (0: poll only). 0 with a
  // message, TIDEWIRE_AGAIN_TIMEOUT, TIDEWIRE_AGAIN_INTERRUPTED, or an error that
  // every later call repeats until Reset.
  int Next(int timeout_ms);

  // True when a whole frame is already received: the next Next returns at once,
  // with it or with the error it gives, without a system call.
  bool HasWholeFrame() const;

  // The message of the last successful Next (kNone after any other result);
  // valid until the next Next or Reset.
  tidewire::MessageKind kind() const { return kind_; }
  unsigned char* message() { return current_; }
  uint32_t length() const { return kind_ == tidewire::MessageKind::kNone ? 0 : frame_length_; }

 private:
  enum class Step { kComplete, kNeedBytes, kFailed };
  Step Advance(int* error);
  // Hands out a frame that lies whole and aligned in the staging buffer in place.
  bool TakeInPlace(uint32_t length);
  int ReadMore(long long deadline_ms);
  // Books the result n of one receive: 0, kClosed, kEmpty or a result code.
  int Took(long n, bool direct, std::size_t room);
  bool Reserve(std::size_t bytes);
  std::size_t Staged() const { return stage_end_ - stage_pos_; }

  int fd_;
  uint32_t cap_;
  bool swap_;
  int sticky_;
  unsigned char* stage_block_;  // the allocation; stage_ lies a little inside it
  unsigned char* stage_;
  std::size_t stage_pos_;
  std::size_t stage_end_;
  bool drained_;  // the last receive took less than it had room for
  bool sliced_;   // blocking receives that give up after kSliceMs
  bool head_checked_;
  bool in_body_;
  uint32_t frame_length_;
  std::size_t body_have_;
  tidewire::MessageKind pending_kind_;
  tidewire::MessageKind kind_;
  unsigned char* message_;
  std::size_t message_capacity_;
  unsigned char* current_;  // the last message: in message_ or in the staging buffer
};

#endif
