// The period asked is the period fetched: one range spelled as seconds, as UTC,
// with an offset and as a local text gives the same records, in winter, in
// summer and across both clock changes of Europe/Berlin; a server reading the
// texts in another zone is caught; an unknown zone is refused.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "daq_data_server.h"
#include "daq_fetch.h"
#include "daq_time_text.h"
#include "eq_daq_connect.h"
#include "fault_support.h"
#include "fetch_period.h"
#include "fetch_request.h"
#include "velmor.h"

using namespace faults;

namespace {

constexpr int64_t kOrigin = 1735689600;  // the servers' event 0
const char kZone[] = "Europe/Berlin";

// Each test runs in the experiment's zone Europe/Berlin and leaves none behind.
class FetchPeriod : public testing::Test {
 protected:
  void SetUp() override {
    setenv("ORXA_EXP_TIMEZONE", kZone, 1);
    std::string why;
    if (daq_check_experiment_zone(&why)) GTEST_SKIP() << why;
  }
  void TearDown() override { unsetenv("ORXA_EXP_TIMEZONE"); }

  // One record a second, so a covering range of hours stays small.
  static std::unique_ptr<DaqDataServer> one_hertz_server() {
    DaqServerOptions o;
    o.rate_hz = 1.0;
    std::unique_ptr<DaqDataServer> server(new DaqDataServer(o));
    return server->start() ? nullptr : std::move(server);
  }

  static DaqFetchRequest request(const std::string& servers, int64_t start, int64_t stop) {
    DaqFetchRequest q;
    q.servers = servers;
    q.channels = {"MAGNET/QUAD/Q1.CURRENT"};
    q.start_sec = start;
    q.stop_sec = stop;
    q.connect_timeout_s = 20;
    q.retries = 0;
    return q;
  }

  // A spelling's instant: seconds, or a text.
  static int64_t instant(const std::string& text) {
    if (text.find('T') == std::string::npos) return std::stoll(text);
    int64_t seconds = 0;
    std::string why;
    EXPECT_FALSE(daq_read_time_text(text, &seconds, &why)) << text << ": " << why;
    return seconds;
  }

  // Event numbers fetched for the range as spelled.
  static std::vector<uint64_t> fetch_spelled(const DaqDataServer& server, const char* start,
                                             const char* stop) {
    int64_t from = instant(start), to = instant(stop);
    DaqFetch fetch(request(server.entry(), from, to));
    std::vector<uint64_t> events;
    int rc = fetch.run([&](DaqFetchRecord& r) {
      events.push_back(r.event);
      return true;
    });
    EXPECT_EQ(rc, DAQ_FETCH_OK) << start << " .. " << stop << ": " << fetch.error();
    return events;
  }

  struct Spelling {
    const char* start;
    const char* stop;
  };
  // Every spelling fetches the events of [start, stop) at one a second.
  static void expect_same_records(const DaqDataServer& server, int64_t start, int64_t stop,
                                  const std::vector<Spelling>& spellings) {
    std::vector<uint64_t> expected;
    for (int64_t t = start; t < stop; ++t) expected.push_back(static_cast<uint64_t>(t - kOrigin));
    for (const Spelling& s : spellings)
      EXPECT_EQ(fetch_spelled(server, s.start, s.stop), expected) << s.start << " .. " << s.stop;
  }
};

TEST_F(FetchPeriod, EverySpellingFetchesTheSameRecords) {
  auto server = one_hertz_server();
  ASSERT_TRUE(server);
  // Winter, summer, and ten seconds across the spring change (01:59:55 CET to
  // 03:00:05 CEST).
  expect_same_records(*server, 1736942400, 1736942410,
                      {{"1736942400", "1736942410"},
                       {"2025-01-15T12:00:00Z", "2025-01-15T12:00:10Z"},
                       {"2025-01-15T07:00:00-05:00", "2025-01-15T07:00:10-05:00"},
                       {"2025-01-15T13:00:00", "2025-01-15T13:00:10"}});
  expect_same_records(*server, 1752580800, 1752580810,
                      {{"2025-07-15T12:00:00Z", "2025-07-15T12:00:10Z"},
                       {"2025-07-15T17:30:00+05:30", "2025-07-15T17:30:10+05:30"},
                       {"2025-07-15T14:00:00", "2025-07-15T14:00:10"}});
  expect_same_records(*server, 1743296395, 1743296405,
                      {{"2025-03-30T00:59:55Z", "2025-03-30T01:00:05Z"},
                       {"2025-03-30T01:59:55+01:00", "2025-03-30T03:00:05+02:00"},
                       {"2025-03-30T01:59:55", "2025-03-30T03:00:05"}});
}

// Needs the fetch to deliver only the instants asked (DaqFetch::State::wanted
// calling instant_in_request): the texts of this range ask the whole repeated
// hour.
TEST_F(FetchPeriod, AcrossTheAutumnChangeTheInstantsAskedAreFetched) {
  auto server = one_hertz_server();
  ASSERT_TRUE(server);
  // 02:59:55 summer time to 02:00:05 winter time: as local texts the start
  // would come after the stop. A local text means the first occurrence.
  expect_same_records(*server, 1761440395, 1761440405,
                      {{"2025-10-26T00:59:55Z", "2025-10-26T01:00:05Z"},
                       {"2025-10-26T02:59:55+02:00", "2025-10-26T02:00:05+01:00"},
                       {"2025-10-26T02:59:55", "2025-10-26T03:00:05+02:00"}});
  // Inside the second occurrence of the hour only.
  expect_same_records(*server, 1761442200, 1761442210,
                      {{"2025-10-26T02:30:00+01:00", "2025-10-26T02:30:10+01:00"}});
}

TEST_F(FetchPeriod, UnknownZoneIsRefusedBeforeAnythingIsAsked) {
  setenv("ORXA_EXP_TIMEZONE", "Europe/Berln", 1);
  DaqFetch fetch(request("NO.SUCH/SERVER/AT.ALL/", 1736942400, 1736942410));
  EXPECT_EQ(fetch.run([](DaqFetchRecord&) { return true; }), DAQ_FETCH_BAD_REQUEST);
  EXPECT_EQ(fetch.error(),
            "ORXA_EXP_TIMEZONE: time zone 'Europe/Berln' is unknown (neither in the zone "
            "database nor a TZ rule)");
}

// A daq-server daemon that reads request texts in UTC, an hour west of us.
class OtherZone : public FetchPeriod {
 protected:
  static Daemon* utc_daemon(const char* device) {
    return new Daemon(device, {"--rate", "1"}, {"ORXA_EXP_TIMEZONE=UTC"}, catalog_file());
  }
  static DaqFetchRequest daemon_request(const Daemon& d) {
    DaqFetchRequest q = request(d.entry(), 1736942400, 1736942410);
    q.channels = {kChannel};
    return q;
  }
};

TEST_F(OtherZone, ReplyPeriodOfAnotherZoneIsCaught) {
  std::unique_ptr<Daemon> daemon(utc_daemon("PERIOD.UTC"));
  ASSERT_TRUE(daemon->ok());
  DaqFetchRequest q = daemon_request(*daemon);
  velmor::EqCall call;
  EqDAQconnect connection(&call, nullptr);
  std::string error;
  ASSERT_FALSE(fill_fetch_request(q, &connection, &error)) << error;
  ASSERT_EQ(connection.connect(q.servers.c_str()), EQ_DAQ_CONNECT_OK);
  const daq_server_reply& reply = *connection.get_server_reply();
  EXPECT_EQ(reply.stat.t_start_sec, q.start_sec + 3600);
  ASSERT_TRUE(period_mismatch(q, reply, &error));
  EXPECT_EQ(error,
            "the server reports the period 2025-01-15T13:00:00Z .. 2025-01-15T13:00:10Z, not "
            "the one asked (2025-01-15T12:00:00Z .. 2025-01-15T12:00:10Z): its time zone "
            "differs from ORXA_EXP_TIMEZONE=Europe/Berlin");
  q.accept_period_mismatch = true;
  EXPECT_FALSE(period_mismatch(q, reply, &error));
  // The same server asked in its own zone agrees; so does a period it cuts.
  setenv("ORXA_EXP_TIMEZONE", "UTC", 1);
  q.accept_period_mismatch = false;
  EXPECT_FALSE(period_mismatch(q, reply, &error)) << error;
  daq_server_reply cut = reply;
  cut.stat.t_start_sec += 5;
  EXPECT_FALSE(period_mismatch(q, cut, &error)) << error;
  cut.stat.t_start_sec -= 10;
  EXPECT_TRUE(period_mismatch(q, cut, &error));
}

// Needs the fetch to call period_mismatch after each handshake.
TEST_F(OtherZone, FetchFailsOnAnotherZoneUnlessToldToAccept) {
  std::unique_ptr<Daemon> daemon(utc_daemon("PERIOD.FETCH"));
  ASSERT_TRUE(daemon->ok());
  DaqFetchRequest q = daemon_request(*daemon);
  DaqFetch refused(q);
  uint64_t records = 0;
  auto count = [&](DaqFetchRecord&) { return ++records > 0; };
  EXPECT_EQ(refused.run(count), DAQ_FETCH_BAD_REQUEST);
  EXPECT_NE(refused.error().find("its time zone differs"), std::string::npos) << refused.error();
  EXPECT_EQ(records, 0u);
  q.accept_period_mismatch = true;
  DaqFetch accepted(q);
  EXPECT_EQ(accepted.run(count), DAQ_FETCH_OK) << accepted.error();
  EXPECT_GT(records, 0u);
}

}  // namespace
