// Socket helpers with deadlines: every blocking step of the transport waits in
// poll() for at most the time left, so no call can hang past its timeout.
#ifndef VELMOR_SOCKET_IO_H
#define VELMOR_SOCKET_IO_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "eq_data_content.h"

namespace velmor {

// A point on the monotonic clock; `never` waits without limit.
struct Deadline {
  int64_t at_ms = -1;
  static Deadline in(int ms);
  static Deadline never() { return Deadline(); }
  int remaining_ms() const;  // -1 for never, 0 when passed
};

int64_t monotonic_ms();

// Connects a non-blocking TCP socket with TCP_NODELAY. Returns 0 and the fd, or
// EQ_ERR_CONNECTION_REFUSED / EQ_ERR_TIMEOUT / EQ_ERR_CONNECT_FAILED with a reason
// worded to be followed by "host:port" ("connection refused at").
int connect_to(const std::string& host, int port, int timeout_ms, int* fd, std::string* why);

// Sends all bytes (MSG_NOSIGNAL). 0, EQ_ERR_TIMEOUT or EQ_ERR_CONNECTION_LOST.
int send_all(int fd, const char* data, size_t size, Deadline deadline);

// Sends `bytes` with the referenced pieces spliced in at their offsets, in one
// gathered stream (sendmsg). Same results as send_all.
int send_gathered(int fd, const std::string& bytes, const std::vector<WirePiece>& refs,
                  Deadline deadline);

// Buffered reading of one connection: small frames arrive with one recv()
// whatever their parts, large payloads are read straight into their buffer.
class SocketReader {
 public:
  explicit SocketReader(int fd = -1) : fd_(fd) {}
  void reset(int fd) {
    fd_ = fd;
    begin_ = end_ = 0;
    reset_ = false;
  }
  // Reads exactly size bytes; *got counts what was delivered. 0, EQ_ERR_TIMEOUT
  // or EQ_ERR_CONNECTION_LOST (peer closed or reset).
  int read(char* data, size_t size, Deadline deadline, size_t* got);
  // Reads exactly size bytes into the front of *buf, committing memory only as
  // bytes arrive: *buf grows to at most twice what has been read, or one chunk,
  // so a peer that announces much and sends little costs little. Room *buf
  // already has is used as it is (no copy, no shrinking); its size may stay
  // above `size` afterwards. Results as read().
  int read_into(std::string* buf, size_t size, Deadline deadline, size_t* got);
  // Waits until a byte is buffered or readable: 1 ready, 0 deadline, -1 error.
  int wait_readable(Deadline deadline);
  size_t buffered() const { return end_ - begin_; }
  // After a read that lost the connection: the peer reset it rather than
  // closing in order. A peer resets when it closes with our bytes unread, so
  // the request it was sent never reached it whole.
  bool peer_reset() const { return reset_; }

 private:
  static constexpr size_t kChunk = 64 * 1024;
  int fd_;
  char buf_[kChunk];
  size_t begin_ = 0;
  size_t end_ = 0;
  bool reset_ = false;
};

// True when a cached idle connection is still usable: nothing to read and not
// closed by the peer. Never blocks.
bool idle_connection_alive(int fd);

// True when the peer has sent bytes not read yet (an end of stream or an error
// is not counted: there is nothing to lose). Never blocks.
bool bytes_waiting(int fd);

// Listening socket on host:port (non-blocking). Returns false on success with
// the fd and the bound port, else true with a reason.
bool listen_on(const char* host, int port, int* fd, int* bound_port, std::string* why);

// Accepts one pending connection (non-blocking, TCP_NODELAY); -1 when none.
// With peer, also gives the client's numeric address.
int accept_connection(int listen_fd, std::string* peer = nullptr);

void close_fd(int fd);

}  // namespace velmor

#endif
