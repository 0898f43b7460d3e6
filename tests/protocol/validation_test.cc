// Validation: the codes in their order, the experiment's time zone, TZ removed
// afterwards, configuration files merged, and concurrent validations.
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "protocol_fixtures.h"

namespace {
bool have_zone(const char* zone) {
  struct stat st;
  return stat((std::string("/usr/share/zoneinfo/") + zone).c_str(), &st) == 0;
}

// Each test starts without TZ and ORXA_EXP_TIMEZONE and leaves none behind.
class Validation : public testing::Test {
 protected:
  void SetUp() override {
    unsetenv("TZ");
    unsetenv("ORXA_EXP_TIMEZONE");
    tzset();
  }
  void TearDown() override { SetUp(); }

  static void time_request(Request& r, const char* start, const char* stop = "") {
    r.id = 1;
    std::snprintf(r.t_start, sizeof r.t_start, "%s", start);
    std::snprintf(r.t_stop, sizeof r.t_stop, "%s", stop);
  }
};

// 2024-03-01 10:00:00 UTC.
const int kMarch1UtcTen = 1709287200;
}  // namespace

TEST_F(Validation, CodesInTheirOrder) {
  EXPECT_EQ(validate_daq_request(nullptr, false), -1);
  Request r;  // id 0 comes before everything else
  r.req_type = 9;
  EXPECT_EQ(validate_daq_request(&r, false), -9);
  r.id = 1;
  EXPECT_EQ(validate_daq_request(&r, false), -2);
  r.t_start_sec = 1000;  // seconds alone select nothing
  EXPECT_EQ(validate_daq_request(&r, false), -2);
  r.run_first = 5;
  r.exp[0] = '\0';
  EXPECT_EQ(validate_daq_request(&r, false), -3);
  std::strcpy(r.exp, "linac");
  EXPECT_EQ(validate_daq_request(&r, false), -5);
  r.req_type = 1;
  r.comm_mode = 0;
  EXPECT_EQ(validate_daq_request(&r, false), -6);
  r.comm_mode = 2;
  r.run_last = 3;
  EXPECT_EQ(validate_daq_request(&r, false), -9);
  r.run_last = -1;
  EXPECT_EQ(validate_daq_request(&r, false), -9);
  add_text(r.file_list, "f.raw");
  EXPECT_EQ(validate_daq_request(&r, false), 0);
  EXPECT_EQ(r.t_start_sec, 1000) << "a request without start text keeps its seconds";
  EXPECT_EQ(getenv("TZ"), nullptr);
}

TEST_F(Validation, UnreadableTimes) {
  Request r;
  time_request(r, "2024-3-1 10:0:0");
  setenv("TZ", "UTC", 1);
  EXPECT_EQ(validate_daq_request(&r, false), -7);
  EXPECT_STREQ(getenv("TZ"), "UTC") << "exits before the zone is set leave TZ alone";
  time_request(r, "2024-3-1T10:0:0", "2024-3-1T10");
  EXPECT_EQ(validate_daq_request(&r, false), -8);
}

// The application's zone survives validation, whatever the path out of it.
TEST_F(Validation, CallersZoneIsRestoredOnEveryPath) {
  setenv("ORXA_EXP_TIMEZONE", "UTC0", 1);
  struct Case {
    const char* start;
    const char* stop;
    int code;
  } cases[] = {
      {"2024-3-1T10:0:0", "2024-3-1T11:0:0", 0},
      {"2024-3-1T10:0:0", "", 0},
      {"2024-3-1T10:0:0", "x", -8},
      {"2024-3-1T10:0:0", "2024-3-1T9:0:0", -10},
      {"x", "", -7},
      {"", "", 0},  // by runs: nothing converted
  };
  const long system_offset = timezone;  // the fixture left TZ unset
  for (const char* zone : {"JST-9", "", static_cast<const char*>(nullptr)}) {
    for (const Case& c : cases) {
      if (zone != nullptr)
        setenv("TZ", zone, 1);
      else
        unsetenv("TZ");
      tzset();
      Request r;
      time_request(r, c.start, c.stop);
      r.run_first = 1;
      r.run_last = 2;
      EXPECT_EQ(validate_daq_request(&r, false), c.code) << c.start << " " << c.stop;
      const char* after = getenv("TZ");
      if (zone == nullptr) {
        EXPECT_EQ(after, nullptr) << c.start << " " << c.stop;
      } else {
        EXPECT_STREQ(after, zone) << c.start << " " << c.stop;
      }
      // The zone state is reloaded too, not only the variable.
      long offset = zone == nullptr ? system_offset : *zone != '\0' ? -9 * 3600L : 0L;
      EXPECT_EQ(timezone, offset) << c.start << " " << c.stop;
    }
  }
}

TEST_F(Validation, StartInTheDefaultZone) {
  if (!have_zone("CET")) GTEST_SKIP() << "no CET in the zone database";
  Request r;
  time_request(r, "2024-3-1T10:0:0");
  int before = static_cast<int>(time(nullptr));
  ASSERT_EQ(validate_daq_request(&r, false), 0);
  EXPECT_EQ(r.t_start_sec, kMarch1UtcTen - 3600);
  EXPECT_GE(r.t_stop_sec, before);
  EXPECT_LE(r.t_stop_sec, before + 5);
  EXPECT_EQ(getenv("TZ"), nullptr);

  // A trailing zone letter is ignored; a zone one hour west gives one hour more.
  if (!have_zone("Etc/GMT")) GTEST_SKIP() << "no Etc/GMT in the zone database";
  time_request(r, "2024-3-1T10:0:0Z");
  setenv("ORXA_EXP_TIMEZONE", "Etc/GMT", 1);
  ASSERT_EQ(validate_daq_request(&r, false), 0);
  EXPECT_EQ(r.t_start_sec, kMarch1UtcTen);
  EXPECT_EQ(getenv("TZ"), nullptr);
}

TEST_F(Validation, StartAndStopOrder) {
  setenv("ORXA_EXP_TIMEZONE", "UTC0", 1);
  Request r;
  time_request(r, "2024-3-1T10:0:0", "2024-3-1T10:0:0");
  EXPECT_EQ(validate_daq_request(&r, false), -10);
  time_request(r, "2024-3-1T10:0:0", "2024-3-1T10:0:1");
  EXPECT_EQ(validate_daq_request(&r, false), 0);
  EXPECT_EQ(r.t_stop_sec, kMarch1UtcTen + 1);
  time_request(r, "2024-3-1T10:0:0", "1960-1-1T0:0:0");
  EXPECT_EQ(validate_daq_request(&r, false), 0);
  EXPECT_EQ(r.t_stop_sec, 0);
  // Fields out of range are normalised, not refused.
  time_request(r, "2024-2-30T10:0:0", "2024-3-1T10:0:0");
  EXPECT_EQ(validate_daq_request(&r, false), -10);
  // A time past what 32 bits of seconds hold is no time at all, not a wrapped one.
  time_request(r, "2024-3-1T10:0:0", "2200-1-1T0:0:0");
  EXPECT_EQ(validate_daq_request(&r, false), 0);
  EXPECT_EQ(r.t_stop_sec, 0);
  time_request(r, "4294967295-99999999999-1T0:0:0", "2024-3-1T10:0:0");
  EXPECT_EQ(validate_daq_request(&r, false), 0);
  EXPECT_EQ(r.t_start_sec, 0);
}

TEST_F(Validation, ConfigurationFileIsMergedOnlyWhenAsked) {
  char path[] = "/tmp/protocol_conf_XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  const char conf[] =
      "<DAQREQ><ReqId id=\"42\"/><RunFirst number=\"7\"/><Exp name=\"ring\"/>"
      "<Chan name=\"from/conf\"/><File name=\"conf.raw\"/></DAQREQ>";
  ASSERT_EQ(write(fd, conf, sizeof conf - 1), static_cast<ssize_t>(sizeof conf - 1));
  close(fd);

  Request r;
  std::strcpy(r.conf_file, path);
  EXPECT_EQ(validate_daq_request(&r, false), -9) << "not read: id stays 0";
  ASSERT_EQ(validate_daq_request(&r, true), 0);
  EXPECT_EQ(r.id, 42u);
  EXPECT_EQ(r.run_first, 7);
  EXPECT_STREQ(r.exp, "ring");
  ASSERT_EQ(r.chan_list.size(), 1u);
  EXPECT_STREQ(r.chan_list[0]->name, "from/conf");
  EXPECT_EQ(r.file_list.size(), 1u);
  unlink(path);

  Request missing;
  std::strcpy(missing.conf_file, "/nonexistent/conf.xml");
  EXPECT_EQ(validate_daq_request(&missing, true), -1);
}

TEST_F(Validation, ConfigurationFileWithoutExpKeepsTheCallersExperiment) {
  char path[] = "/tmp/protocol_conf_XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  const char conf[] = "<DAQREQ><RunFirst number=\"7\"/><Chan name=\"from/conf\"/></DAQREQ>";
  ASSERT_EQ(write(fd, conf, sizeof conf - 1), static_cast<ssize_t>(sizeof conf - 1));
  close(fd);
  Request r;
  r.id = 3;
  std::strcpy(r.exp, "ring");
  std::strcpy(r.conf_file, path);
  EXPECT_EQ(validate_daq_request(&r, true), 0);
  unlink(path);
  EXPECT_STREQ(r.exp, "ring");
  EXPECT_EQ(r.run_first, 7);
}

TEST_F(Validation, ReplyChecksAndOutputs) {
  EXPECT_EQ(validate_daq_reply(nullptr, nullptr, nullptr, nullptr), -1);
  Reply rep;
  rep.port = 5000;
  std::strcpy(rep.host, "daqhost");
  rep.evid64bitmode = true;
  EXPECT_EQ(validate_daq_reply(&rep, nullptr, nullptr, nullptr), 0);
  int port = 0;
  char* host = nullptr;
  bool mode = false;
  ASSERT_EQ(validate_daq_reply(&rep, &port, &host, &mode), 0);
  EXPECT_EQ(port, 5000);
  EXPECT_EQ(host, rep.host);
  EXPECT_TRUE(mode);

  setenv("TZ", "UTC0", 1);
  tzset();
  std::strcpy(rep.request.t_start, "1969-12-31T23:0:0");
  std::strcpy(rep.request.t_stop, "2024-3-1T10:0:0");
  ASSERT_EQ(validate_daq_reply(&rep, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(rep.request.t_start_sec, -3600) << "no clamping for replies";
  EXPECT_EQ(rep.request.t_stop_sec, kMarch1UtcTen);
  std::strcpy(rep.request.t_stop, "x");
  EXPECT_EQ(validate_daq_reply(&rep, nullptr, nullptr, nullptr), -8);
  std::strcpy(rep.request.t_start, "x");
  EXPECT_EQ(validate_daq_reply(&rep, nullptr, nullptr, nullptr), -7);
  rep.request.t_start[0] = '\0';
  rep.request.run_first = 5;
  rep.request.run_last = 3;
  add_text(rep.request.file_list, "f");
  EXPECT_EQ(validate_daq_reply(&rep, &port, nullptr, nullptr), -9);
}

TEST_F(Validation, ConcurrentValidationsSeeTheirOwnZone) {
  if (!have_zone("CET")) GTEST_SKIP() << "no CET in the zone database";
  std::vector<std::thread> threads;
  std::vector<int> wrong(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &wrong] {
      for (int i = 0; i < 200; ++i) {
        Request r;
        r.id = 1;
        std::strcpy(r.t_start, "2024-3-1T10:0:0");
        std::strcpy(r.t_stop, "2024-3-1T11:0:0");
        if (validate_daq_request(&r, false) != 0 || r.t_start_sec != kMarch1UtcTen - 3600) {
          ++wrong[t];
        }
        Reply rep;
        validate_daq_reply(&rep, nullptr, nullptr, nullptr);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  for (int w : wrong) EXPECT_EQ(w, 0);
  EXPECT_EQ(getenv("TZ"), nullptr);
}
