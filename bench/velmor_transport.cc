// Property calls over loopback against the limit of the same exchange on a raw
// TCP socket: a small get against a ping-pong of the same byte counts, and a
// 4 MB get against a raw 4 MB transfer. The ratios are printed at the end.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "velmor.h"
#include "velmor_server.h"

namespace {

constexpr int kBigFloats = 1 << 20;  // 4 MB of floats

// Frame sizes of the property calls below, so the raw exchange moves the same bytes.
size_t serialized_size(const velmor::EqData& d) {
  std::string s;
  d.serialize(s);
  return s.size();
}

velmor::EqData small_value() {
  velmor::EqData d;
  d.set_int(42);
  return d;
}

velmor::EqData& big_value() {
  static velmor::EqData* d = [] {
    auto* v = new velmor::EqData;
    std::vector<float> values(kBigFloats, 1.5f);
    v->set_float_array(values.data(), kBigFloats);
    return v;
  }();
  return *d;
}

struct Fixture {
  velmor::PropertyServer server;
  Fixture() {
    server.add_property("SMALL", nullptr,
                        [](const std::string&, const velmor::EqData&, velmor::EqData& out) {
                          out.set_int(42);
                          return 0;
                        });
    server.add_property("BIG", nullptr,
                        [](const std::string&, const velmor::EqData&, velmor::EqData& out) {
                          out.copy_from(&big_value());
                          return 0;
                        });
    server.start("127.0.0.1", 0);
    velmor::register_server("BENCH/SRV", "127.0.0.1", server.port());
  }
};

Fixture& fixture() {
  static Fixture* f = new Fixture;
  return *f;
}

// CPU time of the whole process (both ends of the exchange) in microseconds.
double process_cpu_us() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e6 + u.ru_utime.tv_usec + u.ru_stime.tv_usec;
}

// Both ends' CPU per exchange: steadier than the real time on a machine that
// other work shares, where it shows what a change saved.
void count_cpu(benchmark::State& state, double since_us) {
  if (state.iterations() > 0)
    state.counters["cpu_us_both_ends"] =
        (process_cpu_us() - since_us) / static_cast<double>(state.iterations());
}

bool full_io(int fd, char* p, size_t n, bool sending) {
  while (n > 0) {
    ssize_t r = sending ? send(fd, p, n, MSG_NOSIGNAL) : recv(fd, p, n, 0);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

// A raw server: reads `request` bytes, answers `answer` bytes, until the peer
// closes. With `fill`, it first copies the answer from another buffer, as a
// property handler fills its answer from the value it holds.
struct RawPeer {
  int client = -1;
  std::thread thread;
  RawPeer(size_t request, size_t answer, bool fill = false) {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(listener, 1);
    socklen_t len = sizeof a;
    getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
    client = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a);
    int served = accept(listener, nullptr, nullptr);
    close(listener);
    setsockopt(served, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    thread = std::thread([served, request, answer, fill] {
      std::string in(request, '\0'), out(answer, 'x'), value(fill ? answer : 0, 'v');
      while (full_io(served, &in[0], request, false)) {
        if (fill) std::memcpy(&out[0], value.data(), answer);
        if (!full_io(served, &out[0], answer, true)) break;
      }
      close(served);
    });
  }
  ~RawPeer() {
    close(client);
    thread.join();
  }
};

void run_raw(benchmark::State& state, size_t request, size_t answer, bool fill = false) {
  RawPeer peer(request, answer, fill);
  std::string out(request, 'r'), in(answer, '\0');
  double cpu = process_cpu_us();
  for (auto _ : state) {
    if (!full_io(peer.client, &out[0], request, true) ||
        !full_io(peer.client, &in[0], answer, false)) {
      state.SkipWithError("raw exchange failed");
      break;
    }
  }
  count_cpu(state, cpu);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(answer));
  state.SetItemsProcessed(state.iterations());
}

void run_get(benchmark::State& state, const char* property) {
  fixture();
  velmor::EqCall call;
  velmor::EqAdr a;
  a.adr(std::string("/BENCH/SRV/") + property);
  velmor::EqData out;
  size_t answer = 0;
  double cpu = process_cpu_us();
  for (auto _ : state) {
    if (call.get(&a, nullptr, &out) != 0) {
      state.SkipWithError(out.error_text());
      break;
    }
  }
  count_cpu(state, cpu);
  answer = 16 + serialized_size(out);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(answer));
  state.SetItemsProcessed(state.iterations());
}

// Request frame: 16-byte head, 2-byte name length, the name; answer: head plus the object.
size_t request_bytes(const char* property) { return 16 + 2 + std::string(property).size(); }

void BM_SmallGet(benchmark::State& state) { run_get(state, "SMALL"); }
void BM_RawPingPongSameBytes(benchmark::State& state) {
  run_raw(state, request_bytes("SMALL"), 16 + serialized_size(small_value()));
}
void BM_Get4MB(benchmark::State& state) { run_get(state, "BIG"); }
void BM_RawTransfer4MB(benchmark::State& state) {
  run_raw(state, request_bytes("BIG"), 16 + serialized_size(big_value()));
}
// The floor of a get: the raw transfer plus the one copy the handler makes of
// its 4 MB value into the answer, which any handler that keeps its value pays.
void BM_RawTransfer4MBHandlerCopy(benchmark::State& state) {
  run_raw(state, request_bytes("BIG"), 16 + serialized_size(big_value()), true);
}

BENCHMARK(BM_SmallGet)->MinTime(0.5)->Repetitions(5)->ReportAggregatesOnly(true)->UseRealTime();
BENCHMARK(BM_RawPingPongSameBytes)
    ->MinTime(0.5)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->UseRealTime();
BENCHMARK(BM_Get4MB)->MinTime(0.5)->Repetitions(5)->ReportAggregatesOnly(true)->UseRealTime();
BENCHMARK(BM_RawTransfer4MB)
    ->MinTime(0.5)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->UseRealTime();
BENCHMARK(BM_RawTransfer4MBHandlerCopy)
    ->MinTime(0.5)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->UseRealTime();

// Keeps each benchmark's median rate so the ratios can be printed after the
// run; medians of five repetitions ride out a machine shared with other work.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> rate;
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs)
      if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median" &&
          r.GetAdjustedRealTime() > 0)
        rate[r.run_name.function_name] = 1.0 / r.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(runs);
  }
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto ratio = [&](const char* ours, const char* limit) {
    auto a = reporter.rate.find(ours), b = reporter.rate.find(limit);
    if (a == reporter.rate.end() || b == reporter.rate.end() || b->second == 0) return;
    std::printf("ratio %s / %s = %.2f (goal >= 0.70)\n", ours, limit, a->second / b->second);
  };
  ratio("BM_SmallGet", "BM_RawPingPongSameBytes");
  ratio("BM_Get4MB", "BM_RawTransfer4MB");
  ratio("BM_Get4MB", "BM_RawTransfer4MBHandlerCopy");
  benchmark::Shutdown();
  return 0;
}
