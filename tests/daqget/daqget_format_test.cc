// The pieces of daqget that decide what a reader sees: value forms, times,
// CSV quoting, the request's time texts and the command line.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "daqget_options.h"
#include "daqget_runner.h"
#include "exit_codes.h"
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
  velmor::EqData spectrum;
  std::vector<float> values = {1.5f, 2.5f, 3.5f, 4.5f, 5.5f, 6.5f};
  std::string comment = "DIAG/X";
  velmor::SPECTRUM s{};
  s.comment.comment_len = static_cast<uint32_t>(comment.size() + 1);
  s.comment.comment_val = comment.data();
  s.s_inc = 1;
  s.d_spect_array.d_spect_array_len = static_cast<uint32_t>(values.size());
  s.d_spect_array.d_spect_array_val = values.data();
  spectrum.set_type(velmor::DATA_A_TS_SPECTRUM);
  ASSERT_FALSE(spectrum.set_ts_spect(1, 0, 0, &s, 0));
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
           {"--retries", "some", "--local"}}) {
    DaqgetOptions b;
    testing::internal::CaptureStderr();
    EXPECT_EQ(parse(bad, &b), DAQGET_USAGE) << bad[0] << " " << bad[1];
    EXPECT_NE(testing::internal::GetCapturedStderr().find("daqget: "), std::string::npos);
  }
}
