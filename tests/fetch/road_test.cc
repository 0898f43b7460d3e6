// The fetch against the real DAQ data server over loopback: the whole road in
// both modes and both generations, a stop from another thread, refusals.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "daq_data_server.h"
#include "daq_fetch.h"
#include "velmor.h"

namespace {

constexpr int64_t kOrigin = 1735689600;  // the server's event 0
constexpr int64_t kSeconds = 5;
constexpr double kRate = 10.0;

struct Server {
  explicit Server(int generation, double rate = kRate) {
    DaqServerOptions o;
    o.generation = generation;
    o.rate_hz = rate;
    server.reset(new DaqDataServer(o));
    started = !server->start();
  }
  std::unique_ptr<DaqDataServer> server;
  bool started = false;
};

DaqFetchRequest range_request(const DaqDataServer& server, int mode) {
  DaqFetchRequest q;
  q.servers = server.entry();
  q.channels = {"VACUUM/UPDATE/PUMPS", "MAGNET/QUAD/Q1.CURRENT"};
  q.start_sec = kOrigin;
  q.stop_sec = kOrigin + kSeconds;
  q.comm_mode = mode;
  q.connect_timeout_s = 20;
  return q;
}

struct Case {
  int server_generation;
  int mode;
};

class FetchRoad : public ::testing::TestWithParam<Case> {};

TEST_P(FetchRoad, EveryEventOnceInOrderWithNamesAndValues) {
  Server s(GetParam().server_generation);
  ASSERT_TRUE(s.started);
  DaqFetch fetch(range_request(*s.server, GetParam().mode));
  std::vector<uint64_t> events;
  int bad_names = 0, bad_values = 0, unanswered = 0;
  int rc = fetch.run([&](DaqFetchRecord& r) {
    events.push_back(r.event);
    EXPECT_EQ(r.names.size(), r.values->size());
    EXPECT_EQ(r.requested.size(), r.names.size());
    int pumps = 0;
    for (size_t i = 0; i < r.names.size(); ++i) {
      if (r.requested[i].empty()) ++unanswered;
      if (r.requested[i] != "VACUUM/UPDATE/PUMPS") continue;
      std::string want = "PUMPS." + std::to_string(pumps);
      if (r.names[i].find(want) == std::string::npos) ++bad_names;
      float pulse = static_cast<float>(r.event % 1000);
      float expected = 1e-7f * (1.0f + static_cast<float>(pumps) + pulse * 0.001f);
      const velmor::UstrElement* got = (*r.values)[i]->data->get_ustr(0);
      if (got == nullptr || std::fabs(got->f1 - expected) > 1e-12f) ++bad_values;
      ++pumps;
    }
    EXPECT_EQ(pumps, 6);
    return true;
  });
  ASSERT_EQ(rc, DAQ_FETCH_OK) << fetch.error();
  EXPECT_TRUE(fetch.error().empty());
  EXPECT_EQ(fetch.end_status(), -3);
  EXPECT_EQ(fetch.stream_2024(), GetParam().server_generation == DAQ_GENERATION_2024);
  ASSERT_EQ(events.size(), static_cast<size_t>(kSeconds * kRate));
  for (size_t i = 0; i < events.size(); ++i) EXPECT_EQ(events[i], i) << "record " << i;
  EXPECT_EQ(fetch.records_delivered(), events.size());
  EXPECT_EQ(bad_names, 0);
  EXPECT_EQ(bad_values, 0);
  EXPECT_EQ(unanswered, 0);
}

INSTANTIATE_TEST_SUITE_P(ModesAndGenerations, FetchRoad,
                         ::testing::Values(Case{DAQ_GENERATION_LEGACY, DAQ_FETCH_PUSH},
                                           Case{DAQ_GENERATION_LEGACY, DAQ_FETCH_HANDSHAKE},
                                           Case{DAQ_GENERATION_2024, DAQ_FETCH_PUSH},
                                           Case{DAQ_GENERATION_2024, DAQ_FETCH_HANDSHAKE}));

// A stop from another thread mid-stream ends the fetch promptly; what was
// delivered stays delivered and in order.
TEST(FetchStop, FromAnotherThreadMidStreamEndsPromptly) {
  DaqServerOptions o;
  o.real_time = true;  // paced, so the stream is surely still running
  o.rate_hz = 50;
  DaqDataServer server(o);
  ASSERT_FALSE(server.start());
  DaqFetchRequest q = range_request(server, DAQ_FETCH_PUSH);
  q.stop_sec = kOrigin + 600;
  DaqFetch fetch(q);
  std::mutex m;
  std::condition_variable cv;
  size_t count = 0;
  std::vector<uint64_t> events;
  std::thread runner([&] {
    int rc = fetch.run([&](DaqFetchRecord& r) {
      std::lock_guard<std::mutex> lock(m);
      events.push_back(r.event);
      ++count;
      cv.notify_all();
      return true;
    });
    EXPECT_EQ(rc, DAQ_FETCH_STOPPED);
  });
  {
    std::unique_lock<std::mutex> lock(m);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(30), [&] { return count >= 10; }));
  }
  auto asked = std::chrono::steady_clock::now();
  fetch.stop();
  runner.join();
  double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - asked).count();
  EXPECT_LT(took, 2.0);
  EXPECT_EQ(fetch.records_delivered(), events.size());
  for (size_t i = 0; i < events.size(); ++i) EXPECT_EQ(events[i], i);
  EXPECT_NE(fetch.error().find("stopped after"), std::string::npos) << fetch.error();
}

// The callback ends the fetch by returning false or by throwing; either way
// nothing leaks and what was delivered counts.
TEST(FetchStop, ByTheCallback) {
  Server s(DAQ_GENERATION_2024);
  ASSERT_TRUE(s.started);
  for (bool by_throw : {false, true}) {
    DaqFetch fetch(range_request(*s.server, DAQ_FETCH_PUSH));
    int rc = fetch.run([&](DaqFetchRecord& r) {
      if (r.event == 2 && by_throw) throw std::runtime_error("enough");
      return r.event < 2;
    });
    EXPECT_EQ(rc, DAQ_FETCH_STOPPED);
    EXPECT_EQ(fetch.records_delivered(), 3u);
    EXPECT_EQ(fetch.error().find("the callback threw") != std::string::npos, by_throw);
  }
}

// A stop while the handshake waits on a slow server cancels it, and one
// before the handshake prevents it.
TEST(FetchStop, CancelsARunningHandshake) {
  DaqServerOptions o;
  o.processing_times = 1000;  // "Processing" for a long while
  DaqDataServer server(o);
  ASSERT_FALSE(server.start());
  DaqFetch fetch(range_request(server, DAQ_FETCH_PUSH));
  int rc = -1;
  std::thread runner([&] { rc = fetch.run([](DaqFetchRecord&) { return true; }); });
  for (int i = 0; i < 500 && server.requests_answered() == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  auto asked = std::chrono::steady_clock::now();
  fetch.stop();
  runner.join();
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - asked).count(), 3.0);
  EXPECT_EQ(rc, DAQ_FETCH_STOPPED);
  EXPECT_EQ(fetch.connect_code(), 14);
  EXPECT_EQ(fetch.records_delivered(), 0u);

  // A stop before run() is kept: nothing more is asked of the server.
  long answered = server.requests_answered();
  DaqFetch early(range_request(server, DAQ_FETCH_PUSH));
  early.stop();
  EXPECT_EQ(early.run([](DaqFetchRecord&) { return true; }), DAQ_FETCH_STOPPED);
  EXPECT_EQ(server.requests_answered(), answered);
}

// Refusals: by validation before anything is sent, and by the server.
TEST(FetchRefused, GivesItsCodeAndOneLine) {
  DaqServerOptions o;
  o.error_first = true;
  DaqDataServer server(o);
  ASSERT_FALSE(server.start());

  DaqFetchRequest empty_range = range_request(server, DAQ_FETCH_PUSH);
  empty_range.stop_sec = empty_range.start_sec;
  DaqFetch invalid(empty_range);
  EXPECT_EQ(invalid.run([](DaqFetchRecord&) { return true; }), DAQ_FETCH_BAD_REQUEST);
  EXPECT_EQ(invalid.connect_code(), -10);
  EXPECT_NE(invalid.error().find("invalid request"), std::string::npos) << invalid.error();
  EXPECT_EQ(server.requests_answered(), 0);

  DaqFetchRequest elsewhere = range_request(server, DAQ_FETCH_PUSH);
  elsewhere.servers.clear();
  elsewhere.facility = "NOWHERE";  // would fall back to the default facility's servers
  DaqFetch unknown(elsewhere);
  EXPECT_EQ(unknown.run([](DaqFetchRecord&) { return true; }), DAQ_FETCH_BAD_REQUEST);
  EXPECT_EQ(unknown.error(), "unknown facility 'NOWHERE'");

  DaqFetch refused(range_request(server, DAQ_FETCH_PUSH));
  EXPECT_EQ(refused.run([](DaqFetchRecord&) { return true; }), DAQ_FETCH_HANDSHAKE_FAILED);
  EXPECT_EQ(refused.connect_code(), 4);
  for (const DaqFetch* f : {&invalid, &refused}) {
    EXPECT_FALSE(f->error().empty());
    EXPECT_EQ(f->error().find('\n'), std::string::npos) << f->error();
  }
  EXPECT_EQ(refused.run([](DaqFetchRecord&) { return true; }), DAQ_FETCH_BAD_REQUEST);
}

}  // namespace
