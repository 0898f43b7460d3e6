// Time texts and the experiment's zone: one instant however it is spelled, the
// clock changes of Europe/Berlin (2025-03-30 and 2025-10-26), covering texts
// for ranges the zone cannot say plainly, and unknown zones refused.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "daq_server_util_def.h"
#include "daq_time_text.h"
#include "time_text.h"
#include "zone_time.h"

namespace {

class ZoneTime : public testing::Test {
 protected:
  void SetUp() override {
    unsetenv("TZ");
    setenv("ORXA_EXP_TIMEZONE", "Europe/Berlin", 1);
    tzset();
    if (!unknown_zone_reason("Europe/Berlin").empty()) GTEST_SKIP() << "no zone database";
  }
  void TearDown() override {
    unsetenv("TZ");
    unsetenv("ORXA_EXP_TIMEZONE");
    tzset();
  }
  static int64_t read(const std::string& text) {
    int64_t seconds = -1;
    std::string why;
    EXPECT_FALSE(daq_read_time_text(text, &seconds, &why)) << text << ": " << why;
    return seconds;
  }
  static std::string text_of(int64_t seconds) {
    std::string text, why;
    EXPECT_FALSE(daq_instant_time_text(seconds, &text, &why)) << seconds << ": " << why;
    return text;
  }
};

TEST_F(ZoneTime, EverySpellingGivesTheSameInstant) {
  struct Case {
    int64_t seconds;
    const char* utc;
    const char* offset;
    const char* local;  // the experiment's zone, also the text written back
  } cases[] = {
      {1736942400, "2025-01-15T12:00:00Z", "2025-01-15T07:00:00-05:00", "2025-01-15T13:00:00"},
      {1752580800, "2025-07-15T12:00:00Z", "2025-07-15T17:30:00+05:30", "2025-07-15T14:00:00"},
      // The last second before the spring change and the first after it.
      {1743296399, "2025-03-30T00:59:59Z", "2025-03-30T01:59:59+0100", "2025-03-30T01:59:59"},
      {1743296400, "2025-03-30T01:00:00z", "2025-03-30T03:00:00+02", "2025-03-30T03:00:00"},
      // The repeated autumn hour: a local text means its first occurrence.
      {1761438600, "2025-10-26T00:30:00Z", "2025-10-26T02:30:00+02:00", "2025-10-26T02:30:00"},
      {1761445800, "2025-10-26T02:30:00Z", "2025-10-26T03:30:00+01:00", "2025-10-26T03:30:00"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(read(c.utc), c.seconds) << c.utc;
    EXPECT_EQ(read(c.offset), c.seconds) << c.offset;
    EXPECT_EQ(read(c.local), c.seconds) << c.local;
    EXPECT_EQ(text_of(c.seconds), c.local);
  }
  // The second occurrence is said with its offset; it is written as the same text.
  EXPECT_EQ(read("2025-10-26T02:30:00+01:00"), 1761442200);
  EXPECT_EQ(text_of(1761442200), "2025-10-26T02:30:00");
  // A time the spring change skips is read with the offset before it.
  EXPECT_EQ(read("2025-03-30T02:30:00"), 1743298200);
  EXPECT_EQ(getenv("TZ"), nullptr);
}

TEST_F(ZoneTime, MalformedTextsAndUnknownZonesAreRefused) {
  int64_t seconds = 0;
  std::string why;
  for (const char* bad :
       {"2025-01-01T10:00:00+1:00", "2025-01-01T10:00:00+24:00", "2025-01-01T10:00:00+01:60",
        "2025-01-01T10:00:00 Z", "2025-01-01T10:00:00+01:00Z", "2025-02-29T00:00:00Z",
        "2038-01-19T04:14:08+01:00", "1970-01-01T00:00:00Z"}) {
    EXPECT_TRUE(daq_read_time_text(bad, &seconds, &why)) << bad;
    EXPECT_FALSE(why.empty()) << bad;
  }
  for (const char* zone :
       {"CET", "UTC0", "<+03>-3", "CET-1CEST,M3.5.0,M10.5.0/3", "", ":Europe/Berlin", "EST5EDT"}) {
    EXPECT_EQ(unknown_zone_reason(zone), "") << zone;
  }
  for (const char* zone :
       {"Europe/Berln", "XYZ", "CET-1CEST,M3.5", "../../etc/passwd", "/etc/passwd", ":CET-1"}) {
    EXPECT_NE(unknown_zone_reason(zone), "") << zone;
  }
  setenv("ORXA_EXP_TIMEZONE", "Europe/Berln", 1);
  why.clear();
  EXPECT_TRUE(daq_check_experiment_zone(&why));
  EXPECT_NE(why.find("Europe/Berln"), std::string::npos) << why;
  EXPECT_TRUE(daq_read_time_text("2025-01-15T13:00:00", &seconds, &why));
  std::string text;
  EXPECT_TRUE(daq_instant_time_text(1736942400, &text, &why));
  // A text with its own zone needs none.
  EXPECT_FALSE(daq_read_time_text("2025-01-15T12:00:00Z", &seconds, &why)) << why;
  // Validation refuses to read the start rather than read it as UTC.
  daq_server_request r;
  clean_request(&r);
  r.id = 1;
  std::snprintf(r.t_start, sizeof r.t_start, "2025-01-15T13:00:00");
  testing::internal::CaptureStdout();
  EXPECT_EQ(validate_daq_request(&r, false), -7);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("Europe/Berln"), std::string::npos);
  clean_request(&r);
}

TEST_F(ZoneTime, RepeatedHourReadsTheSameWhateverCameBefore) {
  // mktime would pick the occurrence by its previous call's daylight flag.
  for (const char* before : {"2025-07-01T12:00:00", "2025-01-01T12:00:00"}) {
    daq_server_request r;
    clean_request(&r);
    r.id = 1;
    std::snprintf(r.t_start, sizeof r.t_start, "%s", before);
    ASSERT_EQ(validate_daq_request(&r, false), 0);
    std::snprintf(r.t_start, sizeof r.t_start, "2025-10-26T02:30:00");
    std::snprintf(r.t_stop, sizeof r.t_stop, "2025-10-26T04:00:00");
    ASSERT_EQ(validate_daq_request(&r, false), 0);
    EXPECT_EQ(r.t_start_sec, 1761438600) << "after " << before;
    clean_request(&r);
  }
}

TEST_F(ZoneTime, CoveringTextsHoldEveryReadingOfTheRange) {
  struct Case {
    int64_t start, stop;
    const char* start_text;
    const char* stop_text;
  } cases[] = {
      // Plain ranges are asked as they are.
      {1736942400, 1736942410, "2025-01-15T13:00:00", "2025-01-15T13:00:10"},
      {1743296395, 1743296405, "2025-03-30T01:59:55", "2025-03-30T03:00:05"},
      // Ten seconds across the autumn change: the texts would read start after
      // stop, so the whole repeated hour is asked.
      {1761440395, 1761440405, "2025-10-26T01:59:55", "2025-10-26T03:00:05"},
      // Inside the second occurrence.
      {1761442200, 1761442210, "2025-10-26T02:30:00", "2025-10-26T03:00:10"},
  };
  ZoneScope zone("Europe/Berlin");
  for (const Case& c : cases) {
    std::string start, stop;
    ASSERT_FALSE(covering_texts(c.start, c.stop, &start, &stop)) << c.start;
    EXPECT_EQ(start, c.start_text) << c.start;
    EXPECT_EQ(stop, c.stop_text) << c.start;
  }
}

// Walls around every change of offset in 2024-2025 and through the year, as
// the process's own zone sees them.
std::vector<int64_t> walls_to_check() {
  std::vector<int64_t> walls;
  long before = 0;
  for (int64_t t = 1704067200; t < 1767225600; t += 900) {  // 2024-01-01 .. 2026-01-01
    time_t tt = static_cast<time_t>(t);
    struct tm local;
    if (localtime_r(&tt, &local) == nullptr) continue;
    if (t % 18007 < 900) walls.push_back(t + local.tm_gmtoff);
    if (t > 1704067200 && local.tm_gmtoff != before) {
      for (long off : {before, local.tm_gmtoff})
        for (int64_t d = -7200; d <= 7200; d += 127) walls.push_back(t + off + d);
      for (int64_t d : {-1, 0, 1}) walls.push_back(t + before + d);
    }
    before = local.tm_gmtoff;
  }
  return walls;
}

struct Reading {
  int n;
  int64_t first, second, instant;
  bool operator==(const Reading& o) const {
    return n == o.n && (n < 1 || first == o.first) && (n < 2 || second == o.second) &&
           instant == o.instant;
  }
};

Reading reading_of(int64_t wall) {
  time_t t = static_cast<time_t>(wall);
  struct tm fields;
  gmtime_r(&t, &fields);
  Reading r{0, 0, 0, -1};
  int64_t out[2] = {0, 0};
  r.n = local_readings(fields, out);
  r.first = out[0];
  r.second = out[1];
  local_instant(fields, &r.instant);
  return r;
}

TEST_F(ZoneTime, RememberedOffsetsReadAsTheLibraryDoes) {
  for (const char* zone : {"Europe/Berlin", "America/New_York", "Australia/Lord_Howe",
                           "America/St_Johns", "Asia/Kolkata", "CET-1CEST,M3.5.0,M10.5.0/3"}) {
    if (!unknown_zone_reason(zone).empty()) continue;
    // The reference: the C library alone, in the process's zone.
    setenv("TZ", zone, 1);
    tzset();
    std::vector<int64_t> walls = walls_to_check();
    std::vector<Reading> expected;
    for (int64_t w : walls) expected.push_back(reading_of(w));
    unsetenv("TZ");
    tzset();
    ZoneScope scope(zone);
    for (int pass = 0; pass < 2; ++pass) {  // the second from remembered hours only
      int wrong = 0;
      for (size_t i = 0; i < walls.size() && wrong < 5; ++i) {
        if (!(reading_of(walls[i]) == expected[i])) {
          ++wrong;
          ADD_FAILURE() << zone << " wall " << walls[i] << " pass " << pass;
        }
      }
    }
  }
}

TEST_F(ZoneTime, AZoneFileReplacedIsReadAgain) {
  char dir[] = "/tmp/zone_test_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string file = std::string(dir) + "/Exp";
  auto install = [&](const char* from) {
    std::ifstream in(std::string("/usr/share/zoneinfo/") + from, std::ios::binary);
    std::ofstream out(file + ".new", std::ios::binary);
    out << in.rdbuf();
    out.close();
    return in.is_open() && std::rename((file + ".new").c_str(), file.c_str()) == 0;
  };
  setenv("TZDIR", dir, 1);
  struct tm fields;
  ASSERT_TRUE(read_time_text("2025-01-15T13:00:00", 19, &fields));
  int64_t seconds = 0;
  if (install("Europe/Berlin")) {
    ZoneScope scope("Exp");
    EXPECT_TRUE(local_instant(fields, &seconds));
    EXPECT_EQ(seconds, 1736942400);
  }
  if (install("America/New_York")) {
    ZoneScope scope("Exp");
    EXPECT_TRUE(local_instant(fields, &seconds));
    EXPECT_EQ(seconds, 1736964000);
  }
  unsetenv("TZDIR");
  std::remove(file.c_str());
  rmdir(dir);
}

}  // namespace
