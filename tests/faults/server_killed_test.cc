// The data server dies (SIGKILL) in the middle of a stream, in push and in
// handshake mode: the receiver must end by itself within 2 s with a failure
// status and its text, keep every record it already had, and leave no thread or
// descriptor behind; daqget must exit 7 and say why in one line.
#include <gtest/gtest.h>

#include "daq_generation.h"
#include "fault_support.h"

using namespace faults;

namespace {

// The mapping's generations, each with the daemon's name for it.
struct LegacyRun : LegacyGen {
  static constexpr const char* kGeneration = "legacy";
};
struct Run2024 : Gen2024 {
  static constexpr const char* kGeneration = "2024";
};

template <class G>
class ServerKilled : public testing::Test {};
using Generations = testing::Types<LegacyRun, Run2024>;
TYPED_TEST_SUITE(ServerKilled, Generations);

}  // namespace

TYPED_TEST(ServerKilled, ReceiverEndsWithinTwoSecondsKeepingItsRecords) {
  for (int mode : {ORXA_DAQ_COMM_PUSH, ORXA_DAQ_COMM_HNDS}) {
    SCOPED_TRACE(mode == ORXA_DAQ_COMM_PUSH ? "push" : "handshake");
    Holdings before;
    {
      // A paced stream, so it is surely still running when the server dies.
      Daemon daemon(std::string("KILL.") + TypeParam::kGeneration + std::to_string(mode),
                    {"--real-time", "--rate", "200", "--generation", TypeParam::kGeneration});
      ASSERT_TRUE(daemon.ok());
      Road<typename TypeParam::Receiver> road;
      ASSERT_TRUE(road.open(daemon.entry(), 60, mode, 100000)) << road.connect_rc;
      auto& r = *road.receiver;
      ASSERT_TRUE(wait_until([&] { return r.get_number_of_entries() >= 30; }, 20000));

      daemon.kill_now();
      auto killed = Clock::now();
      ASSERT_TRUE(wait_until([&] { return r.if_thread_is_over(); }, 10000));
      double gave_up = seconds_since(killed);
      EXPECT_LT(gave_up, 2.0);
      int held = r.get_number_of_entries();
      EXPECT_GT(r.get_end_data_status(), 0);
      EXPECT_STRNE(r.get_link_failure_string(), "Unknown");
      EXPECT_STRNE(r.get_link_failure_string(), "");

      // Every record received before the end is there, in order.
      Drained d = drain(r, 10000);
      EXPECT_FALSE(d.timed_out);
      EXPECT_EQ(d.events, static_cast<uint64_t>(held));
      EXPECT_GE(d.events, 30u);
      EXPECT_EQ(d.out_of_order, 0u);
      std::printf("server killed (%s, %s): gave up after %.3f s, %d records kept, status %d: %s\n",
                  TypeParam::kGeneration, mode == ORXA_DAQ_COMM_PUSH ? "push" : "handshake",
                  gave_up, held, r.get_end_data_status(), r.get_link_failure_string());
      r.stop_receiver();
    }
    Holdings after;
    EXPECT_TRUE(after.back_to(before)) << change(before, after);
    std::printf("%s\n", change(before, after).c_str());
  }
}

TEST(ServerKilledDaqget, ExitsSevenWithOneLine) {
  for (const char* mode : {"--push", "--handshake"}) {
    SCOPED_TRACE(mode);
    Daemon daemon(std::string("KILL.DAQGET") + mode, {"--real-time", "--rate", "200"});
    ASSERT_TRUE(daemon.ok());
    Child daqget(kDaqgetPath,
                 {"--servers", daemon.entry(), "--start", "2025-03-01T10:00:00", "--stop",
                  "2025-03-01T10:01:00", "-c", kChannel, "-f", "csv", "--progress", "never", mode,
                  "--retries", "0"},  // a server that never comes back, without waiting for it
                 {daemon.names()});
    ASSERT_TRUE(wait_until([&] { return lines_of(daqget.out()).size() >= 20; }, 20000))
        << daqget.err();
    daemon.kill_now();
    auto killed = Clock::now();
    int code = daqget.wait_exit(10000);
    double gave_up = seconds_since(killed);
    EXPECT_EQ(code, 7);
    EXPECT_LT(gave_up, 3.0);
    // One line of daqget's own naming the cause, and it comes last; before it
    // only the summary of what arrived and the count of repeated library
    // lines. (The data link may add its own diagnostic line.)
    std::vector<std::string> own;
    for (const std::string& line : lines_of(daqget.err()))
      if (line.rfind("daqget:", 0) == 0) own.push_back(line);
    ASSERT_FALSE(own.empty()) << daqget.err();
    EXPECT_NE(own.back().find("connection lost"), std::string::npos) << daqget.err();
    for (size_t i = 0; i + 1 < own.size(); ++i) {
      bool summary = own[i].find(" events, ") != std::string::npos;
      bool repeats = own[i].find(" repeated ") != std::string::npos;
      EXPECT_TRUE(summary || repeats) << own[i];
    }
    std::printf("daqget %s, server killed: exit %d after %.3f s, stderr: %s", mode, code, gave_up,
                daqget.err().c_str());
  }
}
