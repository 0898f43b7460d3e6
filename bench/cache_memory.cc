// Resident memory of a depth-100 cache holding 1 MB image events, against the
// limit 1.1 x the image bytes plus a small constant (4 MB for the process's
// own growth). The store keeps one copy of each image and little else.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "eq_evstore.h"
#include "orxa_event_builder.h"

namespace {

constexpr int kDepth = 100;
constexpr int kImageBytes = 1 << 20;

double resident_bytes() {
  long pages_total = 0, pages_resident = 0;
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (f == nullptr) return 0;
  if (std::fscanf(f, "%ld %ld", &pages_total, &pages_resident) != 2) pages_resident = 0;
  std::fclose(f);
  return static_cast<double>(pages_resident) * static_cast<double>(sysconf(_SC_PAGESIZE));
}

void BM_ResidentSizeOfFullImageCache(benchmark::State& state) {
  OrxaEventBuilder b(ORXA_FORMAT_LEGACY);
  orxa_image_ext_frame_head head{};
  head.width = 1024;
  head.height = 1024;
  head.aoi_width = 1024;
  head.aoi_height = 1024;
  head.bpp = 1;
  head.length = kImageBytes;
  std::vector<unsigned char> bytes(kImageBytes, 0x33);
  b.begin(1, time_stamp{1700000000, 0});
  b.add_image("CAMERA", ORXA_DT_IMAGE_EXT, head, bytes.data());
  size_t length = 0;
  const char* p = b.finish(&length);
  std::vector<uint64_t> event(length / 8 + 1);
  std::memcpy(event.data(), p, length);
  auto* h = reinterpret_cast<orxa_eventheader*>(event.data());

  double grown = 0;
  for (auto _ : state) {
    double before = resident_bytes();
    {
      DAQEqEvstore store(kDepth);
      for (int i = 0; i < kDepth; ++i) {
        h->event_number = static_cast<uint32_t>(i + 1);
        store.daq_data_to_cache(h, nullptr, EQCACHE_FIND_TIME);
      }
      grown = resident_bytes() - before;
    }
  }
  double limit = 1.1 * kDepth * kImageBytes + 4.0 * (1 << 20);
  state.counters["resident_MB"] = grown / (1 << 20);
  state.counters["limit_MB"] = limit / (1 << 20);
  state.counters["ratio_to_images"] = grown / (static_cast<double>(kDepth) * kImageBytes);
  if (grown > limit) state.SkipWithError("resident size above 1.1 x images + 4 MB");
}

BENCHMARK(BM_ResidentSizeOfFullImageCache)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
