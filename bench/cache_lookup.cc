// Cost per event of the monitor queries and of a receiver whose application
// drains the cache, at depths 50, 1000 and 20000. BM_DepthRatio/<workload> times
// the same workload at depth 50 and 20000 in one run and reports
// depth_ratio = cost(20000) / cost(50): 1.0 is flat.
#include <benchmark/benchmark.h>

#include <time.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "eq_evstore.h"

namespace {

time_stamp stamp_of(uint32_t i) { return time_stamp{1700000000u + i / 10, (i % 10) * 100000u}; }

// A store holding `depth` records in arrival order, rising numbers, 100 ms apart;
// every other record seen, so the not-seen selector has work to pass over.
struct Filled {
  std::unique_ptr<EqEvstore> store;
  uint32_t next = 0;  // the arrival number of the next record
  int depth;

  explicit Filled(int d) : store(new EqEvstore(d)), depth(d) {
    store->lock();
    for (int i = 0; i < d; ++i) {
      eq_evstore_record* r = add();
      if (i % 2 == 0) store->SetRecordSeen(true, r);
    }
    store->unlock();
  }
  // With the lock held and the list below its depth, as the receiver does.
  eq_evstore_record* add() {
    auto* r = new eq_evstore_record();
    r->time = stamp_of(next);
    r->event_number = 1000u + next++;
    store->AddRecord(r);
    return r;
  }
  uint32_t middle() const { return 1000u + next - static_cast<uint32_t>(depth) / 2; }
};

using Workload = std::function<void(Filled&)>;

struct Named {
  const char* name;
  Workload run;
};

// Each workload is one event's worth of work; queries ask for the middle of the
// list, so a scan that stops early would show.
const std::vector<Named>& workloads() {
  static const std::vector<Named> all = {
      {"FindRecordByEventNumber",
       [](Filled& f) { benchmark::DoNotOptimize(f.store->FindRecord(int(f.middle()))); }},
      {"FindRecordByTime",
       [](Filled& f) {
         benchmark::DoNotOptimize(f.store->FindRecord(stamp_of(f.middle() - 1000u)));
       }},
      {"FindNextRecord",
       [](Filled& f) { benchmark::DoNotOptimize(f.store->FindNextRecord(f.middle())); }},
      {"FindNextRecordByTime",
       [](Filled& f) {
         benchmark::DoNotOptimize(f.store->FindNextRecord(stamp_of(f.middle() - 1000u)));
       }},
      {"FirstByTime",
       [](Filled& f) { benchmark::DoNotOptimize(f.store->FindFirstRecord(EQCACHE_FIND_TIME)); }},
      {"LastByEventNumber",
       [](Filled& f) { benchmark::DoNotOptimize(f.store->FindLastRecord(EQCACHE_FIND_EVNUM)); }},
      {"FirstNotSeen",
       [](Filled& f) {
         benchmark::DoNotOptimize(
             f.store->FindFirstRecord(EQCACHE_FIND_EVNUM | EQCACHE_FIND_NOTSEEN));
       }},
      // The receiver adds one event; the application takes the first by time and
      // removes it, as the take-first query does.
      {"ReceiverDrain",
       [](Filled& f) {
         EqEvstore& s = *f.store;
         s.lock();
         f.add();
         eq_evstore_record* first = s.FindFirstRecord(EQCACHE_FIND_TIME);
         s.RemRecord(first, false);
         s.unlock();
       }},
      // The list stays full: each event evicts the earliest, and a monitor takes
      // the first not-seen record and marks it seen.
      {"ReceiverFullMonitor",
       [](Filled& f) {
         EqEvstore& s = *f.store;
         auto* r = new eq_evstore_record();
         r->time = stamp_of(f.next);
         r->event_number = 1000u + f.next++;
         s.AddRecord(r);  // full: the eviction takes the lock
         s.lock();
         eq_evstore_record* first = s.FindFirstRecord(EQCACHE_FIND_TIME | EQCACHE_FIND_NOTSEEN);
         if (first != nullptr) s.SetRecordSeen(true, first);
         s.unlock();
       }},
      // The floor of any list that is a vector in arrival order: one pointer out at
      // the front, one in at the back.
      {"VectorEraseFront",
       [](Filled& f) {
         static thread_local std::vector<void*> v;
         if (v.size() != static_cast<std::size_t>(f.depth)) v.assign(f.depth, nullptr);
         v.erase(v.begin());
         v.push_back(&f);
         benchmark::ClobberMemory();
       }},
  };
  return all;
}

// A drained store sits one below its depth between events.
Filled prepared(const Named& w, int depth) {
  Filled f(depth);
  if (std::string(w.name) == "ReceiverDrain") {
    f.store->lock();
    f.store->RemRecord(f.store->FindFirstRecord(EQCACHE_FIND_TIME), false);
    f.store->unlock();
  }
  // The first call builds what a long list's lookups use; it is not per event.
  w.run(f);
  return f;
}

void BM_Workload(benchmark::State& state, const Named& w) {
  Filled f = prepared(w, static_cast<int>(state.range(0)));
  for (auto _ : state) w.run(f);
  state.SetItemsProcessed(state.iterations());
}

// Thread CPU time: other programs share the cores while this runs.
double cpu_ns() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

double ns_per_event(const Named& w, int depth) {
  Filled f = prepared(w, depth);
  long n = 0;
  double start = cpu_ns(), now;
  do {
    for (int i = 0; i < 256; ++i) w.run(f);
    n += 256;
    now = cpu_ns();
  } while (now - start < 2e8);
  return (now - start) / static_cast<double>(n);
}

void BM_DepthRatio(benchmark::State& state, const Named& w) {
  double shallow = 0, deep = 0;
  for (auto _ : state) {
    shallow = ns_per_event(w, 50);
    deep = ns_per_event(w, 20000);
  }
  state.counters["ns_at_50"] = shallow;
  state.counters["ns_at_20000"] = deep;
  state.counters["depth_ratio"] = deep / shallow;
}

const bool registered = [] {
  for (const Named& w : workloads()) {
    benchmark::RegisterBenchmark((std::string("BM_") + w.name).c_str(), BM_Workload, w)
        ->Arg(50)
        ->Arg(1000)
        ->Arg(20000);
  }
  for (const Named& w : workloads())
    benchmark::RegisterBenchmark((std::string("BM_DepthRatio/") + w.name).c_str(), BM_DepthRatio, w)
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond);
  return true;
}();

}  // namespace

BENCHMARK_MAIN();
