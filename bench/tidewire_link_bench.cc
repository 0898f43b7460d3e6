// Events from a listening side to a Tidewire receiver over loopback, against a
// raw TCP read loop (recv into a 1 MB buffer) taking the same framed bytes. The
// raw sender writes either one send() per event, as a data server does (the
// limit for the link), or blocks of 1 MB (the ceiling of loopback itself). All
// run in this program; the ratios of Tidewire to raw bytes per second are printed.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "tidewire.h"
#include "tidewire_listener.h"

namespace {

std::vector<unsigned char> make_event(std::size_t total) {
  std::vector<unsigned char> b(total, 0x5A);
  orxa_eventheader h{};
  h.pattern = ORXA_EVENT_PATTERN;
  h.event_length = static_cast<uint32_t>(total);
  h.num_svr_block = 1;
  std::memcpy(b.data(), &h, sizeof h);
  return b;
}

void BM_TidewireReceive(benchmark::State& state) {
  const std::size_t size = static_cast<std::size_t>(state.range(0));
  TidewireListener listener;
  listener.SetNoDelay(getenv("TW_NODELAY") != nullptr);
  if (listener.Listen("127.0.0.1", 0) != 0) {
    state.SkipWithError("listen failed");
    return;
  }
  Tidewire* server = nullptr;
  std::thread acceptor([&] { listener.Accept(5000, &server); });
  Tidewire receiver(false);
  receiver.SetNoDelay();
  int rc = receiver.Connect("127.0.0.1", listener.GetPort());
  acceptor.join();
  if (rc != 0 || server == nullptr) {
    state.SkipWithError("connect failed");
    delete server;
    return;
  }
  server->SetSendTimeout(60000);
  std::atomic<bool> stop{false};
  std::thread sender([&] {
    std::vector<unsigned char> event = make_event(size);
    iovec v{event.data(), event.size()};
    while (!stop) {
      int sent = server->SendEvent(&v, 1, SendEvent_NOACK);
      if (sent != 0 && sent != TIDEWIRE_ERR_BUSY && sent != TIDEWIRE_ERR_TIMEOUT) break;
    }
  });
  for (auto _ : state) {
    int got;
    do {
      got = receiver.ReceiveEvent(nullptr, -1, -1, -1);
    } while (got == TIDEWIRE_AGAIN_TIMEOUT || got == TIDEWIRE_AGAIN_INTERRUPTED);
    if (got != 0) {
      state.SkipWithError("receive failed");
      break;
    }
    benchmark::DoNotOptimize(receiver.get_event_header());
  }
  stop = true;
  receiver.Disconnect();  // the sender's next send fails and it ends
  sender.join();
  delete server;
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

void BM_RawTcpRead(benchmark::State& state) {
  const std::size_t size = static_cast<std::size_t>(state.range(0));
  const bool bulk = state.range(1) != 0;
  int lsock = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (bind(lsock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(lsock, 1) != 0 ||
      getsockname(lsock, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    state.SkipWithError("listen failed");
    close(lsock);
    return;
  }
  int reader = socket(AF_INET, SOCK_STREAM, 0);
  if (connect(reader, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    state.SkipWithError("connect failed");
    close(lsock);
    close(reader);
    return;
  }
  int writer = accept(lsock, nullptr, nullptr);
  close(lsock);
  std::atomic<bool> stop{false};
  std::thread sender([&] {
    // The same framed bytes, one event per send or in blocks of at least 1 MB.
    std::vector<unsigned char> event = make_event(size);
    std::vector<unsigned char> block;
    uint32_t prefix = static_cast<uint32_t>(size);
    while (block.empty() || (bulk && block.size() < (1u << 20))) {
      block.insert(block.end(), reinterpret_cast<unsigned char*>(&prefix),
                   reinterpret_cast<unsigned char*>(&prefix) + 4);
      block.insert(block.end(), event.begin(), event.end());
    }
    while (!stop) {
      if (send(writer, block.data(), block.size(), MSG_NOSIGNAL) <= 0) break;
    }
  });
  std::vector<unsigned char> buffer(1u << 20);
  const std::size_t frame = size + 4;
  std::size_t credit = 0;  // bytes read but not yet counted as an event
  for (auto _ : state) {
    while (credit < frame) {
      ssize_t n = recv(reader, buffer.data(), buffer.size(), 0);
      if (n <= 0) break;
      credit += static_cast<std::size_t>(n);
    }
    if (credit < frame) {
      state.SkipWithError("raw read failed");
      break;
    }
    credit -= frame;
  }
  stop = true;
  close(reader);
  sender.join();
  close(writer);
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

BENCHMARK(BM_TidewireReceive)->Arg(64)->Arg(4096)->Arg(1 << 20)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_RawTcpRead)
    ->ArgsProduct({{64, 4096, 1 << 20}, {0, 1}})
    ->ArgNames({"", "bulk"})
    ->UseRealTime()
    ->MinTime(1.0);

// Keeps bytes per second of every run so the ratios can be printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      auto it = run.counters.find("bytes_per_second");
      if (it != run.counters.end()) rates_[run.benchmark_name()] = it->second.value;
    }
  }
  void PrintRatios() const {
    for (const char* size : {"64", "4096", "1048576"}) {
      double tw = Rate(std::string("BM_TidewireReceive/") + size);
      double per_event = Rate(std::string("BM_RawTcpRead/") + size + "/bulk:0");
      double bulk = Rate(std::string("BM_RawTcpRead/") + size + "/bulk:1");
      if (tw <= 0 || per_event <= 0 || bulk <= 0) continue;
      std::printf("%s-byte events: Tidewire/raw per-event sends %.2f, Tidewire/raw bulk sends %.2f\n",
                  size, tw / per_event, tw / bulk);
    }
  }

 private:
  double Rate(const std::string& prefix) const {
    auto it = rates_.lower_bound(prefix + "/");
    return it != rates_.end() && it->first.compare(0, prefix.size() + 1, prefix + "/") == 0
               ? it->second
               : 0.0;
  }

  std::map<std::string, double> rates_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}
