// Messages of every kind from 0 bytes of data to 64 MB cross a loopback link in
// order and intact, including sizes around the reader's staging and direct-read
// thresholds.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "link_test_support.h"

using namespace linktest;

namespace {

TEST(TidewireLoopbackSizes, MessagesOfEverySizeArriveInOrderAndIntact) {
  LinkPair p;
  ASSERT_TRUE(p.Open());
  EXPECT_FALSE(p.receiver.get_swap());
  p.server->SetSendTimeout(60000);  // the receiver checks 64 MB messages meanwhile
  std::vector<Bytes> messages;
  uint32_t n = 0;
  for (std::size_t size : {0, 1, 3, 100, 4096, 65535, 65536, 300000, 1 << 20, 64 << 20}) {
    messages.push_back(legacy_event(n++, size));
    messages.push_back(event_2024(n++, size));
    messages.push_back(slow_block(ORXA_SLOW_PATTERN, n++, size));
  }

  std::thread sender([&] {
    for (const Bytes& m : messages) EXPECT_EQ(send_bytes(*p.server, m), 0);
  });
  for (std::size_t i = 0; i < messages.size(); ++i) {
    SCOPED_TRACE(messages[i].size());
    ASSERT_EQ(receive(p.receiver, 500), 0);
    switch (i % 3) {
      case 0:
        EXPECT_NE(p.receiver.get_event_header(), nullptr);
        break;
      case 1:
        EXPECT_NE(p.receiver.get_event_header_2024(), nullptr);
        break;
      default:
        EXPECT_NE(p.receiver.get_slow_data_header(), nullptr);
        break;
    }
    uint32_t length = 0;
    const char* got = p.receiver.get_message(&length);
    ASSERT_EQ(length, messages[i].size());
    EXPECT_EQ(std::memcmp(got, messages[i].data(), length), 0);
  }
  sender.join();
}

}  // namespace
