// Monitor queries from two application threads while the receiver thread fills
// the cache and regulates a streaming server: one thread takes records out, the
// other reads status, bounds, unseen records and the receiver's counters. Run
// under ThreadSanitizer too.
#include <gtest/gtest.h>

#include <atomic>

#include "daq_receiver_counters.h"
#include "receiver_test_support.h"

namespace {

using namespace rtest;

template <class G>
class MonitorThreads : public ::testing::Test {};

using Generations = ::testing::Types<Legacy, Gen2024>;
TYPED_TEST_SUITE(MonitorThreads, Generations);

TYPED_TEST(MonitorThreads, TakerAndReaderRunBesideTheReceiver) {
  constexpr uint64_t kEvents = 3000;
  constexpr int kDepth = 20;
  StreamServer server(TypeParam::k2024);
  typename TypeParam::Receiver r(kDepth, 0);
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

  std::atomic<bool> taker_done{false};
  bool filled = false;
  std::vector<uint64_t> taken;
  std::thread taker([&] {
    auto deadline = Clock::now() + std::chrono::seconds(100);
    while (Clock::now() < deadline) {
      std::vector<EqData_dtype*>* out = nullptr;
      int rc = r.get_monitor(&out, nullptr, nullptr);
      if (rc & DAQ_MON_DATA) {
        taken.push_back(static_cast<uint64_t>((*out)[0]->data->get_mpnum()));
        release_query_result(out);
        if (taken.size() == kEvents / 2) {
          // Idle once with a full cache, so the server is surely paused and resumed.
          filled = wait_for([&] { return r.get_number_of_entries() == kDepth; }, 10000);
          std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
      } else if (rc & DAQ_MON_NO_THREAD) {
        break;
      } else {
        std::this_thread::sleep_for(std::chrono::microseconds(100));
      }
    }
    taker_done = true;
  });

  uint64_t reads = 0, bad_status = 0, bad_copies = 0, bad_counters = 0;
  DaqReceiverCounters seen;
  while (!taker_done) {
    // Counts never go back, and the last event's number and time stamp belong together.
    DaqReceiverCounters c = daq_receiver_counters(r);
    time_stamp stamp = stamp_of(c.last_event);
    if (c.events_received < seen.events_received || c.bytes_received < seen.bytes_received ||
        c.paused_us < seen.paused_us || c.last_event > kEvents ||
        (c.last_event != 0 && (c.last_seconds != stamp.timeup || c.last_micros != stamp.timelow)))
      ++bad_counters;
    seen = c;
    int ent = -1;
    int status = r.get_monitor(&ent);
    if (ent < 0 || ent > kDepth || (status & (DAQ_MON_DATA | DAQ_MON_EMPTY)) == 0) ++bad_status;
    time_stamp first{}, last{};
    typename TypeParam::BoundNumber lo = 0, hi = 0;
    if (!r.get_monitor(&first, 0) && !r.get_monitor(&last, 1) && first.timeup > last.timeup)
      ++bad_status;
    if (!r.get_monitor(&lo, 0) && !r.get_monitor(&hi, 1) && lo > hi) ++bad_status;
    std::vector<EqData_dtype*>* out = nullptr;
    typename TypeParam::Record* rc = nullptr;
    int got = r.get_monitor(0, nullptr, &out, const_cast<char*>("SPECTRUM.CH"),
                            DAQ_GET_FIRST + EQCACHE_FIND_TIME + EQCACHE_FIND_NOTSEEN, 0, &rc);
    if (got & DAQ_MON_DATA) {
      ++reads;
      if (out->size() != 1 || (*out)[0]->data->get_spectrum(0) == nullptr) ++bad_copies;
      release_query_result(out);
    }
    r.get_number_of_entries();
  }
  taker.join();
  serve.join();
  EXPECT_FALSE(stats.timed_out);
  EXPECT_FALSE(stats.lost);
  EXPECT_FALSE(stats.farewell);
  EXPECT_TRUE(filled);
  // The idle made a pause and the stream ended unpaused: every pause request
  // was followed by a resume. Counted where they are sent: a server whose
  // events all fit in the socket buffers ends before it reads any of them.
  DaqReceiverCounters flow = daq_receiver_counters(r);
  EXPECT_GE(flow.pause_requests, 1u);
  EXPECT_EQ(flow.resumes_sent, flow.pause_requests);
  EXPECT_GE(stats.pauses, stats.resumes);
  EXPECT_EQ(bad_status, 0u);
  EXPECT_EQ(bad_copies, 0u);
  EXPECT_EQ(bad_counters, 0u);
  DaqReceiverCounters c = daq_receiver_counters(r);
  EXPECT_EQ(c.events_received, kEvents);
  EXPECT_EQ(c.last_event, kEvents);
  EXPECT_EQ(c.max_depth, static_cast<uint64_t>(kDepth));
  EXPECT_GE(c.resumes_sent, stats.resumes);
  EXPECT_GT(reads, 0u);
  ASSERT_EQ(taken.size(), kEvents);
  for (uint64_t i = 0; i < kEvents; ++i) ASSERT_EQ(taken[i], i + 1) << i;
  EXPECT_EQ(r.get_end_data_status(), -3);
}

}  // namespace
