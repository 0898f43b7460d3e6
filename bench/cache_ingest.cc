// The cache's share of small-event ingest, without the link: a batch of 4000
// one-spectrum events (the argument: bytes of values) converted into a store deep
// enough to hold them all, as the receiver thread does, then drained earliest
// first as the take-first query does. Reported per event: ingest_ns (the
// conversion, timed) and drain_ns (lookup and removal). The receiver benchmark's
// BM_ReceiverIngest is the whole road; this row shows what the cache adds to it.
#include <benchmark/benchmark.h>

#include <time.h>

#include <cstring>
#include <vector>

#include "eq_evstore.h"
#include "orxa_event_builder.h"

namespace {

constexpr int kBatch = 4000;

double cpu_ns() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

// Events 1..kBatch, 100 ms apart, back to back in 8-byte aligned storage.
struct Batch {
  std::vector<uint64_t> words;
  std::vector<std::size_t> at;  // word offset of each event

  explicit Batch(int64_t value_bytes) {
    OrxaEventBuilder b(ORXA_FORMAT_2024);
    std::vector<float> values(static_cast<std::size_t>(value_bytes / 4), 1.5f);
    orxa_spect_input in{0.0f,          1.0f,   static_cast<int>(values.size()), 1, 0.0f,
                        values.data(), nullptr};
    for (uint64_t n = 1; n <= kBatch; ++n) {
      b.begin(n, time_stamp{1700000000u + static_cast<uint32_t>(n / 10),
                            static_cast<uint32_t>(n % 10) * 100000u});
      b.add_spectra("SPECTRUM.CH", ORXA_DT_SPECTRUM, &in, 1, false);
      std::size_t length = 0;
      const char* p = b.finish(&length);
      at.push_back(words.size());
      words.resize(words.size() + length / 8 + 1);
      std::memcpy(words.data() + at.back(), p, length);
    }
  }
  orxa_eventheader_2024* event(std::size_t i) {
    return reinterpret_cast<orxa_eventheader_2024*>(words.data() + at[i]);
  }
};

void BM_CacheIngest(benchmark::State& state) {
  Batch batch(state.range(0));
  DAQEqEvstore store(kBatch + 10);
  double ingest = 0, drain = 0;
  for (auto _ : state) {
    double t0 = cpu_ns();
    store.lock();
    for (std::size_t i = 0; i < kBatch; ++i) {
      if (store.daq_data_to_cache(batch.event(i), nullptr, 0) != 0) {
        state.SkipWithError("conversion failed");
        break;
      }
    }
    store.unlock();
    double t1 = cpu_ns();
    store.lock();
    while (eq_evstore_record_2024* r = store.FindFirstRecord_2024(EQCACHE_FIND_TIME))
      store.RemRecord_2024(r, false);
    store.unlock();
    double t2 = cpu_ns();
    ingest += t1 - t0;
    drain += t2 - t1;
    state.SetIterationTime((t1 - t0) / 1e9);
  }
  double events = static_cast<double>(state.iterations()) * kBatch;
  state.counters["ingest_ns"] = ingest / events;
  state.counters["drain_ns"] = drain / events;
}

BENCHMARK(BM_CacheIngest)
    ->Arg(64)
    ->Arg(512)
    ->Arg(4096)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
