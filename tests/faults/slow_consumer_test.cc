// A slow application: the real daq-server daemon streams as fast as it can
// while the application takes records at a tenth of the speed it managed when
// draining flat out, 100,000 events (FAULT_EVENTS overrides) in push and in
// handshake mode. Every event must arrive exactly once and in order, and the
// receiver's memory must stay bounded by its cache depth.
#include <gtest/gtest.h>

#include <algorithm>

#include "fault_support.h"

using namespace faults;

namespace {

constexpr int kDepth = 50;
constexpr int kRateHz = 1000;
// 2025-03-01 08:00 UTC: the requested hour starts an hour later, so event
// numbers stay well inside the legacy generation.
constexpr long kOrigin = 1740816000;
constexpr uint64_t kCalibration = 2000;  // events drained flat out first

uint64_t events_wanted() {
  const char* e = std::getenv("FAULT_EVENTS");
  uint64_t n = e != nullptr ? std::strtoull(e, nullptr, 10) : 100000;
  return n < kCalibration * 2 ? kCalibration * 2 : n - n % kRateHz;
}

}  // namespace

TEST(SlowConsumer, EveryEventOnceInOrderWithBoundedMemory) {
  const uint64_t kEvents = events_wanted();
  // The request's hour must lie after the origin; the daemon inherits the zone.
  setenv("ORXA_EXP_TIMEZONE", "CET", 1);
  Daemon daemon("SLOW.CONSUMER",
                {"--rate", std::to_string(kRateHz), "--origin", std::to_string(kOrigin),
                 "--generation", "legacy", "--max-requests", "4"});
  ASSERT_TRUE(daemon.ok());
  for (int mode : {ORXA_DAQ_COMM_PUSH, ORXA_DAQ_COMM_HNDS}) {
    const char* name = mode == ORXA_DAQ_COMM_PUSH ? "push" : "handshake";
    SCOPED_TRACE(name);
    Road<EqDAQdata> road;
    ASSERT_TRUE(road.open(daemon.entry(), static_cast<int>(kEvents / kRateHz), mode, kDepth))
        << road.connect_rc;
    EqDAQdata& r = *road.receiver;
    daq_server_reply* reply = road.connection.get_server_reply();
    const uint64_t first = static_cast<uint64_t>(reply->stat.t_start_sec - kOrigin) * kRateHz;
    ASSERT_EQ(static_cast<uint64_t>(reply->stat.events), kEvents);

    // Flat out for the first events, then a tenth of that rate: record k of the
    // slow part is taken no earlier than k periods after it began.
    auto started = Clock::now();
    Clock::time_point slow_from;
    std::chrono::nanoseconds period{0};
    long heap_at_slow = 0, heap_most = 0;
    Drained d = drain(r, 400000, [&](uint64_t taken) {
      if (taken == kCalibration) {
        period = (Clock::now() - started) * 10 / kCalibration;
        // A calibration slowed by a loaded machine must not stretch the slow
        // part past the drain's bound: at most 200 s for it, still far below
        // what the server streams flat out.
        period = std::min<std::chrono::nanoseconds>(
            period, std::chrono::nanoseconds(std::chrono::seconds(200)) /
                        static_cast<int64_t>(kEvents - kCalibration));
        slow_from = Clock::now();
        heap_at_slow = heap_most = heap_bytes();
      } else if (taken > kCalibration) {
        if (taken % 1000 == 0) heap_most = std::max(heap_most, heap_bytes());
        std::this_thread::sleep_until(slow_from + period * (taken - kCalibration));
      }
    });
    double seconds = seconds_since(started);
    EXPECT_FALSE(d.timed_out);
    EXPECT_EQ(d.events, kEvents);
    EXPECT_EQ(d.first, first);
    EXPECT_EQ(d.out_of_order, 0u);
    EXPECT_EQ(r.get_end_data_status(), -3);
    EXPECT_EQ(r.get_dropped_events(), 0u);
    EXPECT_LE(d.most_records, kDepth);
    EXPECT_EQ(r.get_cache()->GetDepth(), kDepth);
    long grown = heap_most - heap_at_slow;
    EXPECT_LT(grown, 1l << 20);
    std::printf(
        "slow consumer, %s: %llu events in %.1f s (flat out %.0f ev/s, then a tenth), "
        "lost %lld, out of order %llu, most records %d, heap growth %ld bytes\n",
        name, static_cast<unsigned long long>(d.events), seconds,
        1e9 / static_cast<double>(period.count()) * 10,
        static_cast<long long>(kEvents) - static_cast<long long>(d.events),
        static_cast<unsigned long long>(d.out_of_order), d.most_records, grown);
    r.stop_receiver();
  }
}
