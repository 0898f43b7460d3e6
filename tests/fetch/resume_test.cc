// A fetch whose stream breaks asks again for the rest of the range: the
// daq-server daemon killed mid-stream and started again on the same port, a
// server that stays down, and a server that drops every stream part-way.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "daq_data_server.h"
#include "daq_fetch.h"
#include "fault_support.h"

using namespace faults;

namespace {

constexpr int64_t kOrigin = 1735689600;  // the servers' event 0
constexpr int64_t kStart = kOrigin + 3600;
constexpr int kRate = 20;

DaqFetchRequest daemon_request(const Daemon& daemon, int mode, int seconds) {
  DaqFetchRequest q;
  q.servers = daemon.entry();
  q.channels = {kChannel};
  q.start_sec = kStart;
  q.stop_sec = kStart + seconds;
  q.comm_mode = mode;
  q.connect_timeout_s = 20;
  q.backoff_ms = 100;
  return q;
}

// Event numbers as delivered, shared with the test's thread.
struct Delivered {
  std::mutex m;
  std::vector<uint64_t> events;
  std::vector<Clock::time_point> at;
  size_t size() {
    std::lock_guard<std::mutex> lock(m);
    return events.size();
  }
  std::function<bool(DaqFetchRecord&)> callback() {
    return [this](DaqFetchRecord& r) {
      std::lock_guard<std::mutex> lock(m);
      events.push_back(r.event);
      at.push_back(Clock::now());
      return true;
    };
  }
  // Seconds from t to the first record delivered after it.
  double first_after(Clock::time_point t) {
    for (Clock::time_point a : at)
      if (a > t) return std::chrono::duration<double>(a - t).count();
    return -1;
  }
  // Records that do not follow each other: repeats, gaps, reversals.
  size_t out_of_order() {
    size_t bad = 0;
    for (size_t i = 1; i < events.size(); ++i) bad += events[i] != events[i - 1] + 1;
    return bad;
  }
};

// A fetch running on a thread of its own.
struct Running {
  explicit Running(const DaqFetchRequest& q) : fetch(q) {
    thread = std::thread([this] { rc = fetch.run(got.callback()); });
  }
  ~Running() {
    if (!thread.joinable()) return;
    fetch.stop();
    thread.join();
  }
  int join() {
    thread.join();
    return rc;
  }
  DaqFetch fetch;
  Delivered got;
  int rc = -1;
  std::thread thread;
};

struct Case {
  const char* generation;
  int mode;
};

class ServerRestarted : public testing::TestWithParam<Case> {};

TEST_P(ServerRestarted, EveryEventOnceInOrder) {
  const Case c = GetParam();
  std::string device = std::string("RESUME.") + c.generation + std::to_string(c.mode);
  std::vector<std::string> args = {"--real-time", "--rate", std::to_string(kRate), "--generation",
                                   c.generation};
  auto first = std::make_unique<Daemon>(device, args);
  ASSERT_TRUE(first->ok());
  const int seconds = 3;
  Running run(daemon_request(*first, c.mode, seconds));
  DaqFetch& fetch = run.fetch;
  Delivered& got = run.got;
  // Past the first second, so the rest is asked from a later start.
  bool midway = wait_until([&] { return got.size() >= kRate + 5; }, 20000);
  first->kill_now();
  auto killed = Clock::now();
  std::vector<std::string> again = args;
  again.insert(again.end(), {"--port", std::to_string(first->port())});
  Daemon second(device, again);
  int rc = run.join();
  ASSERT_TRUE(midway);
  ASSERT_TRUE(second.ok());
  EXPECT_EQ(second.port(), first->port());

  ASSERT_EQ(rc, DAQ_FETCH_OK) << fetch.error();
  const uint64_t first_event = (kStart - kOrigin) * kRate;
  ASSERT_EQ(got.events.size(), static_cast<size_t>(seconds * kRate));
  EXPECT_EQ(got.events.front(), first_event);
  EXPECT_EQ(got.out_of_order(), 0u);
  DaqFetchCounters n = fetch.counters();
  EXPECT_GE(n.reconnects, 1u);
  EXPECT_GE(n.duplicates_skipped, 1u);  // the server resent the last second
  EXPECT_EQ(n.records_delivered, got.events.size());
  EXPECT_EQ(n.last_event, got.events.back());
  std::printf(
      "restart (%s, %s): %zu events expected, %llu delivered, %llu duplicates skipped, "
      "%llu reconnects, %.2f s from the kill to the next record\n",
      c.generation, c.mode == DAQ_FETCH_PUSH ? "push" : "handshake",
      static_cast<size_t>(seconds * kRate), static_cast<unsigned long long>(n.records_delivered),
      static_cast<unsigned long long>(n.duplicates_skipped),
      static_cast<unsigned long long>(n.reconnects), got.first_after(killed));
}

INSTANTIATE_TEST_SUITE_P(ModesAndGenerations, ServerRestarted,
                         testing::Values(Case{"legacy", DAQ_FETCH_PUSH},
                                         Case{"legacy", DAQ_FETCH_HANDSHAKE},
                                         Case{"2024", DAQ_FETCH_PUSH},
                                         Case{"2024", DAQ_FETCH_HANDSHAKE}));

// The server never comes back: the fetch gives up after its retries with one
// line saying so, and what it delivered is intact.
TEST(ServerStaysDown, GivesUpAfterItsRetriesKeepingWhatItDelivered) {
  Daemon daemon("RESUME.DOWN", {"--real-time", "--rate", std::to_string(kRate)});
  ASSERT_TRUE(daemon.ok());
  DaqFetchRequest q = daemon_request(daemon, DAQ_FETCH_PUSH, 60);
  q.retries = 2;
  q.backoff_ms = 50;
  q.connect_timeout_s = 1;
  Running run(q);
  DaqFetch& fetch = run.fetch;
  Delivered& got = run.got;
  bool midway = wait_until([&] { return got.size() >= 10; }, 20000);
  daemon.kill_now();
  int rc = run.join();
  ASSERT_TRUE(midway);

  EXPECT_EQ(rc, DAQ_FETCH_HANDSHAKE_FAILED);
  std::string want =
      "the stream broke after " + std::to_string(got.events.size()) + " records and 2 reconnects: ";
  EXPECT_EQ(fetch.error().rfind(want, 0), 0u) << fetch.error();
  EXPECT_EQ(fetch.error().find('\n'), std::string::npos);
  EXPECT_EQ(got.events.front(), static_cast<uint64_t>((kStart - kOrigin) * kRate));
  EXPECT_EQ(got.out_of_order(), 0u);
  EXPECT_EQ(fetch.records_delivered(), got.events.size());
  EXPECT_EQ(fetch.counters().reconnects, 2u);
}

// The embedded server drops every stream after 25 events: each resume asks
// from the second of the last delivered event, so the server resends a few.
DaqFetchRequest dropping_request(const DaqDataServer& server) {
  DaqFetchRequest q;
  q.servers = server.entry();
  q.channels = {"MAGNET/QUAD/Q1.CURRENT"};
  q.start_sec = kOrigin;
  q.stop_sec = kOrigin + 10;  // 100 events at the server's 10 Hz
  q.connect_timeout_s = 20;
  q.backoff_ms = 10;
  return q;
}

struct DroppingServer {
  DroppingServer() {
    DaqServerOptions o;
    o.drop_after = 25;
    server.reset(new DaqDataServer(o));
    started = !server->start();
  }
  std::unique_ptr<DaqDataServer> server;
  bool started = false;
};

// Counters read from another thread while the fetch runs, and what they add
// up to: streams 0-24, 20-44, 40-64, 60-84, 80-99, each resending some.
TEST(FetchCounters, ReadWhileRunningAndAddingUp) {
  DroppingServer s;
  ASSERT_TRUE(s.started);
  DaqFetch fetch(dropping_request(*s.server));
  std::atomic<bool> done{false};
  int regressions = 0, reads = 0;
  std::thread reader([&] {
    DaqFetchCounters was;
    while (!done.load()) {
      DaqFetchCounters now = fetch.counters();
      regressions += now.records_delivered < was.records_delivered ||
                     now.reconnects < was.reconnects || now.elapsed_s < was.elapsed_s;
      was = now;
      ++reads;
    }
  });
  Delivered got;
  int rc = fetch.run(got.callback());
  done.store(true);
  reader.join();
  ASSERT_EQ(rc, DAQ_FETCH_OK) << fetch.error();
  EXPECT_EQ(regressions, 0);
  EXPECT_GT(reads, 0);
  ASSERT_EQ(got.events.size(), 100u);
  EXPECT_EQ(got.out_of_order(), 0u);
  DaqFetchCounters n = fetch.counters();
  EXPECT_EQ(n.records_delivered, 100u);
  // At least four breaks; more when a drop also loses the tail of a stream.
  EXPECT_GE(n.reconnects, 4u);
  EXPECT_GE(n.duplicates_skipped, 4u);
  EXPECT_EQ(n.received.events_received, n.records_delivered + n.duplicates_skipped);
  EXPECT_EQ(n.last_event, 99u);
  EXPECT_EQ(n.last_seconds, static_cast<uint32_t>(kOrigin + 9));
  EXPECT_GT(n.elapsed_s, 0.0);
  EXPECT_EQ(fetch.counters().elapsed_s, n.elapsed_s);  // frozen once run() is over
}

// Slow-data blocks come at each whole second and are told apart by their time
// stamp: the block of the second a resume starts from is resent and skipped.
TEST(FetchResume, SlowDataOnceBySecond) {
  DroppingServer s;
  ASSERT_TRUE(s.started);
  DaqFetchRequest q = dropping_request(*s.server);
  q.channels.push_back("SLOW/TEMP/T1");
  DaqFetch fetch(q);
  std::vector<uint64_t> events;
  std::vector<uint32_t> slow_seconds;
  int rc = fetch.run([&](DaqFetchRecord& r) {
    if (r.slow) {
      slow_seconds.push_back(r.seconds);
    } else {
      events.push_back(r.event);
    }
    return true;
  });
  ASSERT_EQ(rc, DAQ_FETCH_OK) << fetch.error();
  EXPECT_GE(fetch.counters().reconnects, 4u);
  ASSERT_EQ(events.size(), 100u);
  for (size_t i = 0; i < events.size(); ++i) EXPECT_EQ(events[i], i);
  ASSERT_EQ(slow_seconds.size(), 10u);
  for (size_t i = 0; i < slow_seconds.size(); ++i)
    EXPECT_EQ(slow_seconds[i], static_cast<uint32_t>(kOrigin + static_cast<int64_t>(i)));
}

// Without retries a break ends the fetch as it always did; with them a stop
// ends the wait before the next attempt at once.
TEST(FetchRetries, NoneKeepsTheBreakAndAStopEndsTheBackoff) {
  DroppingServer s;
  ASSERT_TRUE(s.started);
  DaqFetchRequest q = dropping_request(*s.server);
  q.retries = 0;
  DaqFetch once(q);
  EXPECT_EQ(once.run([](DaqFetchRecord&) { return true; }), DAQ_FETCH_STREAM_BROKEN);
  std::string early = "the stream ended early after " + std::to_string(once.records_delivered());
  EXPECT_EQ(once.error().rfind(early + " records: ", 0), 0u) << once.error();
  EXPECT_EQ(once.counters().reconnects, 0u);
  long accepted = s.server->requests_accepted();

  q.retries = 3;
  q.backoff_ms = 60000;
  Running waiting(q);
  // The server has ended its stream: the fetch is draining it or waiting.
  bool broke = s.server->wait_released(static_cast<int>(accepted) + 1, 20000);
  auto asked = Clock::now();
  waiting.fetch.stop();
  int rc = waiting.join();
  ASSERT_TRUE(broke);
  EXPECT_LT(seconds_since(asked), 1.0);
  EXPECT_EQ(rc, DAQ_FETCH_STOPPED);
  EXPECT_EQ(waiting.fetch.error(),
            "stopped after " + std::to_string(waiting.got.size()) + " records");
  EXPECT_EQ(s.server->requests_accepted(), accepted + 1);
}

TEST(FetchRetries, NegativeRefused) {
  DaqFetchRequest q;
  q.retries = -1;
  DaqFetch fetch(q);
  EXPECT_EQ(fetch.run([](DaqFetchRecord&) { return true; }), DAQ_FETCH_BAD_REQUEST);
  EXPECT_EQ(fetch.error(), "retries -1: value refused");
}

}  // namespace
