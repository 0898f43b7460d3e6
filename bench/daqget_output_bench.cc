// daqget's CSV and JSON-lines writers against the limit: std::to_chars of the
// same floats into a buffer, in the same run. A record is one channel of a
// 1,024-float spectrum, or a mixed record (a scalar, a double array, named
// values, a group spectrum with statistics, a text). Lines go to /dev/null
// through daqget's writer, which ends each record as daqget does: lines are
// gathered and written in large blocks.
#include <benchmark/benchmark.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "record_writer.h"
#include "velmor.h"

namespace {

// Sensor-like values with a full mantissa, so every value prints 9 digits.
std::vector<float> sensor_values(size_t n, uint32_t seed) {
  std::vector<float> v(n);
  for (size_t i = 0; i < n; ++i) {
    seed = seed * 1103515245u + 12345u;
    v[i] = static_cast<float>(1000.0 * std::sin(0.01 * static_cast<double>(i)) +
                              static_cast<double>(seed >> 8) / 16777216.0);
  }
  return v;
}

struct Channel {
  RowHead head;
  velmor::EqData data;
};

Channel spectrum_channel(const std::vector<float>& values) {
  Channel c;
  c.head = {1234567, 1735689600, 250000, "DIAG/BPM/SPECTRUM", 4, 0};
  std::string comment = "DIAG/BPM/SPECTRUM";
  std::vector<float> copy = values;
  velmor::SPECTRUM s{};
  s.comment.comment_len = static_cast<uint32_t>(comment.size() + 1);
  s.comment.comment_val = comment.data();
  s.s_start = 0.5f;
  s.s_inc = 0.1f;
  s.d_spect_array.d_spect_array_len = static_cast<uint32_t>(copy.size());
  s.d_spect_array.d_spect_array_val = copy.data();
  c.data.set_type(velmor::DATA_A_TS_SPECTRUM);
  c.data.set_ts_spect(1735689600, 250, 0, &s, 0);
  return c;
}

std::vector<std::unique_ptr<Channel>> mixed_record() {
  std::vector<std::unique_ptr<Channel>> r;
  auto add = [&](const char* name, int dtype) {
    r.push_back(std::make_unique<Channel>());
    r.back()->head = {1234567, 1735689600, 250000, name, dtype, 0};
    return &r.back()->data;
  };
  add("MAGNET/QUAD/CURRENT", 1)->set_float(123.456789f);
  std::vector<float> f = sensor_values(16, 7);
  std::vector<double> d(f.begin(), f.end());
  add("RF/CAVITY/PHASES", 1)->set_double_array(d.data(), static_cast<int>(d.size()));
  velmor::EqData* named = add("VACUUM/GAUGES", 2);
  named->set_type(velmor::DATA_A_USTR);
  std::vector<float> g = sensor_values(8, 11);
  for (int i = 0; i < 8; ++i)
    named->set(i, g[i] * 1e-9f, 0.0f, 1735689600, "VAC:GAUGE" + std::to_string(i), i);
  std::vector<float> values = sensor_values(64, 3);
  std::string comment = "BEAM/PROFILE";
  velmor::GSPECTRUM s{};
  s.comment.comment_len = static_cast<uint32_t>(comment.size() + 1);
  s.comment.comment_val = comment.data();
  s.s_inc = 0.25f;
  s.groups = 4;
  s.group_size = 16;
  s.group_inc = 1.5f;
  for (int i = 0; i < 24; ++i) s.statistics[i] = g[i % 8] + static_cast<float>(i);
  s.d_gspect_array.d_gspect_array_len = static_cast<uint32_t>(values.size());
  s.d_gspect_array.d_gspect_array_val = values.data();
  velmor::EqData* gs = add("BEAM/PROFILE", 5);
  gs->set_type(velmor::DATA_A_TS_GSPECTRUM);
  gs->set_ts_gspect(1735689600, 250, 0, &s, 0);
  add("OPERATOR/NOTE", 7)->set_string("ramp, \"quiet\" beam");
  return r;
}

// Every float a record carries, in the forms the limit formats.
std::vector<double> record_floats(const std::vector<std::unique_ptr<Channel>>& r) {
  std::vector<double> out;
  for (const auto& c : r) {
    const velmor::EqData& d = c->data;
    for (int i = 0; i < d.spectrum_count(); ++i) {
      const velmor::SpectrumElement* e = d.get_spectrum(i);
      out.insert(out.end(), e->data.begin(), e->data.end());
      if (e->group) out.insert(out.end(), e->statistics, e->statistics + 24);
    }
    for (int i = 0; i < d.ustr_count(); ++i) out.push_back(d.get_ustr(i)->f1);
    if (d.type() == velmor::DATA_FLOAT || d.type() == velmor::DATA_A_DOUBLE ||
        d.type() == velmor::DATA_DOUBLE || d.type() == velmor::DATA_A_FLOAT)
      for (int i = 0; i < d.value_count(); ++i) out.push_back(d.get_double(i));
  }
  return out;
}

std::vector<std::unique_ptr<Channel>> spectrum_record() {
  std::vector<std::unique_ptr<Channel>> r;
  r.push_back(std::make_unique<Channel>(spectrum_channel(sensor_values(1024, 1))));
  return r;
}

void write_records(benchmark::State& state, OutputFormat format,
                   const std::vector<std::unique_ptr<Channel>>& record) {
  FILE* out = std::fopen("/dev/null", "w");
  std::unique_ptr<RecordWriter> w = make_record_writer(format, out, 8);
  size_t values = record_floats(record).size();
  for (auto _ : state) {
    for (const auto& c : record) w->channel(c->head, &c->data);
    w->end_record();
  }
  if (w->finish()) state.SkipWithError("write failed");
  std::fclose(out);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * values));
}

void to_chars_limit(benchmark::State& state, const std::vector<std::unique_ptr<Channel>>& record) {
  std::vector<double> values = record_floats(record);
  std::vector<float> floats(values.begin(), values.end());
  std::vector<char> buf(floats.size() * 20);
  for (auto _ : state) {
    char* p = buf.data();
    char* end = buf.data() + buf.size();
    for (float v : floats) {
      p = std::to_chars(p, end, v).ptr;
      *p++ = ' ';
    }
    benchmark::DoNotOptimize(p);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * floats.size()));
}

const std::vector<std::unique_ptr<Channel>>& spectrum() {
  static const auto r = spectrum_record();
  return r;
}
const std::vector<std::unique_ptr<Channel>>& mixed() {
  static const auto r = mixed_record();
  return r;
}

void BM_CsvSpectrum(benchmark::State& s) { write_records(s, OutputFormat::kCsv, spectrum()); }
void BM_JsonLinesSpectrum(benchmark::State& s) {
  write_records(s, OutputFormat::kJsonLines, spectrum());
}
void BM_ToCharsSpectrum(benchmark::State& s) { to_chars_limit(s, spectrum()); }
void BM_CsvMixed(benchmark::State& s) { write_records(s, OutputFormat::kCsv, mixed()); }
void BM_JsonLinesMixed(benchmark::State& s) { write_records(s, OutputFormat::kJsonLines, mixed()); }
void BM_ToCharsMixed(benchmark::State& s) { to_chars_limit(s, mixed()); }

BENCHMARK(BM_CsvSpectrum);
BENCHMARK(BM_JsonLinesSpectrum);
BENCHMARK(BM_ToCharsSpectrum);
BENCHMARK(BM_CsvMixed);
BENCHMARK(BM_JsonLinesMixed);
BENCHMARK(BM_ToCharsMixed);

}  // namespace

BENCHMARK_MAIN();
