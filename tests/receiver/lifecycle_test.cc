// Receiver lifecycle: depth choice, connecting, starting, stopping (also racing the
// start of the receive), joining a thread that ended by itself, and the status texts.
#include <gtest/gtest.h>

#include <climits>
#include <random>

#include "receiver_test_support.h"

namespace {

using namespace rtest;

template <class G>
class ReceiverLifecycle : public ::testing::Test {};

using Generations = ::testing::Types<Legacy, Gen2024>;
TYPED_TEST_SUITE(ReceiverLifecycle, Generations);

template <class R>
void set_span(R& receiver, int start, int stop) {
  Reply reply(0);
  reply.r.stat.t_start_sec = start;
  reply.r.stat.t_stop_sec = stop;
  ASSERT_FALSE(receiver.set_reply(&reply.r));
}

TYPED_TEST(ReceiverLifecycle, DepthIsDerivedFromTheServedPeriodOnlyWhenNoneWasChosen) {
  typename TypeParam::Receiver none(0, 0);
  EXPECT_EQ(none.get_cache()->GetDepth(), 50);
  set_span(none, 1000, 1000);  // nothing to derive from
  EXPECT_EQ(none.get_cache()->GetDepth(), 50);
  set_span(none, 1000, 1100);  // 5.05 records per second
  EXPECT_EQ(none.get_cache()->GetDepth(), 505);
  set_span(none, 1000, 1010);  // the derived depth is kept
  EXPECT_EQ(none.get_cache()->GetDepth(), 505);

  typename TypeParam::Receiver chosen(200, 0);
  set_span(chosen, 1000, 1100);
  EXPECT_EQ(chosen.get_cache()->GetDepth(), 200);
  EXPECT_TRUE(chosen.set_cache_depth(0));
  EXPECT_TRUE(chosen.set_cache_depth(-5));
  EXPECT_EQ(chosen.get_cache()->GetDepth(), 200);

  // A hostile span neither overflows nor wraps to a small or negative depth.
  typename TypeParam::Receiver hostile(-1, 0);
  set_span(hostile, INT_MIN, INT_MAX);
  EXPECT_EQ(hostile.get_cache()->GetDepth(), INT_MAX);
  typename TypeParam::Receiver backwards(-1, 0);
  set_span(backwards, 2000, 1000);
  EXPECT_EQ(backwards.get_cache()->GetDepth(), 50);
}

TYPED_TEST(ReceiverLifecycle, ConnectNeedsAPortAndAHost) {
  typename TypeParam::Receiver r(10, 0);
  Reply no_port(0);
  ASSERT_FALSE(r.set_reply(&no_port.r));
  EXPECT_TRUE(r.connect());
  Reply no_host(4711);
  no_host.r.host[0] = '\0';
  ASSERT_FALSE(r.set_reply(&no_host.r));
  EXPECT_TRUE(r.connect());
  Reply refused(1);  // nothing listens on port 1
  ASSERT_FALSE(r.set_reply(&refused.r));
  EXPECT_TRUE(r.connect());
}

TYPED_TEST(ReceiverLifecycle, SecondStartIsRefusedWhileTheThreadRuns) {
  StreamServer server(TypeParam::k2024);
  typename TypeParam::Receiver r(10, 0);
  ASSERT_TRUE(server.AttachReceiver(r));
  ASSERT_FALSE(r.start_receiver(false));
  EXPECT_FALSE(r.if_thread_is_over());
  testing::internal::CaptureStdout();
  EXPECT_TRUE(r.start_receiver(false));
  EXPECT_TRUE(r.connect());  // the link is in use by the thread
  std::string printed = testing::internal::GetCapturedStdout();
  EXPECT_NE(printed.find("Receiving thread is already running\n"), std::string::npos);
  r.stop_receiver();
  EXPECT_TRUE(r.if_thread_is_over());
}

TYPED_TEST(ReceiverLifecycle, StopDuringABlockingReceiveReturnsWithinASecond) {
  StreamServer server(TypeParam::k2024);
  typename TypeParam::Receiver r(10, 0);
  ASSERT_TRUE(server.AttachReceiver(r));
  ASSERT_FALSE(r.start_receiver(false));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let it block in the receive
  auto t0 = Clock::now();
  r.stop_receiver();
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(1));
  EXPECT_TRUE(r.if_thread_is_over());
  int ent = 0;
  EXPECT_EQ(r.get_monitor(&ent), DAQ_MON_EMPTY + DAQ_MON_NO_THREAD + DAQ_MON_DONE);
  // A stop ends without a farewell: the server only sees the link close.
  server.Read(1000);
  EXPECT_TRUE(server.lost);
  EXPECT_TRUE(server.controls.empty());
}

TYPED_TEST(ReceiverLifecycle, StopRacingTheStartOfTheReceiveNeverHangs) {
  StreamServer server(TypeParam::k2024);
  typename TypeParam::Receiver r(10, 0);
  std::mt19937 rng(7);
  for (int cycle = 0; cycle < 60; ++cycle) {
    ASSERT_TRUE(server.AttachReceiver(r)) << cycle;
    ASSERT_FALSE(r.start_receiver(false)) << cycle;
    // From no pause at all to a few hundred microseconds: the stop lands before,
    // during and after the thread's set-up and the start of its receive.
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 400));
    auto t0 = Clock::now();
    r.stop_receiver();
    ASSERT_LT(Clock::now() - t0, std::chrono::seconds(1)) << cycle;
    ASSERT_TRUE(r.if_thread_is_over()) << cycle;
  }
}

TYPED_TEST(ReceiverLifecycle, BlockingStartReturnsWhenTheStreamEnds) {
  StreamServer server(TypeParam::k2024);
  typename TypeParam::Receiver r(10, 0);
  ASSERT_TRUE(server.AttachReceiver(r));
  std::thread stream([&] {
    EventMaker maker(TypeParam::kFormat);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    for (uint64_t n = 1; n <= 3; ++n) server.Send(maker.spectrum(n));
    server.Send(maker.bare(TypeParam::kEndOfStream));
  });
  EXPECT_FALSE(r.start_receiver(true));
  stream.join();
  EXPECT_TRUE(r.if_thread_is_over());
  EXPECT_EQ(r.get_end_data_status(), -3);
  EXPECT_EQ(r.get_number_of_entries(), 3);
}

TYPED_TEST(ReceiverLifecycle, InitEmptiesCacheAndReplyButKeepsTheOutcome) {
  StreamServer server(TypeParam::k2024);
  typename TypeParam::Receiver r(10, 0);
  ASSERT_TRUE(server.AttachReceiver(r));
  ASSERT_FALSE(r.start_receiver(false));
  EventMaker maker(TypeParam::kFormat);
  server.Send(maker.spectrum(1));
  server.Send(maker.bare(TypeParam::kEndOfStream));
  ASSERT_TRUE(wait_for([&] { return r.if_thread_is_over(); }));
  r.init();  // joins the ended thread
  EXPECT_EQ(r.get_number_of_entries(), 0);
  EXPECT_EQ(r.get_end_data_status(), -3);
  int ent = 0;
  EXPECT_EQ(r.get_monitor(&ent), DAQ_MON_EMPTY + DAQ_MON_NO_THREAD + DAQ_MON_DONE);
  EXPECT_TRUE(r.connect());  // the reply copy is empty
  // A second acquisition on the same receiver; done stays until the caller clears it.
  StreamServer second(TypeParam::k2024);
  ASSERT_TRUE(second.AttachReceiver(r));
  r.set_done(false);
  ASSERT_FALSE(r.start_receiver(false));
  second.Send(maker.spectrum(2));
  ASSERT_TRUE(wait_for([&] { return r.get_number_of_entries() == 1; }));
  EXPECT_EQ(r.get_monitor(&ent), DAQ_MON_DATA);
  EXPECT_EQ(ent, 1);
  r.clear_monitor();
  EXPECT_TRUE(r.if_thread_is_over());
  EXPECT_EQ(r.get_number_of_entries(), 0);
}

TYPED_TEST(ReceiverLifecycle, ThreadThatEndedByItselfIsJoinedByTheNextStart) {
  StreamServer server(TypeParam::k2024);
  typename TypeParam::Receiver r(10, 0);
  EventMaker maker(TypeParam::kFormat);
  for (int round = 0; round < 3; ++round) {
    ASSERT_TRUE(server.AttachReceiver(r));
    ASSERT_FALSE(r.start_receiver(false));
    server.Send(maker.bare(TypeParam::kEndOfStream));
    ASSERT_TRUE(wait_for([&] { return r.if_thread_is_over(); }));
  }
  // Under ThreadSanitizer a thread that is never joined is reported as a leak.
}

TYPED_TEST(ReceiverLifecycle, DestroyingARunningReceiverStopsItsThread) {
  StreamServer server(TypeParam::k2024);
  auto r = std::make_unique<typename TypeParam::Receiver>(10, 0);
  ASSERT_TRUE(server.AttachReceiver(*r));
  ASSERT_FALSE(r->start_receiver(false));
  EventMaker maker(TypeParam::kFormat);
  server.Send(maker.spectrum(1));
  ASSERT_TRUE(wait_for([&] { return r->get_number_of_entries() == 1; }));
  auto t0 = Clock::now();
  r.reset();
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(1));
}

TYPED_TEST(ReceiverLifecycle, StatusTextsFollowTheTable) {
  typename TypeParam::Receiver r(10, 0);
  EXPECT_EQ(r.get_end_data_status(), -1);
  EXPECT_STREQ(r.get_end_data_status_string(), "No required data");
  const std::pair<int, const char*> table[] = {
      {0, "Ok"},
      {-2, "Some entry(ies) are still not ready"},
      {-4, "Not initialized"},
      {-6, "Internal error (Event ID jump?), try to extract by time"},
      {-7, "Invalid input parameter"},
      {-8, "Incorrect point of time"},
      {-9, "Bad file format"},
      {-10, "File(s) not found"},
      {-11, "Unknown"},
      {1, "Unknown"},
      {INT_MIN, "Unknown"},
  };
  for (const auto& row : table) {
    r.set_end_data_status(row.first);
    EXPECT_STREQ(r.get_end_data_status_string(), row.second) << row.first;
    // A failure of the link has the link's own text; the rest are the table's.
    EXPECT_STREQ(r.get_link_failure_string(),
                 row.first > 0 ? Tidewire::ResultText(row.first) : row.second);
  }
  r.set_end_data_status(TIDEWIRE_ERR_LOST);
  EXPECT_STREQ(r.get_link_failure_string(), "connection lost");
}

TYPED_TEST(ReceiverLifecycle, IdleBoundHasANamedDefaultAndRefusesNegativeValues) {
  typename TypeParam::Receiver r(10, 0);
  EXPECT_EQ(r.get_idle_timeout(), DAQ_RECEIVER_DEFAULT_IDLE_TIMEOUT_MS);
  EXPECT_TRUE(r.set_idle_timeout(-1));
  EXPECT_EQ(r.get_idle_timeout(), DAQ_RECEIVER_DEFAULT_IDLE_TIMEOUT_MS);
  EXPECT_FALSE(r.set_idle_timeout(0));
  EXPECT_EQ(r.get_idle_timeout(), 0);
}

TEST(ReceiverLifecycle2024, StatusKeepsTheLow32BitsOfA64BitValue) {
  EqDAQdata2024 r(10, 0);
  r.set_end_data_status(0xfffffffffffffffdull);
  EXPECT_EQ(r.get_end_data_status(), -3);
  r.set_end_data_status(0x100000007ull);
  EXPECT_EQ(r.get_end_data_status(), 7);
}

TEST(ReceiverLifecycle2024, InitSwitchesTheEventUtilitiesTo2024) {
  set_data_format_2024(0);
  EqDAQdata2024 r(10, 0);
  r.init();
  EXPECT_EQ(get_data_format_2024(), 1);
  set_data_format_2024(0);
  EqDAQdata legacy(10, 0);
  legacy.init();
  EXPECT_EQ(get_data_format_2024(), 0);
}

TEST(ReceiverThreadFunction, NullTaskEndsAtOnceWithMinusOne) {
  EXPECT_EQ(receiver_thread(nullptr), reinterpret_cast<void*>(static_cast<intptr_t>(-1)));
  EXPECT_EQ(receiver_thread_2024(nullptr), reinterpret_cast<void*>(static_cast<intptr_t>(-1)));
}

}  // namespace
