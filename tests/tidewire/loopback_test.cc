// The link end to end over loopback with the real listener: control messages go back, the close
// of the peer is reported, sending into a closed link is an error and not a
// signal, a stalled send keeps the stream in step, and a thread blocked in
// ReceiveEvent comes back at once on the stop signal.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "link_test_support.h"

using namespace linktest;

namespace {

TEST(TidewireLoopback, ControlMessagesReachTheServerAsGatherLists) {
  LinkPair p;
  ASSERT_TRUE(p.Open());
  orxa_eventheader header{};
  header.pattern = ORXA_EVENT_PATTERN;
  header.event_length = 40;
  header.event_number = 0xFFFFFFFFu;
  orxa_eventtail tail{40};
  iovec control[2] = {{&header, sizeof header}, {&tail, sizeof tail}};
  EXPECT_EQ(p.server->ReceiveEvent(nullptr, 0, -1, -1), TIDEWIRE_AGAIN_TIMEOUT);
  ASSERT_EQ(p.receiver.SendEvent(control, 2, SendEvent_NOACK), 0);
  header.event_number = 42;
  ASSERT_EQ(p.receiver.SendEvent(control, 2, SendEvent_ACK), 0);

  ASSERT_EQ(receive(*p.server), 0);
  ASSERT_NE(p.server->get_event_header(), nullptr);
  EXPECT_EQ(p.server->get_event_header()->event_number, 0xFFFFFFFFu);
  ASSERT_EQ(receive(*p.server), 0);
  EXPECT_EQ(p.server->get_event_header()->event_number, 42u);
  uint32_t length = 0;
  const char* whole = p.server->get_message(&length);
  ASSERT_EQ(length, 40u);
  orxa_eventtail got_tail;
  std::memcpy(&got_tail, whole + 36, 4);
  EXPECT_EQ(got_tail.event_length, 40u);
}

TEST(TidewireLoopback, PeerCloseIsReportedAndSendingIntoItIsNoSignal) {
  LinkPair p;
  ASSERT_TRUE(p.Open());
  ASSERT_EQ(send_bytes(*p.server, legacy_event(1, 10)), 0);
  p.server.reset();
  EXPECT_EQ(receive(p.receiver), 0);
  EXPECT_EQ(receive(p.receiver), TIDEWIRE_ERR_LOST);
  EXPECT_FALSE(p.receiver.IsLinkActive());

  // The receiving side noticed the loss already; a fresh pair tests the send side alone.
  LinkPair q;
  ASSERT_TRUE(q.Open());
  q.server.reset();
  Bytes control = legacy_event(1, 0);
  int rc = 0;
  for (int i = 0; i < 1000 && rc == 0; ++i) {
    rc = send_bytes(q.receiver, control);
    if (rc == 0) q.receiver.ReceiveEvent(nullptr, 10, -1, -1);  // lets the reset arrive
  }
  EXPECT_EQ(rc, TIDEWIRE_ERR_LOST);
  EXPECT_FALSE(q.receiver.IsLinkActive());
  EXPECT_EQ(send_bytes(q.receiver, control), TIDEWIRE_ERR_LOST);
}

// The link's own lines go to standard error, which leaves standard output to the
// application; a close the caller expected (the stream's end) is no loss to report.
TEST(TidewireLoopback, LossIsReportedOnStandardErrorUnlessTheCloseWasExpected) {
  LinkPair p;
  ASSERT_TRUE(p.Open());
  p.server.reset();
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(receive(p.receiver), TIDEWIRE_ERR_LOST);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(err, "Tidewire::ReceiveEvent() connection lost (code 6)\n");
  EXPECT_STREQ(Tidewire::ResultText(TIDEWIRE_ERR_LOST), "connection lost");

  LinkPair q;
  ASSERT_TRUE(q.Open());
  q.receiver.ExpectClose();
  q.server.reset();
  testing::internal::CaptureStderr();
  EXPECT_EQ(receive(q.receiver), TIDEWIRE_ERR_LOST);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(TidewireLoopback, StalledSendKeepsTheStreamInStep) {
  LinkPair p;
  ASSERT_TRUE(p.Open());
  p.server->SetSendTimeout(50);
  Bytes big = legacy_event(1, 16u << 20);  // far more than the socket buffers hold
  EXPECT_EQ(send_bytes(*p.server, big), TIDEWIRE_ERR_TIMEOUT);
  // While the rest of the first frame is stuck, no byte of a new frame may go out.
  Bytes next = legacy_event(2, 100);
  EXPECT_EQ(send_bytes(*p.server, next), TIDEWIRE_ERR_BUSY);

  std::atomic<bool> done{false};
  std::thread reader([&] {
    EXPECT_EQ(receive(p.receiver, 500), 0);
    uint32_t length = 0;
    const char* got = p.receiver.get_message(&length);
    ASSERT_EQ(length, big.size());
    EXPECT_EQ(std::memcmp(got, big.data(), length), 0);
    EXPECT_EQ(receive(p.receiver, 500), 0);
    EXPECT_TRUE(received(p.receiver) == next);
    done = true;
  });
  p.server->SetSendTimeout(5000);
  EXPECT_EQ(p.server->Flush(), 0);
  EXPECT_EQ(send_bytes(*p.server, next), 0);
  reader.join();
  EXPECT_TRUE(done);
}

extern "C" void empty_handler(int) {}

char thread_state(pid_t tid) {
  std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string line;
  std::getline(in, line);
  std::size_t close = line.rfind(')');
  return close == std::string::npos || close + 2 >= line.size() ? '?' : line[close + 2];
}

TEST(TidewireLoopback, StopSignalEndsABlockedReceiveAtOnce) {
  LinkPair p;
  ASSERT_TRUE(p.Open());
  struct sigaction sa {};
  sa.sa_handler = empty_handler;  // no SA_RESTART: the wait must come back
  sigemptyset(&sa.sa_mask);
  struct sigaction old {};
  ASSERT_EQ(sigaction(SIGABRT, &sa, &old), 0);

  std::atomic<bool> stop{false};
  std::atomic<pid_t> tid{0};
  std::atomic<int> last{-1};
  std::atomic<long long> returned_ns{0};
  std::thread receiver([&] {
    tid = static_cast<pid_t>(gettid());
    while (!stop) {
      last = p.receiver.ReceiveEvent(nullptr, -1, -1, -1);
      returned_ns = std::chrono::steady_clock::now().time_since_epoch().count();
    }
  });
  // Wait until the thread sleeps in its wait (bounded: 5 s).
  auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while ((tid == 0 || thread_state(tid) != 'S') && std::chrono::steady_clock::now() < give_up)
    std::this_thread::yield();
  auto sent = std::chrono::steady_clock::now();
  stop = true;
  pthread_kill(receiver.native_handle(), SIGABRT);
  receiver.join();
  long long waited_ms = (returned_ns.load() - sent.time_since_epoch().count()) / 1000000;
  sigaction(SIGABRT, &old, nullptr);

  EXPECT_TRUE(last == TIDEWIRE_AGAIN_INTERRUPTED || last == TIDEWIRE_AGAIN_TIMEOUT) << last;
  EXPECT_LT(waited_ms, TIDEWIRE_WAKE_MS);
  // The link is unharmed by the interruption.
  ASSERT_EQ(send_bytes(*p.server, legacy_event(5, 5)), 0);
  EXPECT_EQ(receive(p.receiver), 0);
}

TEST(TidewireLoopback, IdleReceiveWakesWithTryAgain) {
  LinkPair p;
  ASSERT_TRUE(p.Open());
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(p.receiver.ReceiveEvent(nullptr, -1, -1, -1), TIDEWIRE_AGAIN_TIMEOUT);
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(TIDEWIRE_WAKE_MS - 10));
  EXPECT_EQ(p.receiver.ReceiveEvent(nullptr, 5000, -1, -1), TIDEWIRE_AGAIN_TIMEOUT);
  EXPECT_TRUE(p.receiver.IsLinkActive());
}

TEST(TidewireListener, AcceptWithoutReceiverTimesOutAndAnyAddressWorks) {
  TidewireListener any;
  ASSERT_EQ(any.Listen(nullptr, 0), 0);
  EXPECT_GT(any.GetPort(), 0);
  Tidewire* link = nullptr;
  EXPECT_EQ(any.Accept(20, &link), TIDEWIRE_AGAIN_TIMEOUT);
  EXPECT_EQ(link, nullptr);
  TidewireListener clash;
  EXPECT_EQ(clash.Listen("127.0.0.1", any.GetPort()), TIDEWIRE_ERR_BIND);
  any.Close();
  EXPECT_EQ(any.Accept(0, &link), TIDEWIRE_ERR_NOT_CONNECTED);
}

}  // namespace
