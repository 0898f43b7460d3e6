// The listening side of the data link, for data servers: accepts receivers and
// hands out one connected Tidewire per receiver. On that link the server sends
// events and slow-data blocks with SendEvent (gather lists, payloads not copied)
// and reads the receiver's control messages with ReceiveEvent(nullptr, timeout, -1, -1)
// (timeout 0 polls without waiting). Formats and codes: docs/data-link.md.
//
// Threads: a listener is used by one thread at a time; the links it hands out are
// independent objects.
#ifndef TIDEWIRE_LISTENER_H
#define TIDEWIRE_LISTENER_H

#include "tidewire.h"
#include "tidewire_export.h"

class TIDEWIRE_EXPORT TidewireListener {
 public:
  TidewireListener();
  ~TidewireListener();  // closes the listening socket, not the links handed out
  TidewireListener(const TidewireListener&) = delete;
  TidewireListener& operator=(const TidewireListener&) = delete;

  // Listens on address ("127.0.0.1", another dotted address or a host name; null,
  // "" or "0.0.0.0": any address) and port (0: a free port, see GetPort). A
  // listener that already listens is closed first. 0, or 8/46/51.
  int Listen(const char* address, int port);
  // The port listened on, or 0 when not listening.
  int GetPort() const;
  bool IsListening() const;
  // True when a connection waits to be accepted or is in its handshake: a
  // listener kept before its port was handed to anyone can tell a stranger came.
  bool HasWaitingConnection() const;

  // Waits up to timeout_ms for a receiver whose hello has come. Every connection
  // gets the listener's hello at once and has the handshake time-out (from its
  // accept) for its own; the hellos of all pending connections are read side
  // by side, across calls, and the first complete one is handed out, so silent
  // or hostile connections never delay a receiver behind them. On 0, *link is a
  // new connected link that the caller owns (delete it to close it). Without a
  // link: 48, 49 or 6 when a handshake failed during this call (no hello in
  // time, not ours, peer left; the last such), else 22 when the time passed,
  // 30 when a signal interrupted the wait, 7 when not listening.
  int Accept(int timeout_ms, Tidewire** link);

  // TCP_NODELAY on accepted links (default true). Without it, events of a few KB
  // sent one by one meet the receiver's delayed acknowledgements and flow at less
  // than half the rate; small events gain little from coalescing.
  void SetNoDelay(bool on);
  // Bound of each connection's handshake, from its accept (default 5000 ms).
  void SetHandshakeTimeout(int ms);

  // Stops listening and closes the connections still in their handshake.
  void Close();

  // Connections whose hello has not come yet are held at most this many at a
  // time; a new one makes room by dropping the oldest.
  enum { kMaxPendingHandshakes = 64 };

 private:
  int fd_;
  int port_;
  bool no_delay_;
  int handshake_timeout_ms_;

  struct Pending;
  // Accepted connections still in their handshake, kept across calls.
  Pending* pending_;
};

#endif
