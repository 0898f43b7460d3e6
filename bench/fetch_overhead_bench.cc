// What the one-call fetch costs beyond the road an application writes by hand:
// the same request to the same in-process server (unpaced), once through
// EqDAQconnect + EqDAQdata2024 + a get_monitor loop that takes every record,
// once through DaqFetch with a callback that only counts. Both include the
// handshake. The two roads alternate within each iteration, so the ratio
// (hand-written time / fetch time; 1.0 = no overhead) holds on a loaded machine.
#include <benchmark/benchmark.h>

#include <chrono>
#include <string>
#include <thread>

#include "daq_data_server.h"
#include "daq_fetch.h"
#include "eq_daq_connect.h"
#include "eq_daq_data_2024.h"
#include "fetch_request.h"
#include "query_release.h"
#include "velmor.h"

namespace {

using Clock = std::chrono::steady_clock;

DaqFetchRequest request_of(const DaqDataServer& server, int seconds) {
  DaqFetchRequest q;
  q.servers = server.entry();
  q.channels = {"DIAG/TOROID/T1.SPECT"};
  q.start_sec = 1735689600;
  q.stop_sec = q.start_sec + seconds;
  q.retries = 0;
  return q;
}

// The road by hand; the number of records taken, or -1.
long by_hand(const DaqFetchRequest& q) {
  velmor::EqCall call;
  EqDAQconnect connection(&call, nullptr);
  std::string error;
  if (fill_fetch_request(q, &connection, &error) || connection.connect(q.servers.c_str()) != 0)
    return -1;
  EqDAQdata2024 receiver(0, 0);
  if (receiver.set_reply(connection.get_server_reply()) || receiver.connect() ||
      receiver.start_receiver(false))
    return -1;
  long taken = 0;
  for (;;) {
    std::vector<EqData_dtype*>* out = nullptr;
    int rc = receiver.get_monitor(&out, nullptr, nullptr);
    if (out != nullptr) {
      release_query_result(out);
      ++taken;
    } else if (rc & DAQ_MON_NO_MORE) {
      break;
    } else {
      std::this_thread::sleep_for(std::chrono::microseconds(250));
    }
  }
  receiver.stop_receiver();
  return receiver.get_end_data_status() == -3 ? taken : -1;
}

long by_fetch(const DaqFetchRequest& q) {
  DaqFetch fetch(q);
  long taken = 0;
  int rc = fetch.run([&taken](DaqFetchRecord&) {
    ++taken;
    return true;
  });
  return rc == DAQ_FETCH_OK ? taken : -1;
}

double seconds_of(long (*road)(const DaqFetchRequest&), const DaqFetchRequest& q, long* n) {
  auto t0 = Clock::now();
  *n = road(q);
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

void BM_FetchOverhead(benchmark::State& state) {
  DaqServerOptions o;
  o.generation = DAQ_GENERATION_2024;
  o.rate_hz = 200;
  DaqDataServer server(o);
  if (server.start()) {
    state.SkipWithError("server did not start");
    return;
  }
  DaqFetchRequest q = request_of(server, static_cast<int>(state.range(0)));
  double hand = 0, fetched = 0;
  long records = 0;
  for (auto _ : state) {
    long a = 0, b = 0;
    double t_hand = seconds_of(by_hand, q, &a);
    double t_fetch = seconds_of(by_fetch, q, &b);
    if (a <= 0 || a != b) {
      state.SkipWithError("the two roads disagree or failed");
      break;
    }
    hand += t_hand;
    fetched += t_fetch;
    records += b;
    state.SetIterationTime(t_fetch);
  }
  state.counters["records_per_s"] = static_cast<double>(records) / fetched;
  state.counters["ratio"] = hand / fetched;
}

BENCHMARK(BM_FetchOverhead)
    ->Arg(10)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(40);

}  // namespace

BENCHMARK_MAIN();
