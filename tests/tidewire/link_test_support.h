// Helpers for the data-link tests: message builders, a hand-driven peer on one
// end of a socketpair (for bytes no well-behaved sender would write), and a pair
// of real links over loopback.
#ifndef LINK_TEST_SUPPORT_H
#define LINK_TEST_SUPPORT_H

#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <future>
#include <memory>
#include <vector>

#include "tidewire.h"
#include "tidewire_listener.h"

namespace linktest {

using Bytes = std::vector<unsigned char>;

// Fills with a pattern that depends on the seed and, through an odd period,
// on the position, so a shifted, reordered or mixed-up message never compares equal.
inline void fill(unsigned char* p, std::size_t n, uint64_t seed) {
  constexpr std::size_t kPeriod = 4093;
  unsigned char block[kPeriod];
  for (std::size_t i = 0; i < kPeriod; ++i)
    block[i] = static_cast<unsigned char>((seed * 131 + i * 7 + (i >> 5)) & 0xFF);
  for (std::size_t at = 0; at < n; at += kPeriod)
    std::memcpy(p + at, block, n - at < kPeriod ? n - at : kPeriod);
}

// A legacy event: header, `data` bytes of pattern, tail; event_length = whole.
inline Bytes legacy_event(uint32_t number, std::size_t data) {
  Bytes b(sizeof(orxa_eventheader) + data + sizeof(orxa_eventtail));
  orxa_eventheader h{};
  h.pattern = ORXA_EVENT_PATTERN;
  h.event_length = static_cast<uint32_t>(b.size());
  h.event_number = number;
  h.event_time = {1700000000u + number, number % 1000000u};
  h.num_svr_block = 1;
  std::memcpy(b.data(), &h, sizeof h);
  fill(b.data() + sizeof h, data, number);
  orxa_eventtail t{h.event_length};
  std::memcpy(b.data() + b.size() - sizeof t, &t, sizeof t);
  return b;
}

inline Bytes event_2024(uint64_t number, std::size_t data) {
  Bytes b(sizeof(orxa_eventheader_2024) + data + sizeof(orxa_eventtail_2024));
  orxa_eventheader_2024 h{};
  h.pattern = ORXA_EVENT_PATTERN_2024;
  h.event_length = static_cast<int64_t>(b.size());
  h.event_number = number;
  h.event_time = {1700000000u, 5u};
  h.num_svr_block = 1;
  std::memcpy(b.data(), &h, sizeof h);
  fill(b.data() + sizeof h, data, number);
  orxa_eventtail_2024 t{static_cast<uint64_t>(b.size())};
  std::memcpy(b.data() + b.size() - sizeof t, &t, sizeof t);
  return b;
}

inline Bytes slow_block(uint32_t pattern, uint32_t channels, std::size_t data) {
  Bytes b(sizeof(orxa_daq_slow_data_header) + data);
  orxa_daq_slow_data_header h{pattern, static_cast<uint32_t>(b.size()), channels};
  std::memcpy(b.data(), &h, sizeof h);
  fill(b.data() + sizeof h, data, channels);
  return b;
}

inline int send_bytes(Tidewire& link, const Bytes& b, int mode = SendEvent_NOACK) {
  iovec v{const_cast<unsigned char*>(b.data()), b.size()};
  return link.SendEvent(&v, 1, mode);
}

// Keeps calling ReceiveEvent through "try again" results, up to `tries` times.
inline int receive(Tidewire& link, int tries = 50) {
  int rc = TIDEWIRE_AGAIN_TIMEOUT;
  for (int i = 0; i < tries; ++i) {
    rc = link.ReceiveEvent(nullptr, -1, -1, -1);
    if (rc != TIDEWIRE_AGAIN_TIMEOUT && rc != TIDEWIRE_AGAIN_INTERRUPTED) break;
  }
  return rc;
}

inline Bytes received(Tidewire& link) {
  uint32_t length = 0;
  const char* m = link.get_message(&length);
  return m == nullptr ? Bytes() : Bytes(m, m + length);
}

// One end attached to a Tidewire, the other written by hand.
class RawPeer {
 public:
  RawPeer() { socketpair(AF_UNIX, SOCK_STREAM, 0, fds_); }
  ~RawPeer() { CloseRaw(); }
  int link_fd() const { return fds_[0]; }
  int raw_fd() const { return fds_[1]; }
  void Write(const void* p, std::size_t n) {
    const char* c = static_cast<const char*>(p);
    while (n > 0) {
      ssize_t w = write(fds_[1], c, n);
      if (w <= 0) return;
      c += w;
      n -= static_cast<std::size_t>(w);
    }
  }
  void Write32(uint32_t v, bool swapped = false) {
    if (swapped) v = __builtin_bswap32(v);
    Write(&v, sizeof v);
  }
  void Hello(bool swapped = false, uint32_t magic = 0x5457494Bu, uint32_t version = 1) {
    Write32(magic, swapped);
    Write32(version, swapped);
  }
  void Frame(const Bytes& b, bool swapped = false) {
    Write32(static_cast<uint32_t>(b.size()), swapped);
    Write(b.data(), b.size());
  }
  // Attaches the link end after the raw hello is queued; the link's own hello
  // stays unread in the socketpair.
  int Attach(Tidewire& link, int timeout_ms = 1000) {
    int rc = link.Attach(fds_[0], timeout_ms);
    fds_[0] = -1;  // owned by the link now
    return rc;
  }
  void CloseRaw() {
    if (fds_[1] >= 0) close(fds_[1]);
    fds_[1] = -1;
    if (fds_[0] >= 0) close(fds_[0]);
    fds_[0] = -1;
  }

 private:
  int fds_[2] = {-1, -1};
};

// A receiver link connected over loopback to a server link from a listener.
struct LinkPair {
  TidewireListener listener;
  std::unique_ptr<Tidewire> server;
  Tidewire receiver{false};

  bool Open() {
    if (listener.Listen("127.0.0.1", 0) != 0) return false;
    auto accepted = std::async(std::launch::async, [this] {
      Tidewire* link = nullptr;
      int rc = listener.Accept(5000, &link);
      return std::make_pair(rc, link);
    });
    receiver.SetNoDelay();
    int rc = receiver.Connect("127.0.0.1", listener.GetPort());
    auto result = accepted.get();
    server.reset(result.second);
    return rc == 0 && result.first == 0 && server != nullptr;
  }
};

}  // namespace linktest

#endif
