// A long stream through a small cache: the receiver pauses and resumes the server
// whenever the cache fills, while the application takes every record out. Every
// event must arrive exactly once and in order, and the cache never grows. The
// stream comes once from the test's own server loop and once from the real DAQ
// data server (handshake and all); the application idles now and then, so
// pauses, holds and resumes surely happen and are checked.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "daq_data_server.h"
#include "eq_daq_connect.h"
#include "receiver_test_support.h"

namespace {

using namespace rtest;

template <class G>
class ReceiverDrain : public ::testing::Test {};

using Generations = ::testing::Types<Legacy, Gen2024>;
TYPED_TEST_SUITE(ReceiverDrain, Generations);

uint64_t drain_events() {
  return getenv("DRAIN_EVENTS") ? strtoull(getenv("DRAIN_EVENTS"), nullptr, 10) : 100000;
}

// The application stops taking records this often, until the cache is full and
// the receiver has had time to pause the server.
uint64_t idle_every(uint64_t events) { return std::max<uint64_t>(events / 10, 1); }

TYPED_TEST(ReceiverDrain, EveryEventArrivesOnceInOrderThroughADepthOf50) {
  const uint64_t kEvents = drain_events();
  StreamServer server(TypeParam::k2024);
  typename TypeParam::Receiver r(50, 0);
  ASSERT_TRUE(server.AttachReceiver(r));
  ASSERT_FALSE(r.start_receiver(false));
  StreamStats stats;
  std::thread serve([&] {
    EventMaker maker(TypeParam::kFormat);
    Bytes end = maker.bare(TypeParam::kEndOfStream);
    Bytes ev;
    stats = serve_stream(
        server.link(), TypeParam::k2024, kEvents,
        [&](uint64_t n) -> const Bytes& { return ev = maker.spectrum(n); }, end);
  });

  auto t_start = Clock::now();
  uint64_t expected = 1;
  uint64_t out_of_order = 0;
  int most_records = 0;
  uint64_t idles = 0;
  auto deadline = Clock::now() + std::chrono::seconds(240);
  for (uint64_t taken = 0; Clock::now() < deadline;) {
    std::vector<EqData_dtype*>* out = nullptr;
    int rc = r.get_monitor(&out, nullptr, nullptr);
    if (rc & DAQ_MON_DATA) {
      uint64_t n = out->size() == 1 ? static_cast<uint64_t>((*out)[0]->data->get_mpnum()) : 0;
      if (n != expected) ++out_of_order;
      expected = n + 1;
      release_query_result(out);
      if (++taken % 512 == 0) most_records = std::max(most_records, r.get_number_of_entries());
      if (taken % idle_every(kEvents) == 0 && taken < kEvents) {
        ASSERT_TRUE(wait_for([&] { return r.get_number_of_entries() == 50; }, 10000));
        ++idles;
        // An idle application: the receiver pauses the server and holds it.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
      }
    } else if (rc & DAQ_MON_NO_THREAD) {
      break;  // empty and the stream has ended
    } else {
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
  }
  serve.join();
  EXPECT_FALSE(stats.timed_out);
  EXPECT_FALSE(stats.lost);
  EXPECT_FALSE(stats.farewell);
  EXPECT_EQ(stats.sent, kEvents);
  EXPECT_EQ(out_of_order, 0u);
  EXPECT_EQ(expected, kEvents + 1);
  EXPECT_EQ(r.get_end_data_status(), -3);
  EXPECT_LE(most_records, 50);
  EXPECT_EQ(r.get_cache()->GetDepth(), 50);
  // Each idle made one pause at least, and the server ended unpaused (it sent
  // every event), so every pause was followed by a resume.
  EXPECT_GE(stats.resumes, idles);
  EXPECT_GE(stats.pauses, stats.resumes);
  std::printf("%.1f s pauses and holds %llu, resumes %llu\n",
              std::chrono::duration<double>(Clock::now() - t_start).count(),
              static_cast<unsigned long long>(stats.pauses),
              static_cast<unsigned long long>(stats.resumes));
}

// What the real server recorded of the receiver's flow control.
struct FlowLog {
  uint64_t pauses = 0, holds = 0, resumes = 0, acks = 0, unexpected = 0;
  bool paused = false;
};

// From the server's counts (it keeps only the first and last messages): it
// names a -1 a hold only while paused and a number a resume only while paused,
// so what is out of place shows as farewells and others.
FlowLog read_flow(const DaqDataServer& server) {
  FlowLog f;
  DaqRequestSummary s;
  if (!server.summary(1, &s)) return f;
  f.pauses = static_cast<uint64_t>(s.control_counts[DAQ_CONTROL_PAUSE]);
  f.holds = static_cast<uint64_t>(s.control_counts[DAQ_CONTROL_HOLD]);
  f.resumes = static_cast<uint64_t>(s.control_counts[DAQ_CONTROL_RESUME]);
  f.acks = static_cast<uint64_t>(s.control_counts[DAQ_CONTROL_READY]);
  f.unexpected = static_cast<uint64_t>(s.control_counts[DAQ_CONTROL_FAREWELL] +
                                       s.control_counts[DAQ_CONTROL_OTHER]);
  f.paused = f.pauses > f.resumes;
  return f;
}

TYPED_TEST(ReceiverDrain, RealServerStreamArrivesOnceInOrderInBothModes) {
  const uint64_t kEvents = std::max<uint64_t>(drain_events() / 1000 * 1000, 1000);
  setenv("ORXA_EXP_TIMEZONE", "CET", 1);  // the requested hour lies after the origin
  for (int mode : {ORXA_DAQ_COMM_PUSH, ORXA_DAQ_COMM_HNDS}) {
    SCOPED_TRACE(mode == ORXA_DAQ_COMM_PUSH ? "push" : "handshake");
    DaqServerOptions o;
    o.device =
        std::string("DRAIN.") + (TypeParam::k2024 ? "GEN2024." : "LEGACY.") + std::to_string(mode);
    o.generation = TypeParam::k2024 ? DAQ_GENERATION_2024 : DAQ_GENERATION_LEGACY;
    o.rate_hz = 1000;
    o.origin_sec = 1740816000;  // an hour before the request: legacy numbers stay small
    DaqDataServer server(o);
    ASSERT_FALSE(server.start());
    velmor::EqCall call;
    EqDAQconnect connection(&call, nullptr);
    connection.set_start_time("2025-3-1T10:0:0");
    int seconds = static_cast<int>(kEvents / 1000);
    std::string stop =
        "2025-3-1T10:" + std::to_string(seconds / 60) + ":" + std::to_string(seconds % 60);
    connection.set_stop_time(stop.c_str());
    connection.set_comm_mode(mode);
    connection.add_channel("DIAG/BPM/BPM1");
    ASSERT_EQ(connection.connect(server.entry().c_str()), 0);

    typename TypeParam::Receiver r(50, 0);
    ASSERT_FALSE(r.set_reply(connection.get_server_reply()));
    ASSERT_FALSE(r.connect());
    ASSERT_FALSE(r.start_receiver(false));
    DaqRequestSummary plan;
    ASSERT_TRUE(server.summary(1, &plan));
    ASSERT_EQ(plan.event_count, kEvents);

    auto t_start = Clock::now();
    uint64_t expected = plan.first_event, out_of_order = 0, taken = 0, idles = 0;
    int most_records = 0;
    auto deadline = Clock::now() + std::chrono::seconds(240);
    while (Clock::now() < deadline) {
      std::vector<EqData_dtype*>* out = nullptr;
      int rc = r.get_monitor(&out, nullptr, nullptr);
      if (rc & DAQ_MON_DATA) {
        uint64_t n = out->size() == 1 && (*out)[0]->data != nullptr
                         ? static_cast<uint64_t>((*out)[0]->data->get_mpnum())
                         : 0;
        if (n != expected) ++out_of_order;
        expected = n + 1;
        release_query_result(out);
        if (++taken % 512 == 0) most_records = std::max(most_records, r.get_number_of_entries());
        if (taken % idle_every(kEvents) == 0 && taken < kEvents) {
          // Idle until the server has recorded a hold: paused for sure.
          uint64_t holds = read_flow(server).holds;
          ASSERT_TRUE(wait_for([&] { return read_flow(server).holds > holds; }, 10000));
          ++idles;
        }
      } else if (rc & DAQ_MON_NO_THREAD) {
        break;
      } else {
        std::this_thread::sleep_for(std::chrono::microseconds(50));
      }
    }
    EXPECT_EQ(taken, kEvents);
    EXPECT_EQ(out_of_order, 0u);
    EXPECT_EQ(expected, plan.first_event + kEvents);
    EXPECT_EQ(r.get_end_data_status(), -3);
    EXPECT_LE(most_records, 50);
    r.stop_receiver();

    ASSERT_TRUE(server.wait_released(1, 15000));
    ASSERT_TRUE(server.summary(1, &plan));
    EXPECT_EQ(static_cast<uint64_t>(plan.events_sent), kEvents);
    FlowLog f = read_flow(server);
    EXPECT_EQ(f.unexpected, 0u);
    EXPECT_FALSE(f.paused);
    EXPECT_GE(f.pauses, idles);
    EXPECT_EQ(f.resumes, f.pauses);
    EXPECT_GE(f.holds, idles);
    EXPECT_EQ(f.acks, mode == ORXA_DAQ_COMM_HNDS ? kEvents : 0u);
    std::printf("real server, %s: %.1f s, pauses %llu, holds %llu, resumes %llu\n",
                mode == ORXA_DAQ_COMM_PUSH ? "push" : "handshake",
                std::chrono::duration<double>(Clock::now() - t_start).count(),
                static_cast<unsigned long long>(f.pauses), static_cast<unsigned long long>(f.holds),
                static_cast<unsigned long long>(f.resumes));
  }
}

}  // namespace
