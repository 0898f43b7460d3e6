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

#include "daq_export.h"
#include "tidewire.h"

class DAQ_EXPORT TidewireListener {
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

  // Waits up to timeout_ms for a receiver, then exchanges hellos within the
  // connect time-out. On 0, *link is a new connected link that the caller owns
  // (delete it to close it). 22 when no receiver came in time, 30 when a signal
  // interrupted the wait, 7 when not listening, else the code of the handshake.
  int Accept(int timeout_ms, Tidewire** link);

  // TCP_NODELAY on accepted links (default true). Without it, events of a few KB
  // sent one by one meet the receiver's delayed acknowledgements and flow at less
  // than half the rate; small events gain little from coalescing.
  void SetNoDelay(bool on);
  void SetHandshakeTimeout(int ms);

  void Close();

 private:
  int fd_;
  int port_;
  bool no_delay_;
  int handshake_timeout_ms_;
};

#endif
