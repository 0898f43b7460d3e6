// Conversion throughput of the record cache against memcpy of the same bytes, in
// the same run. A full cache reuses its records, so in steady state converting an
// image event should cost one copy of the image into the channel's data object:
// goal ratio >= 0.5 for a 1 MB image, >= 0.3 for 20 spectra of 1000 floats.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "eq_evstore.h"
#include "orxa_event_builder.h"

namespace {

constexpr int kImageBytes = 1 << 20;
constexpr int kSpectra = 20;
constexpr int kSpectrumLength = 1000;
constexpr int kDepth = 8;

struct Event {
  std::vector<uint64_t> words;
  std::size_t length = 0;
  char* data() { return reinterpret_cast<char*>(words.data()); }
};

Event finish(OrxaEventBuilder& b) {
  Event e;
  const char* p = b.finish(&e.length);
  if (p == nullptr) return e;
  e.words.resize(e.length / 8 + 1);
  std::memcpy(e.data(), p, e.length);
  return e;
}

Event image_event(int format) {
  OrxaEventBuilder b(format);
  b.begin(1, time_stamp{1700000000, 0});
  orxa_image_ext_frame_head head{};
  head.width = 1024;
  head.height = 1024;
  head.aoi_width = 1024;
  head.aoi_height = 1024;
  head.bpp = 1;
  head.length = kImageBytes;
  std::vector<unsigned char> bytes(kImageBytes, 0x5A);
  b.add_image("CAMERA", ORXA_DT_IMAGE_EXT, head, bytes.data());
  return finish(b);
}

Event spectra_event(int format, int length = kSpectrumLength) {
  OrxaEventBuilder b(format);
  b.begin(1, time_stamp{1700000000, 0});
  std::vector<float> values(static_cast<std::size_t>(length), 1.25f);
  orxa_spect_input in{0.0f, 1.0f, length, 1, 0.0f, values.data(), nullptr};
  for (int i = 0; i < kSpectra; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "SPECTRUM.%02d", i);
    b.add_spectra(name, ORXA_DT_SPECTRUM, &in, 1, false);
  }
  return finish(b);
}

template <class Header>
void convert_into_full_cache(benchmark::State& state, Event e, int64_t payload, int64_t items) {
  DAQEqEvstore store(kDepth);
  auto* h = reinterpret_cast<Header*>(e.data());
  for (int i = 0; i < kDepth; ++i) store.daq_data_to_cache(h, nullptr, EQCACHE_FIND_TIME);
  for (auto _ : state) {
    int r = store.daq_data_to_cache(h, nullptr, EQCACHE_FIND_TIME);
    benchmark::DoNotOptimize(r);
  }
  state.SetBytesProcessed(state.iterations() * payload);
  state.SetItemsProcessed(state.iterations() * items);
}

void copy_bytes(benchmark::State& state, int64_t bytes) {
  std::vector<char> src(bytes, 1), dst(bytes);
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), bytes);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * bytes);
}

void BM_ImageEventLegacy(benchmark::State& s) {
  convert_into_full_cache<orxa_eventheader>(s, image_event(ORXA_FORMAT_LEGACY), kImageBytes, 1);
}
void BM_ImageEvent2024(benchmark::State& s) {
  convert_into_full_cache<orxa_eventheader_2024>(s, image_event(ORXA_FORMAT_2024), kImageBytes, 1);
}
void BM_MemcpyImage(benchmark::State& s) { copy_bytes(s, kImageBytes); }

constexpr int64_t kSpectraBytes = int64_t{kSpectra} * kSpectrumLength * sizeof(float);
void BM_SpectraEventLegacy(benchmark::State& s) {
  convert_into_full_cache<orxa_eventheader>(s, spectra_event(ORXA_FORMAT_LEGACY), kSpectraBytes,
                                            kSpectra);
}
void BM_SpectraEvent2024(benchmark::State& s) {
  convert_into_full_cache<orxa_eventheader_2024>(s, spectra_event(ORXA_FORMAT_2024), kSpectraBytes,
                                                 kSpectra);
}
void BM_MemcpySpectra(benchmark::State& s) { copy_bytes(s, kSpectraBytes); }
// The conversion's own copies alone: each spectrum's values, where they lie in
// the event, into a value array of its own.
void BM_MemcpyPerSpectrum(benchmark::State& state) {
  Event e = spectra_event(ORXA_FORMAT_2024);
  std::vector<const char*> from;
  const float mark = 1.25f;
  for (std::size_t at = 0; at + sizeof mark <= e.length && from.size() < kSpectra; ++at) {
    if (std::memcmp(e.data() + at, &mark, sizeof mark) != 0) continue;
    from.push_back(e.data() + at);
    at += kSpectrumLength * sizeof mark - 1;
  }
  std::vector<std::vector<float>> to(kSpectra, std::vector<float>(kSpectrumLength));
  for (auto _ : state) {
    for (std::size_t i = 0; i < from.size(); ++i)
      std::memcpy(to[i].data(), from[i], kSpectrumLength * sizeof(float));
    benchmark::ClobberMemory();
  }
  if (from.size() != kSpectra) state.SkipWithError("spectra not found in the event");
  state.SetBytesProcessed(state.iterations() * kSpectraBytes);
}
// Spectra of one value: the fixed cost of a spectrum sub-block, per item.
void BM_OneValueSpectra2024(benchmark::State& s) {
  convert_into_full_cache<orxa_eventheader_2024>(s, spectra_event(ORXA_FORMAT_2024, 1),
                                                 kSpectra * int64_t{sizeof(float)}, kSpectra);
}

BENCHMARK(BM_MemcpyImage)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_ImageEventLegacy)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_ImageEvent2024)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_MemcpySpectra)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_SpectraEventLegacy)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_SpectraEvent2024)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_MemcpyPerSpectrum)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_OneValueSpectra2024)->Repetitions(5)->ReportAggregatesOnly(true);

// Collects bytes per second so that the ratios against memcpy come from this run.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> rate;
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      auto it = r.counters.find("bytes_per_second");
      // The machine is shared, so ratios use the median of the repetitions.
      if (it != r.counters.end() && r.aggregate_name == "median")
        rate[r.run_name.function_name] = it->second;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void ratio(const char* name, const char* against, double goal) {
    if (!rate.count(name) || !rate.count(against) || rate[against] <= 0) return;
    double q = rate[name] / rate[against];
    std::printf("ratio %-22s / %-17s = %5.2f  (goal >= %.1f) %s\n", name, against, q, goal,
                q >= goal ? "ok" : "BELOW GOAL");
  }
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.ratio("BM_ImageEventLegacy", "BM_MemcpyImage", 0.5);
  reporter.ratio("BM_ImageEvent2024", "BM_MemcpyImage", 0.5);
  reporter.ratio("BM_SpectraEventLegacy", "BM_MemcpySpectra", 0.3);
  reporter.ratio("BM_SpectraEvent2024", "BM_MemcpySpectra", 0.3);
  reporter.ratio("BM_SpectraEvent2024", "BM_MemcpyPerSpectrum", 0.6);
  benchmark::Shutdown();
  return 0;
}
