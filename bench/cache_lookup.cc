// Lookup rates at depths 50, 1000 and 10000. Every lookup is a linear scan of the
// list by design, so the rate falls in proportion to the depth.
#include <benchmark/benchmark.h>

#include "eq_evstore.h"

namespace {

// Records in arrival order with rising event numbers and 100 ms apart.
void fill(EqEvstore& s, int depth) {
  for (int i = 0; i < depth; ++i) {
    auto* r = new eq_evstore_record();
    r->time = time_stamp{1700000000u + static_cast<uint32_t>(i / 10),
                         static_cast<uint32_t>(i % 10) * 100000u};
    r->event_number = 1000u + static_cast<uint32_t>(i);
    s.AddRecord(r);
  }
}

// Asks for the record in the middle, so a scan that stops early would show.
void BM_FindRecordByEventNumber(benchmark::State& state) {
  int depth = static_cast<int>(state.range(0));
  EqEvstore s(depth);
  fill(s, depth);
  int wanted = 1000 + depth / 2;
  for (auto _ : state) benchmark::DoNotOptimize(s.FindRecord(wanted));
  state.SetItemsProcessed(state.iterations());
}

void BM_FindRecordByTime(benchmark::State& state) {
  int depth = static_cast<int>(state.range(0));
  EqEvstore s(depth);
  fill(s, depth);
  time_stamp wanted{1700000000u + static_cast<uint32_t>(depth / 20), 0};
  for (auto _ : state) benchmark::DoNotOptimize(s.FindRecord(wanted));
  state.SetItemsProcessed(state.iterations());
}

void BM_FindNextRecord(benchmark::State& state) {
  int depth = static_cast<int>(state.range(0));
  EqEvstore s(depth);
  fill(s, depth);
  uint32_t from = 1000u + static_cast<uint32_t>(depth / 2);
  for (auto _ : state) benchmark::DoNotOptimize(s.FindNextRecord(from));
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_FindRecordByEventNumber)->Arg(50)->Arg(1000)->Arg(10000);
BENCHMARK(BM_FindRecordByTime)->Arg(50)->Arg(1000)->Arg(10000);
BENCHMARK(BM_FindNextRecord)->Arg(50)->Arg(1000)->Arg(10000);

}  // namespace

BENCHMARK_MAIN();
