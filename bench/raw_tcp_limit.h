// The raw TCP limit that the ingest rows share: a connected loopback pair, and
// a bare recv loop taking a batch that a producer sends in 256 KB writes. The
// receiver's ingest, the cache's floor and the link alone are all measured
// against this same loop, so their ratios compare with each other.
#ifndef BENCH_RAW_TCP_LIMIT_H
#define BENCH_RAW_TCP_LIMIT_H

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <thread>
#include <vector>

#include "socket_send.h"

// A connected loopback pair without Nagle's delay; false when the machine refuses one.
inline bool raw_pair(int* reader, int* writer) {
  int lsock = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  bool ok = lsock >= 0 && bind(lsock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
            listen(lsock, 1) == 0 &&
            getsockname(lsock, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
  *reader = ok ? socket(AF_INET, SOCK_STREAM, 0) : -1;
  ok = ok && connect(*reader, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  *writer = ok ? accept(lsock, nullptr, nullptr) : -1;
  if (lsock >= 0) close(lsock);
  int one = 1;
  setsockopt(*reader, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  setsockopt(*writer, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return ok && *writer >= 0;
}

// Writes the buffer in sends of 256 KB, as a producer that batches its frames. Ours
// and the limit are fed alike: one send of the whole batch stalls loopback for
// milliseconds at a time. write(p, n) returns false to stop.
template <class Write>
void send_in_bulk(const std::vector<char>& b, Write write) {
  constexpr std::size_t kChunk = 256 * 1024;
  for (std::size_t at = 0; at < b.size(); at += kChunk)
    if (!write(b.data() + at, std::min(kChunk, b.size() - at))) return;
}

// Seconds a bare recv loop takes for the bulk sent from writer to reader.
inline double raw_recv_seconds(int reader, int writer, const std::vector<char>& bulk) {
  auto t0 = std::chrono::steady_clock::now();
  std::thread sender([&] {
    send_in_bulk(bulk,
                 [writer](const char* p, std::size_t n) { return send_all_bytes(writer, p, n); });
  });
  static std::vector<char> buffer(256 * 1024);
  std::size_t have = 0;
  while (have < bulk.size()) {
    ssize_t r = recv(reader, buffer.data(), buffer.size(), 0);
    if (r <= 0) break;
    benchmark::DoNotOptimize(buffer.data());
    have += static_cast<std::size_t>(r);
  }
  sender.join();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

#endif
