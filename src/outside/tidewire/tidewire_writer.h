// Sending frames on a stream socket: one gather write of the prefix and the
// caller's buffers (never copied while the socket takes them), bounded waits for
// room, and the remainder of a frame kept when a wait runs out half-way, so the
// stream stays in step for the next frame.
#ifndef TIDEWIRE_WRITER_H
#define TIDEWIRE_WRITER_H

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

class TidewireWriter {
 public:
  TidewireWriter();
  ~TidewireWriter();
  TidewireWriter(const TidewireWriter&) = delete;
  TidewireWriter& operator=(const TidewireWriter&) = delete;

  // A new stream (fd -1 detaches): forgets a kept remainder and a lost connection.
  void Reset(int fd);
  void SetTimeout(int ms) { timeout_ms_ = ms; }

  // Sends one frame of n buffers; the result codes of Tidewire::SendEvent.
  // *frame_bytes is set to the message length on success.
  int Send(const iovec* iov, int n, int mode, uint64_t* frame_bytes);
  // Sends a kept remainder: 0 when none is left, else 28 or 6.
  int Flush();
  // Writes the hello, waiting at most timeout_ms for room.
  int SendHello(int timeout_ms);

 private:
  int FlushKept();
  int WaitWritable(int timeout_ms);
  int Keep(const iovec* iov, int n);
  int WaitAcknowledged();

  int fd_;
  int timeout_ms_;
  bool lost_;
  unsigned char* kept_;
  std::size_t kept_length_;
  std::size_t kept_pos_;
};

#endif
