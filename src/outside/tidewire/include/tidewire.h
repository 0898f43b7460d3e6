// The DAQ data link: one end of a TCP connection that carries DAQ events and
// slow-data blocks from a data server to a receiver, and control messages back.
// Framing, byte-order handshake, size cap and every result code: docs/data-link.md.
//
// Threads: one thread receives (ReceiveEvent and the get_* accessors). Sending
// keeps its own state, so the receiving thread may send too, or one other thread
// may send while it receives. Connect, Disconnect and the destructor must not run
// at the same time as any other call on the same object.
#ifndef TIDEWIRE_H
#define TIDEWIRE_H

#include <sys/uio.h>

#include <atomic>
#include <cstdint>

#include "orxa_event_format.h"
#include "tidewire_export.h"

class RNG_RingBuffer;

// Send modes.
enum { SendEvent_NOACK = 0, SendEvent_ACK = 1 };

// Result codes of Connect, ReceiveEvent and SendEvent.
enum {
  TIDEWIRE_OK = 0,
  TIDEWIRE_ERR_LOST = 6,              // peer closed or reset; link inactive
  TIDEWIRE_ERR_NOT_CONNECTED = 7,     // never connected, or disconnected
  TIDEWIRE_ERR_ARGUMENT = 8,          // bad argument
  TIDEWIRE_AGAIN_TIMEOUT = 22,        // try again: no message within the wake period
  TIDEWIRE_ERR_TIMEOUT = 23,          // send: rest of the frame kept for the next send; ACK late
  TIDEWIRE_ERR_BUSY = 28,             // send: nothing could be queued; nothing sent
  TIDEWIRE_AGAIN_INTERRUPTED = 30,    // try again: a signal interrupted the wait
  TIDEWIRE_ERR_TRUNCATED = 40,        // peer closed in the middle of a frame
  TIDEWIRE_ERR_TOO_LARGE = 41,        // frame length 0 or above the cap
  TIDEWIRE_ERR_UNKNOWN_KIND = 42,     // no known pattern at the start of the message
  TIDEWIRE_ERR_LENGTH = 43,           // header length disagrees with the frame length
  TIDEWIRE_ERR_NO_MEMORY = 44,        // receive buffer could not grow
  TIDEWIRE_ERR_IDLE = 45,             // no complete message within the receiver's idle bound
  TIDEWIRE_ERR_RESOLVE = 46,          // host name not resolved
  TIDEWIRE_ERR_CONNECT = 47,          // refused, unreachable, no socket
  TIDEWIRE_ERR_CONNECT_TIMEOUT = 48,  // no connection or no peer hello in time
  TIDEWIRE_ERR_HANDSHAKE = 49,        // the peer's hello is not ours
  TIDEWIRE_ERR_BAD_MESSAGE = 50,      // SendEvent: message breaks the framing rules
  TIDEWIRE_ERR_BIND = 51              // TidewireListener: address not available
};

// Largest message (frame length) either side accepts: 256 MB.
enum : uint32_t { TIDEWIRE_MAX_MESSAGE = 268435456u };
// ReceiveEvent never waits longer than this, so a receiver thread sees its stop flag.
enum { TIDEWIRE_WAKE_MS = 200 };

class TidewireReader;
class TidewireWriter;

class TIDEWIRE_EXPORT Tidewire {
 public:
  // verbose: also print a line when the link connects and disconnects (errors are
  // always printed).
  explicit Tidewire(bool verbose);
  ~Tidewire();
  Tidewire(const Tidewire&) = delete;
  Tidewire& operator=(const Tidewire&) = delete;

  // Sets no_delay (TCP_NODELAY on the next Connect) and clears owncntr.
  void SetNoDelay();
  // Bounds of the blocking calls, in milliseconds (values below 1 are ignored):
  // connect and hello (default 5000), each wait for room to send (default 1000).
  void SetConnectTimeout(int ms);
  void SetSendTimeout(int ms);

  // Resolves host (name or dotted address), connects within the connect time-out
  // and exchanges hellos. A connected link is disconnected first. 0 on success,
  // else 7/8/46/47/48/49.
  int Connect(char* host, int port);
  int Connect(const char* host, int port);
  // After a successful Connect: true when the peer's byte order differs.
  bool get_swap();

  // Takes the next message. rb must be null (else 8). timeout_ms: -1 waits up to the wake
  // period (200 ms), 0 only polls, else up to min(timeout_ms, 200). The last two
  // arguments are reserved (pass -1). Returns 0 with a message, 22 or 30 to try
  // again, any other code ends reception (docs/data-link.md).
  int ReceiveEvent(RNG_RingBuffer* rb, int timeout_ms, int reserved1, int reserved2);

  // The message just received as that kind, in host byte order, or null when it
  // is of another kind. The event data follows the header in the same buffer (at
  // header + 36, or + 48 for 2024). Owned by the link; valid until the next
  // ReceiveEvent, Connect or Disconnect.
  orxa_eventheader* get_event_header();
  orxa_eventheader_2024* get_event_header_2024();
  orxa_daq_slow_data_header* get_slow_data_header();
  // The whole message just received and its length (0 when there is none).
  const char* get_message(uint32_t* length);

  // True while connected and the peer has not gone away.
  bool IsLinkActive();

  // Sends one frame made of n buffers (1..1023), without copying them. Returns 0,
  // 6 connection lost, 23 time-out, 28 resource temporarily unavailable, or 7, 8,
  // 50 (docs/data-link.md).
  int SendEvent(iovec* iov, int n, int mode);

  // Sends what is left of a frame whose SendEvent gave 23, waiting at most the
  // send time-out for room. 0 when nothing is left, 28 when some still is, 6, 7.
  int Flush();

  // Closes the socket; later calls give 7 until the next Connect.
  void Disconnect();

  // Counters kept while owncntr is true: messages and bytes received and sent.
  uint64_t GetReceivedMessages() const;
  uint64_t GetReceivedBytes() const;
  uint64_t GetSentMessages() const;
  uint64_t GetSentBytes() const;

  // Takes over a connected stream socket (accepted by TidewireListener, or one end
  // of a socketpair) and exchanges hellos within timeout_ms. The link owns fd from
  // here on, also on failure. 0 on success, else 8/44/48/49/6.
  int Attach(int fd, int timeout_ms);

  // The link's text of a result code ("connection lost", ...); never null.
  static const char* ResultText(int code);

  // The peer is expected to close now (the stream's end was sent or received): a
  // close between messages still gives 6, but without a diagnostic line. Cleared
  // by Connect, Attach and Disconnect.
  void ExpectClose();

  // Test hook: the nth SendEvent from now, on any link of the process, returns
  // code and sends nothing (n 0: disarmed). For fault tests of the callers.
  static void InjectSendFailure(int nth, int code);

  bool no_delay;  // set TCP_NODELAY on connect
  bool owncntr;   // keep the message and byte counters

  // True when the next ReceiveEvent can return a message (or the error its frame
  // gives) from bytes already received, without waiting or a system call. Many
  // small frames arrive with one receive; a caller may take them as a batch.
  bool HasBufferedMessage();

 private:
  int Handshake(int timeout_ms);
  // Takes over a socket whose hellos TidewireListener has exchanged.
  int Adopt(int fd, bool swap);
  friend class TidewireListener;

  bool verbose_;
  int fd_;
  int connect_timeout_ms_;
  std::atomic<bool> connected_;
  std::atomic<bool> active_;
  bool swap_;
  int reported_;  // last receive error printed, so a sticky error prints once
  std::atomic<bool> close_expected_;
  TidewireReader* reader_;
  TidewireWriter* writer_;
  std::atomic<uint64_t> received_messages_;
  std::atomic<uint64_t> received_bytes_;
  std::atomic<uint64_t> sent_messages_;
  std::atomic<uint64_t> sent_bytes_;
};

#endif
