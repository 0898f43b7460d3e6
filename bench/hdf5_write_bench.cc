// Writing images to HDF5 through the sink against writing the same bytes with
// plain write() to another file, in the same iteration: 1000 records of a 1 MB image
// (1024 x 512 pixels of 2 bytes), built in memory as the fetch hands them out.
// Neither side syncs to disk, so both measure the way into the page cache. The
// ratio (write() time / sink time; 1.0 = as fast as write()) holds on a loaded
// machine where absolute times do not. Argument: gzip level (0: none).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "daq_fetch.h"
#include "daq_hdf5_sink.h"
#include "velmor.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kWidth = 1024, kHeight = 512, kBpp = 2;
constexpr int kImageBytes = kWidth * kHeight * kBpp;
constexpr int kRecords = 1000;
constexpr int kDistinct = 8;  // images cycled through, so memory stays small

// Camera-like pixels: a gradient with a little noise (what gzip sees in practice).
std::vector<unsigned char> image_bytes(int seed) {
  std::vector<unsigned char> b(kImageBytes);
  uint32_t noise = 12345u + static_cast<uint32_t>(seed);
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      noise = noise * 1103515245u + 12345u;
      uint16_t v = static_cast<uint16_t>((x + y + seed * 16) % 4096 + ((noise >> 16) & 15));
      size_t at = (size_t(y) * kWidth + x) * kBpp;
      b[at] = static_cast<unsigned char>(v & 0xff);
      b[at + 1] = static_cast<unsigned char>(v >> 8);
    }
  }
  return b;
}

struct Images {
  std::vector<std::vector<unsigned char>> bytes;
  std::vector<std::unique_ptr<velmor::EqData>> data;
  Images() {
    for (int i = 0; i < kDistinct; ++i) {
      bytes.push_back(image_bytes(i));
      velmor::IMH h{};
      h.width = kWidth;
      h.height = kHeight;
      h.bpp = kBpp;
      h.length = kImageBytes;
      data.push_back(std::make_unique<velmor::EqData>());
      data.back()->set_image(bytes.back().data(), kImageBytes, &h, velmor::no);
      data.back()->set_image_comm("CAMERA/SCREEN/IMAGE");
    }
  }
};

// Both sides write the same records in blocks, taking turns, so the page
// cache's writeback (from this run or from anything else on the machine)
// weighs on both alike. Seconds of each side in *plain and *sink; false when a
// write failed.
bool write_both(const Images& images, const std::string& base, int gzip, double* plain,
                double* sink_s) {
  constexpr int kBlock = 50;
  auto timed = [](double* total, auto&& step) {
    Clock::time_point t0 = Clock::now();
    bool ok = step();
    *total += std::chrono::duration<double>(Clock::now() - t0).count();
    return ok;
  };
  int fd = -1;
  DaqHdf5Sink sink;
  DaqHdf5Options o;
  o.compress_level = gzip;
  if (!timed(plain, [&] {
        fd = open((base + ".bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        return fd >= 0;
      }))
    return false;
  if (!timed(sink_s, [&] { return !sink.open(base + ".h5", o); })) return false;
  EqData_dtype value{nullptr, nullptr, 3, 3};
  std::vector<EqData_dtype*> values{&value};
  DaqFetchRecord r;
  r.names = {"CAMERA/SCREEN/IMAGE"};
  r.requested = {"CAMERA/SCREEN/IMAGE"};
  r.values = &values;
  bool ok = true;
  for (int first = 0; ok && first < kRecords; first += kBlock) {
    ok = timed(plain, [&] {
      for (int i = first; i < first + kBlock; ++i) {
        const std::vector<unsigned char>& b = images.bytes[i % kDistinct];
        if (write(fd, b.data(), b.size()) != static_cast<ssize_t>(b.size())) return false;
      }
      return true;
    });
    ok = ok && timed(sink_s, [&] {
           for (int i = first; i < first + kBlock; ++i) {
             r.event = static_cast<uint64_t>(i);
             r.seconds = 1735689600u + static_cast<uint32_t>(i / 10);
             r.micros = static_cast<uint32_t>(i % 10) * 100000u;
             value.data = images.data[i % kDistinct].get();
             if (sink.write(r)) return false;
           }
           return true;
         });
  }
  ok = timed(plain, [&] { return close(fd) == 0; }) && ok;
  return timed(sink_s, [&] { return !sink.close(nullptr, 0); }) && ok;
}

void BM_Hdf5WriteImages(benchmark::State& state) {
  static const Images images;
  int gzip = static_cast<int>(state.range(0));
  std::string base = "hdf5_bench_" + std::to_string(getpid());
  double plain = 0, sink = 0;
  for (auto _ : state) {
    double p = 0, s = 0;
    bool ok = write_both(images, base, gzip, &p, &s);
    off_t size = 0;
    if (int fd = open((base + ".h5").c_str(), O_RDONLY); fd >= 0) {
      size = lseek(fd, 0, SEEK_END);
      close(fd);
    }
    unlink((base + ".bin").c_str());
    unlink((base + ".h5").c_str());
    if (!ok) {
      state.SkipWithError("a write failed");
      return;
    }
    plain += p;
    sink += s;
    state.SetIterationTime(s);
    state.counters["file_to_data"] = static_cast<double>(size) / (double(kRecords) * kImageBytes);
  }
  double bytes = double(kRecords) * kImageBytes * state.iterations();
  state.counters["sink_MB_per_s"] = bytes / sink / 1e6;
  state.counters["write_MB_per_s"] = bytes / plain / 1e6;
  state.counters["ratio"] = plain / sink;
}

BENCHMARK(BM_Hdf5WriteImages)
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2);

}  // namespace

BENCHMARK_MAIN();
