// Arbitrary bytes after a valid hello, read by a Tidewire through one end of a
// socketpair: the same socket path as a live link. The first input byte picks
// the hello's byte order. Every message handed out is read whole, so a length
// that disagrees with the buffer shows up as an out-of-bounds read.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "tidewire.h"

namespace {

void write_all(int fd, const uint8_t* p, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w <= 0) return;
    p += w;
    n -= static_cast<size_t>(w);
  }
}

volatile uint32_t sink;

void touch(const char* p, uint32_t n) {
  uint32_t sum = 0;
  for (uint32_t i = 0; i < n; ++i) sum += static_cast<unsigned char>(p[i]);
  sink = sum;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 100000) return 0;  // must fit the socket buffer unread
  bool swapped = data[0] & 1;
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return 0;
  int buffer = 1 << 20;
  setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);

  uint32_t hello[2] = {0x5457494Bu, 1u};
  if (swapped) {
    hello[0] = __builtin_bswap32(hello[0]);
    hello[1] = __builtin_bswap32(hello[1]);
  }
  write_all(fds[1], reinterpret_cast<const uint8_t*>(hello), sizeof hello);
  write_all(fds[1], data + 1, size - 1);

  Tidewire link(false);
  if (link.Attach(fds[0], 100) == 0) {
    char peer_hello[8];
    (void)!read(fds[1], peer_hello, sizeof peer_hello);
    close(fds[1]);
    fds[1] = -1;
    for (int i = 0; i < 100000; ++i) {
      int rc = link.ReceiveEvent(nullptr, 0, -1, -1);
      if (rc == TIDEWIRE_AGAIN_TIMEOUT || rc == TIDEWIRE_AGAIN_INTERRUPTED) continue;
      if (rc != 0) break;
      uint32_t length = 0;
      const char* message = link.get_message(&length);
      touch(message, length);
      if (orxa_eventheader* h = link.get_event_header()) sink = h->event_length;
      if (orxa_eventheader_2024* h = link.get_event_header_2024())
        sink = static_cast<uint32_t>(h->event_length);
      if (orxa_daq_slow_data_header* h = link.get_slow_data_header()) sink = h->data_length;
    }
  }
  if (fds[1] >= 0) close(fds[1]);
  return 0;
}
