// The cache's share of small-event ingest, without the link: a batch of 4000
// one-spectrum events (the argument: bytes of values) converted into a store deep
// enough to hold them all, as the receiver thread does, then drained earliest
// first as the take-first query does. Reported per event: ingest_ns (the
// conversion, timed) and drain_ns (lookup and removal). The receiver benchmark's
// BM_ReceiverIngest is the whole road; this row shows what the cache adds to it.
//
// BM_IngestFloor is what the public layout forces per event whatever the code
// does: the channel's entry, its type record and its value object (one pointer
// wide, so its content is a second allocation), an array for the values and their
// copy, made by one thread and freed by another after the batch, as the receiver
// and the application do. Its ratio is a raw recv loop over loopback of the same
// framed bytes (BM_ReceiverIngest's limit) against that work alone.
#include <benchmark/benchmark.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "eq_evstore.h"
#include "orxa_event_builder.h"
#include "raw_tcp_limit.h"
#include "velmor.h"

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
  std::vector<std::size_t> at;     // word offset of each event
  std::vector<std::size_t> bytes;  // length of each event

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
      bytes.push_back(length);
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

// ---- the floor ----

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Every event of the batch framed as on the link: a 4-byte length, then the event.
std::vector<char> framed(Batch& batch) {
  std::vector<char> out;
  for (std::size_t i = 0; i < kBatch; ++i) {
    const char* ev = reinterpret_cast<const char*>(batch.event(i));
    uint32_t length = static_cast<uint32_t>(batch.bytes[i]);
    out.insert(out.end(), reinterpret_cast<const char*>(&length),
               reinterpret_cast<const char*>(&length) + sizeof length);
    out.insert(out.end(), ev, ev + length);
  }
  return out;
}

// A connected loopback TCP pair, closed at the end of its scope.
struct LoopbackPair {
  int in = -1, out = -1;
  ~LoopbackPair() {
    if (in >= 0) close(in);
    if (out >= 0) close(out);
  }
};

// What one event leaves for the application: the objects it frees, and the values.
struct Forced {
  eq_evstore_entry* entry;
  float* values;
};

// The maker thread of the floor: makes a batch's objects when asked, in a thread of
// its own that lives across batches, as the receiver thread does.
class FloorMaker {
 public:
  explicit FloorMaker(std::size_t values) : values_(values, 1.5f), made_(kBatch) {
    thread_ = std::thread([this] { run(); });
  }
  ~FloorMaker() {
    {
      std::lock_guard<std::mutex> g(m_);
      stop_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }
  // Seconds the maker took for one batch.
  double make_batch() {
    std::unique_lock<std::mutex> g(m_);
    ++asked_;
    cv_.notify_all();
    cv_.wait(g, [this] { return done_ == asked_; });
    return seconds_;
  }
  // The application's share, outside the timed part.
  void free_batch() {
    for (Forced& f : made_) {
      delete f.entry->data->data;
      delete f.entry->data;
      delete f.entry;
      delete[] f.values;
    }
  }

 private:
  void run() {
    std::unique_lock<std::mutex> g(m_);
    for (;;) {
      cv_.wait(g, [this] { return stop_ || asked_ != done_; });
      if (stop_) return;
      g.unlock();
      auto t0 = Clock::now();
      for (Forced& f : made_) {
        f.entry = new eq_evstore_entry;
        std::memcpy(f.entry->name, "SPECTRUM.CH", sizeof "SPECTRUM.CH");
        f.entry->data = new EqData_dtype{nullptr, new velmor::EqData, 0, 0};
        f.values = new float[values_.size()];
        std::memcpy(f.values, values_.data(), values_.size() * sizeof(float));
      }
      double t = seconds_since(t0);
      g.lock();
      seconds_ = t;
      done_ = asked_;
      cv_.notify_all();
    }
  }

  std::vector<float> values_;
  std::vector<Forced> made_;
  std::mutex m_;
  std::condition_variable cv_;
  long asked_ = 0, done_ = 0;
  double seconds_ = 0;
  bool stop_ = false;
  std::thread thread_;
};

void BM_IngestFloor(benchmark::State& state) {
  Batch batch(state.range(0));
  std::vector<char> bytes = framed(batch);
  LoopbackPair pair;
  if (!raw_pair(&pair.in, &pair.out)) {
    state.SkipWithError("no loopback pair");
    return;
  }
  FloorMaker maker(static_cast<std::size_t>(state.range(0) / 4));
  double ours = 0, raw = 0;
  for (auto _ : state) {
    double t = maker.make_batch();
    state.SetIterationTime(t);
    maker.free_batch();
    raw += raw_recv_seconds(pair.in, pair.out, bytes);
    ours += t;
  }
  double events = static_cast<double>(state.iterations()) * kBatch;
  state.counters["floor_ns"] = ours * 1e9 / events;
  state.counters["ratio"] = raw / ours;
}

BENCHMARK(BM_IngestFloor)
    ->Arg(64)
    ->Arg(512)
    ->Arg(4096)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
