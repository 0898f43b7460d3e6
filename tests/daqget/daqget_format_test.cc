// The pieces of daqget that decide what a reader sees: value forms, times,
// CSV quoting, the request's time texts and the command line.
#include <gtest/gtest.h>
#include <png.h>
#include <sys/stat.h>
#include <tiffio.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "daqget_options.h"
#include "daqget_runner.h"
#include "exit_codes.h"
#include "image_files.h"
#include "json_text.h"
#include "number_text.h"
#include "record_writer.h"
#include "request_builder.h"
#include "request_time.h"
#include "value_format.h"
#include "velmor.h"

namespace {

int parse(std::vector<std::string> args, DaqgetOptions* o) {
  args.insert(args.begin(), "daqget");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  return parse_daqget_options(static_cast<int>(argv.size()), argv.data(), o);
}

bool have_zone(const char* name) {
  struct stat st {};
  return stat((std::string("/usr/share/zoneinfo/") + name).c_str(), &st) == 0;
}

// A picture read back: its size, bits a sample, samples a pixel and the
// samples of its first two rows in reading order.
struct Picture {
  uint32_t width = 0, height = 0;
  int bits = 0, samples = 0;
  std::vector<uint32_t> values;
};

Picture read_png(const std::string& path) {
  Picture p;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return p;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png)) == 0) {
    png_init_io(png, f);
    png_read_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
    p.width = png_get_image_width(png, info);
    p.height = png_get_image_height(png, info);
    p.bits = png_get_bit_depth(png, info);
    p.samples = png_get_channels(png, info);
    png_bytepp rows = png_get_rows(png, info);
    size_t n = static_cast<size_t>(p.width) * static_cast<size_t>(p.samples);
    for (uint32_t y = 0; y < p.height && y < 2; ++y) {
      for (size_t i = 0; i < n; ++i) {
        p.values.push_back(p.bits == 16 ? (rows[y][2 * i] << 8) | rows[y][2 * i + 1] : rows[y][i]);
      }
    }
  }
  png_destroy_read_struct(&png, &info, nullptr);
  std::fclose(f);
  return p;
}

Picture read_tiff(const std::string& path) {
  Picture p;
  TIFF* t = TIFFOpen(path.c_str(), "r");
  if (t == nullptr) return p;
  uint16_t bits = 0, samples = 0;
  TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &p.width);
  TIFFGetField(t, TIFFTAG_IMAGELENGTH, &p.height);
  TIFFGetField(t, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetField(t, TIFFTAG_SAMPLESPERPIXEL, &samples);
  p.bits = bits;
  p.samples = samples;
  std::vector<uint32_t> row(p.width);
  for (uint32_t y = 0; y < p.height && y < 2 && bits == 32; ++y) {
    if (TIFFReadScanline(t, row.data(), y, 0) < 0) break;
    p.values.insert(p.values.end(), row.begin(), row.end());
  }
  TIFFClose(t);
  return p;
}

// An image object of width x height, bpp bytes a pixel, pixel i holding
// base + i little-endian; `bytes` overrides the length the object holds.
velmor::EqData image(int width, int height, int bpp, uint32_t base, int bytes = -1) {
  std::vector<unsigned char> data(static_cast<size_t>(width * height * bpp));
  for (size_t i = 0; i < data.size(); ++i) {
    uint64_t v = base + static_cast<uint64_t>(i / bpp);  // 64 bits: room to shift for bpp 5
    data[i] = static_cast<unsigned char>(v >> (8 * (i % bpp)));
  }
  velmor::IMH head{};
  head.width = width;
  head.height = height;
  head.bpp = bpp;
  velmor::EqData d;
  d.set_image(data.data(), bytes >= 0 ? bytes : static_cast<int>(data.size()), &head,
              velmor::PreserveTimestampAndEventId::no);
  return d;
}

// A spectrum object of the values, named comment, inc apart.
velmor::EqData spectrum_of(std::vector<float> values, std::string comment, float inc) {
  velmor::SPECTRUM s{};
  s.comment.comment_len = static_cast<uint32_t>(comment.size() + 1);
  s.comment.comment_val = comment.data();
  s.s_inc = inc;
  s.d_spect_array.d_spect_array_len = static_cast<uint32_t>(values.size());
  s.d_spect_array.d_spect_array_val = values.data();
  velmor::EqData d;
  d.set_type(velmor::DATA_A_TS_SPECTRUM);
  d.set_ts_spect(1, 0, 0, &s, 0);
  return d;
}

}  // namespace

TEST(ValueFormat, Base64MatchesTheStandardVectors) {
  auto b = [](const char* s) {
    return base64(reinterpret_cast<const unsigned char*>(s), std::strlen(s));
  };
  EXPECT_EQ(b(""), "");
  EXPECT_EQ(b("f"), "Zg==");
  EXPECT_EQ(b("fo"), "Zm8=");
  EXPECT_EQ(b("foo"), "Zm9v");
  EXPECT_EQ(b("foobar"), "Zm9vYmFy");
  const unsigned char high[] = {0xff, 0xfe, 0x00};
  EXPECT_EQ(base64(high, 3), "//4A");
}

TEST(ValueFormat, TimesAreUtcWithMicrosecondsAndFloatsReadBackExactly) {
  EXPECT_EQ(iso_time(1735689600, 5), "2025-01-01T00:00:00.000005Z");
  EXPECT_EQ(iso_time(1735689600 + 86399, 999999), "2025-01-01T23:59:59.999999Z");
  for (float f : {0.1f, 1e-7f, 3.4028235e38f, -2.5f, 123456.789f, 1.17549435e-38f}) {
    EXPECT_EQ(std::strtof(float_text(f).c_str(), nullptr), f) << float_text(f);
  }
}

TEST(ValueFormat, CsvFieldsRoundTripThroughAReader) {
  std::vector<std::string> fields = {"plain", "a,b", "say \"hi\"", "two\nlines", ""};
  std::string line;
  for (size_t i = 0; i < fields.size(); ++i) line += (i ? "," : "") + csv_field(fields[i]);
  auto rows = daqgettest::parse_csv(line + "\n");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0], fields);
}

TEST(ValueFormat, SummariesNumbersAndJsonOfEveryKind) {
  velmor::EqData spectrum = spectrum_of({1.5f, 2.5f, 3.5f, 4.5f, 5.5f, 6.5f}, "DIAG/X", 1);
  ASSERT_EQ(spectrum.spectrum_count(), 1);
  EXPECT_EQ(value_summary(spectrum, 2), "length 6 [1.5 2.5 ...]");
  size_t count = 0;
  EXPECT_EQ(value_numbers(spectrum, &count), "1.5 2.5 3.5 4.5 5.5 6.5");
  EXPECT_EQ(count, 6u);
  auto j = value_json(spectrum);
  ASSERT_EQ(j["spectra"].size(), 1u);
  EXPECT_EQ(j["spectra"][0]["name"], "DIAG/X");
  EXPECT_EQ(j["spectra"][0]["values"].size(), 6u);
  EXPECT_EQ(j["spectra"][0]["values"][5].get<double>(), 6.5);

  velmor::EqData image;
  velmor::IMH h{};
  h.width = 2;
  h.height = 1;
  h.bpp = 2;
  const unsigned char px[] = {1, 2, 3, 4};
  h.length = 4;
  ASSERT_FALSE(image.set_image(px, 4, &h, velmor::no));
  EXPECT_EQ(value_summary(image, 4), "image 2x1 bpp 2, 4 bytes");
  EXPECT_EQ(value_json(image)["data_base64"], "AQIDBA==");
  EXPECT_EQ(value_numbers(image, &count), "");
  EXPECT_EQ(count, 4u);

  velmor::EqData named;
  named.set_type(velmor::DATA_A_USTR);
  named.set(7, 0.25f, 0, 100, "A:ONE", 0);
  named.set(7, 0.5f, 0, 100, "A:TWO", 1);
  EXPECT_EQ(value_summary(named, 1), "2 values: A:ONE=0.25 ...");
  EXPECT_EQ(value_numbers(named, &count), "A:ONE=0.25;A:TWO=0.5");
  EXPECT_EQ(value_json(named)["items"][1]["name"], "A:TWO");

  velmor::EqData ints;
  const long iv[] = {3, -4};
  ints.set_int_array(iv, 2);
  EXPECT_EQ(value_summary(ints, 4), "length 2 [3 -4]");
  EXPECT_EQ(value_json(ints)["values"][1].get<long>(), -4);

  velmor::EqData stamp;
  EXPECT_EQ(value_summary(stamp, 4), "-");
  EXPECT_TRUE(value_json(stamp).is_null());
}

// The fast texts against printf's "%.9g" and the JSON library's own number of
// that text: every float of several whole ranges, random floats and doubles,
// and the edges (zeros, infinities, NaN, subnormals, rounding into a tenth digit).
TEST(ValueFormat, NumberTextsAreExactlyPrintfsAndTheJsonLibrarys) {
  int failures = 0;
  auto check = [&](double v) {
    char ref[40];
    std::snprintf(ref, sizeof ref, "%.9g", v);
    std::string json = v != v ? "null" : nlohmann::ordered_json(std::strtod(ref, nullptr)).dump();
    std::string text, number;
    append_float_text(text, v);
    append_json_float(number, v);
    if ((text != ref || number != json) && ++failures <= 5) {
      ADD_FAILURE() << std::hexfloat << v << ": " << text << " / " << number << ", want " << ref
                    << " / " << json;
    }
  };
  auto from_bits = [](uint32_t b) {
    float f;
    std::memcpy(&f, &b, sizeof f);
    return f;
  };
  // Whole ranges: the first subnormals, around 1e-5 / 1e-4 (the change of
  // layout), [1, 2), around 1e9 and the largest floats; both signs.
  const uint32_t starts[] = {0x00000000u, 0x3727c5acu - 0x8000u, 0x38d1b717u - 0x8000u,
                             0x3f800000u, 0x4e6e6b28u - 0x8000u, 0x7f7f0000u};
  for (uint32_t start : starts) {
    for (uint32_t b = start; b < start + 0x10000u && b < 0x7f800000u; ++b) {
      check(from_bits(b));
      check(from_bits(b | 0x80000000u));
    }
  }
  std::mt19937 random(18);
  for (int i = 0; i < 400000; ++i) check(from_bits(static_cast<uint32_t>(random())));
  for (int i = 0; i < 100000; ++i) {
    uint64_t b = (uint64_t{random()} << 32) | random();
    double d;
    std::memcpy(&d, &b, sizeof d);
    check(d);
    check(static_cast<double>(random()) * 1e-3);
  }
  const double inf = std::numeric_limits<double>::infinity();
  for (double v : {0.0, -0.0, inf, -inf, std::nan(""), -std::nan(""), 999999999.5, 9999999995.0,
                   0.0001, 0.00001, 1e15, 1e16, 123456789012.0, 5e-324, 1.7976931348623157e308})
    check(v);
  EXPECT_EQ(failures, 0);
}

// Lines written straight are the text the JSON library writes for the same
// document (numbers, escapes, invalid UTF-8 replaced), and CSV keeps each float.
TEST(ValueFormat, WrittenLinesAreTheJsonLibrarysTextAndCsvKeepsEveryFloat) {
  std::vector<float> values = {0.1f,          -0.0f,    1e-7f,
                               3.4028235e38f, 1.4e-45f, 123456.789f,
                               16.0f,         1e10f,    std::numeric_limits<float>::infinity(),
                               std::nanf("")};
  velmor::EqData spectrum = spectrum_of(values, "DIAG/\"Q\"\x01\xff", 0.25f);
  velmor::EqData named;
  named.set_type(velmor::DATA_A_USTR);
  named.set(7, 0.3f, -1.5f, 100, "A:\xc3\xa9", 0);
  velmor::EqData doubles, texts;
  const double dv[] = {0.1, -2.5e-300};
  doubles.set_double_array(dv, 2);
  texts.set_string_array({"tab\there \"q\" \\ /\x01\x1f\x7f\b\f\r\n", ""});

  for (OutputFormat format : {OutputFormat::kJsonLines, OutputFormat::kCsv}) {
    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    auto w = make_record_writer(format, f, 3);
    RowHead h{42, 1735689600, 5, "A/\"B\"\xfe", 4, 1};
    for (const velmor::EqData* d : {&spectrum, &named, &doubles, &texts, (velmor::EqData*)nullptr})
      w->channel(h, d);
    w->slow(h, 0.1f, 3);
    EXPECT_FALSE(w->finish());
    std::rewind(f);
    std::vector<std::string> lines;
    char buf[4096];
    while (std::fgets(buf, sizeof buf, f) != nullptr) lines.emplace_back(buf, std::strlen(buf) - 1);
    std::fclose(f);
    if (format == OutputFormat::kJsonLines) {
      ASSERT_EQ(lines.size(), 6u);
      for (const std::string& line : lines) {
        EXPECT_EQ(nlohmann::ordered_json::parse(line).dump(
                      -1, ' ', false, nlohmann::ordered_json::error_handler_t::replace),
                  line);
      }
      EXPECT_EQ(
          lines[5],
          "{\"event\":42,\"time\":\"2025-01-01T00:00:00.000005Z\",\"time_sec\":1735689600,"
          "\"time_usec\":5,\"channel\":\"A/\\\"B\\\"\xef\xbf\xbd\",\"type\":\"slow\",\"dtype\":4,"
          "\"devtype\":1,\"value\":{\"value\":0.100000001,\"status\":3}}");
      EXPECT_NE(
          lines[0].find("\"values\":[0.100000001,-0.0,1.00000001e-07,3.40282347e+38,1.40129846e-45,"
                        "123456.789,16.0,10000000000.0,null,null]"),
          std::string::npos)
          << lines[0];
    } else {
      auto rows = daqgettest::parse_csv(std::string(lines[1]) + "\n");
      ASSERT_EQ(rows.size(), 1u);
      ASSERT_EQ(rows[0].size(), 8u);
      EXPECT_EQ(rows[0][7],
                "0.100000001 -0 1.00000001e-07 3.40282347e+38 1.40129846e-45 123456.789 16 "
                "1e+10 inf nan");
    }
  }
}

// What a writer has put in f so far, read beside its own position.
std::string written(std::FILE* f) {
  std::string text;
  char buf[4096];
  ssize_t n;
  while ((n = pread(fileno(f), buf, sizeof buf, static_cast<off_t>(text.size()))) > 0)
    text.append(buf, static_cast<size_t>(n));
  return text;
}

// Heads kept from line to line must never outlive a change of event, time,
// name or type, wherever in the record the change comes.
TEST(RecordWriters, LinesAreAFreshWritersAsChannelsRepeatChangeAndMove) {
  velmor::EqData spectrum = spectrum_of({1.5f, -2.25f, 3e-9f}, "S", 1);
  velmor::EqData named;
  named.set_type(velmor::DATA_A_USTR);
  named.set(1, 0.5f, 0.0f, 100, "a,b", 0);
  struct Line {
    RowHead h;
    const velmor::EqData* d;
    bool ends_record;
  };
  const std::vector<Line> lines = {
      {{1, 100, 5, "A", 4, 0}, &spectrum, false},    {{1, 100, 5, "B,\"x\"", 2, 0}, &named, true},
      {{2, 100, 5, "A", 4, 0}, &spectrum, false},    {{2, 100, 5, "B,\"x\"", 2, 0}, &named, true},
      {{2, 100, 6, "B,\"x\"", 2, 0}, &named, false}, {{2, 100, 6, "A", 4, 0}, &spectrum, true},
      {{3, 101, 6, "A", 5, 0}, &spectrum, false},    {{3, 101, 6, "A", 5, 1}, nullptr, false},
      {{3, 101, 6, "AB", 5, 1}, &spectrum, true},
  };
  for (OutputFormat format : {OutputFormat::kJsonLines, OutputFormat::kCsv}) {
    std::FILE* all = std::tmpfile();
    ASSERT_NE(all, nullptr);
    std::string expected;
    {
      auto w = make_record_writer(format, all, 2);
      for (const Line& l : lines) {
        w->channel(l.h, l.d);
        if (l.ends_record) w->end_record();
        std::FILE* one = std::tmpfile();
        ASSERT_NE(one, nullptr);
        auto fresh = make_record_writer(format, one, 2);
        fresh->channel(l.h, l.d);
        EXPECT_FALSE(fresh->finish());
        fresh.reset();
        std::string text = written(one);
        std::fclose(one);
        if (format == OutputFormat::kCsv && !expected.empty()) text.erase(0, text.find('\n') + 1);
        expected += text;
      }
      EXPECT_FALSE(w->finish());
    }
    EXPECT_EQ(written(all), expected);
    std::fclose(all);
  }
}

// Lines are gathered into large writes, yet a record is not held back when no
// other follows: a reader of a slow stream still sees it.
TEST(RecordWriters, ARecordReachesTheFileWhileTheWriterWaitsForMore) {
  std::FILE* f = std::tmpfile();
  ASSERT_NE(f, nullptr);
  auto w = make_record_writer(OutputFormat::kCsv, f, 2);
  velmor::EqData one;
  one.set_float(1.5f);
  w->channel({7, 100, 0, "A", 1, 0}, &one);
  w->end_record();
  std::string text;
  for (int i = 0; i < 500 && text.empty(); ++i) {
    text = written(f);
    if (text.empty()) usleep(10 * 1000);
  }
  EXPECT_EQ(text,
            "event,time,channel,type,dtype,count,summary,values\n"
            "7,1970-01-01T00:01:40.000000Z,A,eqdata,1,1,1.5,1.5\n");
  EXPECT_FALSE(w->finish());
  w.reset();
  std::fclose(f);
}

TEST(RequestTimes, UtcTextsAndSecondsBecomeTheExperimentZonesText) {
  if (!have_zone("CET")) GTEST_SKIP() << "no zone database";
  unsetenv("ORXA_EXP_TIMEZONE");
  // The caller's own zone must not leak into the request's texts, and comes back.
  setenv("TZ", "America/New_York", 1);
  std::string out, why;
  ASSERT_FALSE(read_request_time("2025-01-01T00:00:00Z", &out, &why)) << why;
  EXPECT_EQ(out, "2025-01-01T01:00:00");
  EXPECT_EQ(seconds_to_request_text(1735689600), "2025-01-01T01:00:00");
  ASSERT_FALSE(read_request_time("2025-07-01T00:00:00Z", &out, &why)) << why;
  EXPECT_EQ(out, "2025-07-01T02:00:00");  // summer time
  ASSERT_FALSE(read_request_time("2025-3-1T10:0:0", &out, &why)) << why;
  EXPECT_EQ(out, "2025-3-1T10:0:0");  // local texts are the library's to read
  EXPECT_STREQ(std::getenv("TZ"), "America/New_York");
  setenv("ORXA_EXP_TIMEZONE", "UTC", 1);
  EXPECT_EQ(seconds_to_request_text(1735689600), "2025-01-01T00:00:00");
  unsetenv("ORXA_EXP_TIMEZONE");
  unsetenv("TZ");
  EXPECT_EQ(seconds_to_request_text(1735689600), "2025-01-01T01:00:00");
  EXPECT_EQ(std::getenv("TZ"), nullptr);
}

TEST(RequestTimes, TextsTheProtocolWouldMisreadAreRefused) {
  if (!have_zone("CET")) GTEST_SKIP() << "no zone database";
  unsetenv("ORXA_EXP_TIMEZONE");
  std::string out, why;
  for (const char* bad : {"2025-13-01T00:00:00", "2025-02-29T00:00:00", "2024-02-31T00:00:00",
                          "2025-01-01T25:61:61", "2025-01-01T10:00:00junk", "2025-01-01 10:00:00",
                          "yesterdayZ", "2025-01-01T10:00", "1970-01-01T00:30:00",
                          "2038-01-19T03:14:08Z", "2038-01-19T04:14:08", "9999-01-01T00:00:00"}) {
    EXPECT_TRUE(read_request_time(bad, &out, &why)) << bad;
    EXPECT_FALSE(why.empty()) << bad;
  }
  EXPECT_FALSE(read_request_time("2024-02-29T23:59:59", &out, &why)) << why;
  EXPECT_FALSE(read_request_time("2038-01-19T03:14:07Z", &out, &why)) << why;
  EXPECT_EQ(out, "2038-01-19T04:14:07");
}

TEST(RequestTimes, ConfigFileTimesKeepTheirZone) {
  if (!have_zone("CET")) GTEST_SKIP() << "no zone database";
  unsetenv("ORXA_EXP_TIMEZONE");
  char path[] = "/tmp/daqget_config_XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  std::string document =
      "<?xml version=\"1.0\"?>\n<DAQREQ>\n<Exp name=\"linac\"/>\n"
      "<TStart time=\"2025-01-15T12:00:00Z\"/>\n<TStop time=\"2025-01-15T13:00:10+01:00\"/>\n"
      "</DAQREQ>\n";
  bool written =
      write(fd, document.data(), document.size()) == static_cast<ssize_t>(document.size());
  close(fd);
  DaqgetOptions o;
  o.config_file = path;
  DaqFetchRequest q;
  std::string error;
  bool failed = build_request(o, &q, &error);
  unlink(path);
  ASSERT_TRUE(written);
  ASSERT_FALSE(failed) << error;
  EXPECT_EQ(q.start_sec, 1736942400);
  EXPECT_EQ(q.stop_sec, 1736942410);
}

TEST(CommandLine, RangesModesAndRefusals) {
  DaqgetOptions o;
  EXPECT_EQ(parse({"--run", "12", "-c", "A@1@2", "-f", "jsonl", "--generation", "2024"}, &o), -1);
  EXPECT_EQ(o.run_first, 12);
  EXPECT_EQ(o.run_last, 12);
  EXPECT_EQ(o.channels, std::vector<std::string>{"A@1@2"});
  EXPECT_EQ(o.format, OutputFormat::kJsonLines);
  EXPECT_EQ(o.generation, Generation::k2024);

  DaqgetOptions all;
  EXPECT_EQ(parse({"--run", "0"}, &all), -1);
  EXPECT_EQ(all.run_first, 0);

  DaqgetOptions l;
  EXPECT_EQ(parse({"--list-channels"}, &l), -1);
  EXPECT_EQ(l.request_type, 2);
  DaqgetOptions s;
  EXPECT_EQ(parse({"--local", "--scan-mode", "all", "--handshake"}, &s), -1);
  EXPECT_EQ(s.scan_mode, 15);
  EXPECT_TRUE(s.handshake);
  EXPECT_EQ(s.retries, -1);  // the fetch's default
  DaqgetOptions r;
  EXPECT_EQ(parse({"--local", "--retries", "0"}, &r), -1);
  EXPECT_EQ(r.retries, 0);
  DaqgetOptions h;
  EXPECT_EQ(
      parse({"--local", "-f", "hdf5", "-o", "x.h5", "--compress", "9", "--save-images", "p"}, &h),
      -1);
  EXPECT_EQ(h.format, OutputFormat::kHdf5);
  EXPECT_EQ(h.compress, 9);
  EXPECT_EQ(h.images_dir, "p");

  for (std::vector<std::string> bad : std::vector<std::vector<std::string>>{
           {"--start", "2025-1-1T0:0:0", "--scan-mode", "11"},
           {"--local", "--servers", "X/Y/Z/"},
           {"--start", "2025-1-1T0:0:0", "-f", "xml"},
           {"--run", "3", "--first-run", "2"},
           {"--last-run", "4", "--start", "2025-1-1T0:0:0"},
           {"-c", "CHANNEL/ONLY"},
           {"--handshake", "--push", "--local"},
           {"--first-run", "0", "--last-run", "3"},
           {"--start-sec", "2147483648"},
           {"--start-sec", "1735689600", "--stop-sec", "4294967297"},
           {"--local-port", "7300"},
           {"--facility", "lumar", "--start", "2025-1-1T0:0:0"},
           {"--connect-timeout", "0", "--local"},
           {"--retries", "-1", "--local"},
           {"--retries", "some", "--local"},
           {"--local", "-f", "hdf5"},
           {"--local", "-f", "hdf5", "-o", "x.h5", "--compress", "10"},
           {"--local", "-f", "hdf5", "-o", "x.h5", "--compress", "-1"},
           {"--local", "-f", "csv", "--compress", "1"},
           {"--list-channels", "-f", "hdf5", "-o", "x.h5"},
           {"--local", "--request-type", "2", "-f", "hdf5", "-o", "x.h5"}}) {
    DaqgetOptions b;
    testing::internal::CaptureStderr();
    EXPECT_EQ(parse(bad, &b), DAQGET_USAGE) << bad[0] << " " << bad[1];
    EXPECT_NE(testing::internal::GetCapturedStderr().find("daqget: "), std::string::npos);
  }
}

TEST(ImageFiles, EveryDepthReadsBackAndABadHeaderIsSkipped) {
  EXPECT_EQ(ImageFiles::file_name(42, "CAMERA/SCREEN/IMAGE", 2),
            "0000000042_CAMERA_SCREEN_IMAGE.png");
  EXPECT_EQ(ImageFiles::file_name(12345678901ULL, "../a b", 4), "12345678901_.._a_b.tif");
  EXPECT_EQ(ImageFiles::file_name(1, "X", 5), "");

  std::string dir = testing::TempDir() + "daqget_pictures/sub";
  ImageFiles files;
  std::string error;
  ASSERT_FALSE(files.open(dir, &error)) << error;
  EXPECT_FALSE(files.save_image(1, "GREY8", image(5, 3, 1, 10)));
  EXPECT_FALSE(files.save_image(1, "GREY16", image(5, 3, 2, 0x1234)));
  EXPECT_FALSE(files.save_image(1, "RGB", image(5, 3, 3, 0x010203)));
  EXPECT_FALSE(files.save_image(1, "GREY32", image(5, 3, 4, 0x01020304)));

  Picture grey8 = read_png(dir + "/0000000001_GREY8.png");
  Picture grey16 = read_png(dir + "/0000000001_GREY16.png");
  Picture rgb = read_png(dir + "/0000000001_RGB.png");
  Picture grey32 = read_tiff(dir + "/0000000001_GREY32.tif");
  for (const Picture* p : {&grey8, &grey16, &rgb, &grey32}) {
    EXPECT_EQ(p->width, 5u);
    EXPECT_EQ(p->height, 3u);
  }
  EXPECT_EQ(grey8.bits * grey8.samples, 8);
  EXPECT_EQ(grey16.bits * grey16.samples, 16);
  EXPECT_EQ(rgb.bits * rgb.samples, 24);
  EXPECT_EQ(grey32.bits * grey32.samples, 32);
  ASSERT_EQ(grey16.values.size(), 10u);
  ASSERT_EQ(grey32.values.size(), 10u);
  EXPECT_EQ(grey8.values[7], 17u);
  EXPECT_EQ(grey16.values[7], 0x1234u + 7);
  EXPECT_EQ(grey32.values[7], 0x01020304u + 7);
  EXPECT_EQ(rgb.values[0], 0x03u);  // the frame's first byte is the pixel's first sample
  EXPECT_EQ(files.written(), 4);

  // Sizes that promise more bytes than the record holds, or no picture form.
  testing::internal::CaptureStderr();
  EXPECT_TRUE(files.save_image(2, "SHORT", image(100, 100, 1, 0, 10)));
  EXPECT_TRUE(files.save_image(2, "DEPTH", image(2, 2, 5, 0)));
  EXPECT_TRUE(files.save_image(2, "EMPTY", velmor::EqData()));
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(daqgettest::lines_of(err).size(), 3u) << err;
  EXPECT_NE(err.find("daqget: image of SHORT at event 2 skipped: 100x100 bpp 1 needs 10000 "
                     "bytes, the record holds 10"),
            std::string::npos)
      << err;
  EXPECT_EQ(files.skipped(), 3);
  EXPECT_FALSE(files.failed());

  // A directory gone: one line, then no further attempts.
  for (const char* name : {"GREY8.png", "GREY16.png", "RGB.png", "GREY32.tif"})
    std::remove((dir + "/0000000001_" + name).c_str());
  ASSERT_EQ(rmdir(dir.c_str()), 0);
  rmdir((testing::TempDir() + "daqget_pictures").c_str());
  testing::internal::CaptureStderr();
  EXPECT_TRUE(files.save_image(3, "GREY8", image(5, 3, 1, 10)));
  EXPECT_TRUE(files.save_image(4, "GREY8", image(5, 3, 1, 10)));
  err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(daqgettest::lines_of(err).size(), 1u) << err;
  EXPECT_TRUE(files.failed());
}
