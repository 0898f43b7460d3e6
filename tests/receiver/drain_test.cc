// A long stream through a small cache: the receiver pauses and resumes the server
// whenever the cache fills, while the application takes every record out. Every
// event must arrive exactly once and in order, and the cache never grows.
#include <gtest/gtest.h>

#include <algorithm>

#include "receiver_test_support.h"

namespace {

using namespace rtest;

template <class G>
class ReceiverDrain : public ::testing::Test {};

using Generations = ::testing::Types<Legacy, Gen2024>;
TYPED_TEST_SUITE(ReceiverDrain, Generations);

TYPED_TEST(ReceiverDrain, EveryEventArrivesOnceInOrderThroughADepthOf50) {
  const uint64_t kEvents = getenv("DRAIN_EVENTS") ? strtoull(getenv("DRAIN_EVENTS"), nullptr, 10) : 100000;
  StreamServer server(TypeParam::k2024);
  typename TypeParam::Receiver r(50, 0);
  ASSERT_TRUE(server.AttachReceiver(r));
  ASSERT_FALSE(r.start_receiver(false));
  StreamStats stats;
  std::thread serve([&] {
    EventMaker maker(TypeParam::kFormat);
    Bytes end = maker.bare(TypeParam::kEndOfStream);
    Bytes ev;
    stats = serve_stream(server.link(), TypeParam::k2024, kEvents,
                         [&](uint64_t n) -> const Bytes& { return ev = maker.spectrum(n); }, end);
  });

  auto t_start = Clock::now();
  uint64_t expected = 1;
  uint64_t out_of_order = 0;
  int most_records = 0;
  auto deadline = Clock::now() + std::chrono::seconds(240);
  for (uint64_t taken = 0; Clock::now() < deadline; ) {
    std::vector<EqData_dtype*>* out = nullptr;
    int rc = r.get_monitor(&out, nullptr, nullptr);
    if (rc & DAQ_MON_DATA) {
      uint64_t n = out->size() == 1 ? static_cast<uint64_t>((*out)[0]->data->get_mpnum()) : 0;
      if (n != expected) ++out_of_order;
      expected = n + 1;
      release(out);
      if (++taken % 512 == 0) most_records = std::max(most_records, r.get_number_of_entries());
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
  std::printf("%.1f s pauses and holds %llu, resumes %llu\n", std::chrono::duration<double>(Clock::now() - t_start).count(), static_cast<unsigned long long>(stats.pauses),
              static_cast<unsigned long long>(stats.resumes));
}

}  // namespace
