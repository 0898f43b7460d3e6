// Encoding an event with one spectrum of N bytes, and locating and reading all
// 130 sub-channels of a multi-spectrum, each against a memcpy of the same bytes
// (the limit). Compare bytes_per_second of a pair at the same size. The read is
// also shown against its own copies alone (BM_MemcpyPerSubChannel), which at 64 KB
// cost more than the one large copy of the limit, and against locating alone
// (BM_LocateMultiSpectrum).
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "orxa_event_builder.h"
#include "sub_block_locate.h"

namespace {

void BM_MemcpyLimit(benchmark::State& state) {
  const size_t n = static_cast<size_t>(state.range(0));
  std::vector<char> src(n, 1), dst(n + 1024);
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), n);
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(n));
}

void BM_BuildSpectrumEvent(benchmark::State& state) {
  const size_t n = static_cast<size_t>(state.range(0));
  std::vector<float> values(n / sizeof(float), 2.5f);
  orxa_spect_input in{0, 1, static_cast<int32_t>(values.size()), 1, 0, values.data(), nullptr};
  OrxaEventBuilder b(ORXA_FORMAT_2024);
  uint64_t number = 0;
  for (auto _ : state) {
    b.begin(++number, time_stamp{1, 2});
    b.add_spectra("SPECTRUM", ORXA_DT_SPECTRUM, &in, 1, false);
    size_t len = 0;
    benchmark::DoNotOptimize(b.finish(&len));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(n));
}

// A 2024 event holding one multi-spectrum of 130 sub-channels of `bytes` in all.
struct MultiSpectrumEvent {
  int per_channel;
  OrxaEventBuilder builder{ORXA_FORMAT_2024};
  orxa_serv_block_subhead_2010* sub = nullptr;
  explicit MultiSpectrumEvent(int64_t bytes)
      : per_channel(static_cast<int>(bytes) / 130 / static_cast<int>(sizeof(float))) {
    std::vector<float> values(static_cast<size_t>(per_channel), 1.0f);
    std::vector<orxa_spect_input> in(
        130, orxa_spect_input{0, 1, per_channel, 1, 0, values.data(), nullptr});
    builder.begin(1, time_stamp{1, 2});
    builder.add_spectra("DIGI", ORXA_MULTI_SPECT_A, in.data(), 130, false);
    size_t len = 0;
    char* ev = const_cast<char*>(builder.finish(&len));
    sub = reinterpret_cast<orxa_serv_block_subhead_2010*>(ev + sizeof(orxa_eventheader_2024) +
                                                          sizeof(orxa_serv_block_head_2024));
  }
};

// The floor of a read that copies each sub-channel on its own: the same 130
// copies from the same places, without locating anything.
void BM_MemcpyPerSubChannel(benchmark::State& state) {
  MultiSpectrumEvent e(state.range(0));
  std::vector<const float*> from(130);
  for (int j = 0; j < 130; ++j) from[j] = static_cast<float*>(get_pointer_to_data_2010(e.sub, j));
  // Read back at run time, as the read does, so that the copy is not inlined.
  int length = 0;
  get_spect_params_for_data_type_2010(e.sub, nullptr, nullptr, nullptr, &length, nullptr, nullptr,
                                      nullptr, 0);
  std::vector<float> out(static_cast<size_t>(e.per_channel));
  for (auto _ : state) {
    for (int j = 0; j < 130; ++j) {
      std::memcpy(out.data(), from[j], static_cast<size_t>(length) * sizeof(float));
      benchmark::DoNotOptimize(out.data());
    }
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 130 * e.per_channel *
                          static_cast<int64_t>(sizeof(float)));
}

// Sub-channel j as a reader finds it: its parameters, then its values.
inline float* locate(orxa_serv_block_subhead_2010* sub, int j, int* length) {
  float start, inc, ginc;
  int groups;
  orxa_spect_statistics_2010* stats;
  get_spect_params_for_data_type_2010(sub, &start, &inc, nullptr, length, &groups, &ginc, &stats,
                                      j);
  return static_cast<float*>(get_pointer_to_data_2010(sub, j));
}

void BM_ReadMultiSpectrum(benchmark::State& state) {
  MultiSpectrumEvent e(state.range(0));
  const int per_channel = e.per_channel;
  auto* sub = e.sub;
  std::vector<float> out(static_cast<size_t>(per_channel));
  for (auto _ : state) {
    for (int j = 0; j < 130; ++j) {
      int length;
      float* p = locate(sub, j, &length);
      std::memcpy(out.data(), p, static_cast<size_t>(length) * sizeof(float));
      benchmark::DoNotOptimize(out.data());
    }
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 130 * per_channel *
                          static_cast<int64_t>(sizeof(float)));
}

// The floor of a reader of untrusted bytes: the same 130 copies, each after
// the checks of its sub-channel made once, inline, with nothing handed out: what
// is left when the two calls' own cost (entry, outputs, the second pass over the
// same checks) is taken away.
void BM_ReadMultiSpectrumFloor(benchmark::State& state) {
  MultiSpectrumEvent e(state.range(0));
  const int kind = sub_block_kind(e.sub);
  std::vector<float> out(static_cast<size_t>(e.per_channel));
  for (auto _ : state) {
    for (int j = 0; j < 130; ++j) {
      SpectChannelPlace place;
      if (!locate_spect_channel(e.sub, kind, j, &place)) {
        state.SkipWithError("not located");
        return;
      }
      const int length = read_at<int32_t>(place.descr + offsetof(orxa_spect_channel_2010, length));
      std::memcpy(out.data(), place.values, static_cast<size_t>(length) * sizeof(float));
      benchmark::DoNotOptimize(out.data());
    }
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 130 * e.per_channel *
                          static_cast<int64_t>(sizeof(float)));
}

// The two calls alone, nothing copied: what locating adds to the copies above.
void BM_LocateMultiSpectrum(benchmark::State& state) {
  MultiSpectrumEvent e(state.range(0));
  auto* sub = e.sub;
  for (auto _ : state) {
    for (int j = 0; j < 130; ++j) {
      int length;
      float* p = locate(sub, j, &length);
      benchmark::DoNotOptimize(length);
      benchmark::DoNotOptimize(p);
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * 130);
}

}  // namespace

BENCHMARK(BM_MemcpyLimit)->Arg(4096)->Arg(65520)->Arg(1 << 20);
BENCHMARK(BM_BuildSpectrumEvent)->Arg(4096)->Arg(1 << 20);
BENCHMARK(BM_MemcpyPerSubChannel)->Arg(65520)->Arg(1 << 20);
BENCHMARK(BM_ReadMultiSpectrum)->Arg(65520)->Arg(1 << 20);
BENCHMARK(BM_ReadMultiSpectrumFloor)->Arg(65520);
BENCHMARK(BM_LocateMultiSpectrum)->Arg(65520);
BENCHMARK_MAIN();
