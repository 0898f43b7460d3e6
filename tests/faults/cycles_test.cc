// Many short lives: 1,000 receivers connected, started and stopped, and 1,000
// handshakes cancelled at random moments. Afterwards the process holds no more
// threads and descriptors than before.
#include <gtest/gtest.h>

#include <atomic>
#include <random>

#include "fault_support.h"
#include "tidewire.h"
#include "tidewire_listener.h"

using namespace faults;

namespace {

uint64_t cycles_wanted() {
  const char* e = std::getenv("FAULT_CYCLES");
  return e != nullptr ? std::strtoull(e, nullptr, 10) : 1000;
}

}  // namespace

TEST(Cycles, StartStopLeavesNoThreadOrDescriptor) {
  const uint64_t kCycles = cycles_wanted();
  Holdings before;
  auto started = Clock::now();
  uint64_t failures = 0;
  {
    TidewireListener listener;
    ASSERT_EQ(listener.Listen("127.0.0.1", 0), 0);
    // The server side keeps one link: each new receiver replaces the last one,
    // which its receiver has closed by then.
    std::atomic<bool> stop{false};
    std::thread server([&] {
      std::unique_ptr<Tidewire> link;
      while (!stop) {
        Tidewire* next = nullptr;
        if (listener.Accept(50, &next) == 0) link.reset(next);
      }
    });
    EqDAQdata r(20, 0);
    daq_server_reply rep;
    clean_reply(&rep);
    std::snprintf(rep.host, sizeof rep.host, "127.0.0.1");
    rep.port = listener.GetPort();
    ASSERT_FALSE(r.set_reply(&rep));
    clean_reply(&rep);
    for (uint64_t i = 0; i < kCycles; ++i) {
      if (r.connect() || r.start_receiver(false)) {
        ++failures;
        continue;
      }
      if (i % 2 == 1) std::this_thread::yield();  // half stop a thread that just began
      r.stop_receiver();
      if (!r.if_thread_is_over()) ++failures;
    }
    stop = true;
    server.join();
  }
  double seconds = seconds_since(started);
  Holdings after;
  EXPECT_EQ(failures, 0u);
  EXPECT_TRUE(after.back_to(before)) << change(before, after);
  std::printf("%llu start/stop cycles in %.1f s: %s\n", static_cast<unsigned long long>(kCycles),
              seconds, change(before, after).c_str());
}

TEST(Cycles, CancelledHandshakesLeaveNoThreadOrDescriptor) {
  const uint64_t kCycles = cycles_wanted();
  // Every request stays in "Processing", so each handshake ends only by its
  // cancellation; the server frees the abandoned ones after a second.
  Daemon daemon("CYCLES.CANCEL", {"--processing", "1000000", "--max-requests", "10000",
                                  "--reply-timeout-ms", "1000"});
  ASSERT_TRUE(daemon.ok());
  Holdings before;
  auto started = Clock::now();
  uint64_t not_cancelled = 0;
  {
    velmor::EqCall call;
    EqDAQconnect c(&call, nullptr);
    fill_request(c, 5);
    std::mt19937 random(7);
    for (uint64_t i = 0; i < kCycles; ++i) {
      int delay_us = static_cast<int>(random() % 3000);
      std::thread cancel([&c, delay_us] {
        std::this_thread::sleep_for(std::chrono::microseconds(delay_us));
        c.set_connect_cancel(true);
      });
      int rc = c.connect(daemon.entry().c_str());
      cancel.join();
      if (rc != EQ_DAQ_CONNECT_CANCELED) ++not_cancelled;
      c.set_connect_cancel(false);
    }
  }
  double seconds = seconds_since(started);
  Holdings after;
  EXPECT_EQ(not_cancelled, 0u);
  EXPECT_TRUE(after.back_to(before)) << change(before, after);
  std::printf("%llu connect/cancel cycles in %.1f s: %s\n",
              static_cast<unsigned long long>(kCycles), seconds, change(before, after).c_str());
}
