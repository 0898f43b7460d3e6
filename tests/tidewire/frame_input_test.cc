// What the receiving end does with every kind of input: well-formed frames of
// each kind, frames split across calls, a peer of the other byte order, and
// hostile or broken frames, each of which must end reception with its own code
// and never read past a buffer.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "link_test_support.h"

using namespace linktest;

namespace {

struct Attached {
  RawPeer peer;
  Tidewire link{false};
  explicit Attached(bool swapped = false) {
    peer.Hello(swapped);
    EXPECT_EQ(peer.Attach(link), 0);
  }
};

TEST(TidewireReceive, EachKindIsRecognisedByItsPattern) {
  Attached a;
  a.peer.Frame(legacy_event(7, 100));
  a.peer.Frame(event_2024(0x123456789ull, 0));
  a.peer.Frame(slow_block(ORXA_SLOW_PATTERN, 3, 20));
  a.peer.Frame(slow_block(ORXA_SLOW_PATTERN_2024, 4, 0));

  ASSERT_EQ(receive(a.link), 0);
  ASSERT_NE(a.link.get_event_header(), nullptr);
  EXPECT_EQ(a.link.get_event_header()->event_number, 7u);
  EXPECT_EQ(a.link.get_event_header_2024(), nullptr);
  EXPECT_EQ(a.link.get_slow_data_header(), nullptr);
  EXPECT_EQ(received(a.link), legacy_event(7, 100));

  ASSERT_EQ(receive(a.link), 0);
  ASSERT_NE(a.link.get_event_header_2024(), nullptr);
  EXPECT_EQ(a.link.get_event_header_2024()->event_number, 0x123456789ull);
  EXPECT_EQ(a.link.get_event_header(), nullptr);

  ASSERT_EQ(receive(a.link), 0);
  ASSERT_NE(a.link.get_slow_data_header(), nullptr);
  EXPECT_EQ(a.link.get_slow_data_header()->channels_number, 3u);
  EXPECT_EQ(received(a.link), slow_block(ORXA_SLOW_PATTERN, 3, 20));

  ASSERT_EQ(receive(a.link), 0);
  ASSERT_NE(a.link.get_slow_data_header(), nullptr);
  EXPECT_EQ(a.link.get_slow_data_header()->pattern, ORXA_SLOW_PATTERN_2024);
  EXPECT_EQ(a.link.get_swap(), false);
}

TEST(TidewireReceive, FrameSplitAcrossCallsIsKeptThroughTryAgain) {
  Attached a;
  Bytes ev = legacy_event(9, 300 * 1024);  // larger than the staging buffer
  std::size_t half = ev.size() / 2;
  a.peer.Write32(static_cast<uint32_t>(ev.size()));
  a.peer.Write(ev.data(), 20);  // not even the whole header yet
  EXPECT_EQ(a.link.ReceiveEvent(nullptr, 0, -1, -1), TIDEWIRE_AGAIN_TIMEOUT);
  EXPECT_EQ(a.link.get_event_header(), nullptr);
  a.peer.Write(ev.data() + 20, half - 20);
  EXPECT_EQ(a.link.ReceiveEvent(nullptr, 0, -1, -1), TIDEWIRE_AGAIN_TIMEOUT);
  a.peer.Write(ev.data() + half, ev.size() - half);
  ASSERT_EQ(receive(a.link), 0);
  EXPECT_EQ(received(a.link), ev);
}

TEST(TidewireReceive, ManySmallFramesInOneWriteArriveInOrder) {
  Attached a;
  Bytes all;
  for (uint32_t i = 0; i < 500; ++i) {
    Bytes ev = legacy_event(i, i % 97);
    uint32_t len = static_cast<uint32_t>(ev.size());
    all.insert(all.end(), reinterpret_cast<unsigned char*>(&len),
               reinterpret_cast<unsigned char*>(&len) + 4);
    all.insert(all.end(), ev.begin(), ev.end());
  }
  std::thread writer([&] { a.peer.Write(all.data(), all.size()); });
  for (uint32_t i = 0; i < 500; ++i) {
    ASSERT_EQ(receive(a.link), 0) << i;
    ASSERT_EQ(received(a.link), legacy_event(i, i % 97)) << i;
    // Read as a structure: aligned for the widest field of any header.
    ASSERT_EQ(reinterpret_cast<uintptr_t>(a.link.get_event_header()) % alignof(uint64_t), 0u) << i;
  }
  writer.join();
}

TEST(TidewireReceive, PeerOfOtherByteOrderGetsHostOrderHeaders) {
  Attached a(true);
  EXPECT_TRUE(a.link.get_swap());

  Bytes ev = legacy_event(0x01020304, 8);
  Bytes body(ev.begin() + sizeof(orxa_eventheader), ev.end());
  for (std::size_t i = 0; i < sizeof(orxa_eventheader); i += 4)
    std::reverse(ev.begin() + i, ev.begin() + i + 4);
  a.peer.Frame(ev, true);
  ASSERT_EQ(receive(a.link), 0);
  orxa_eventheader* h = a.link.get_event_header();
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->event_number, 0x01020304u);
  EXPECT_EQ(h->event_length, ev.size());
  EXPECT_EQ(h->event_time.timeup, 1700000000u + 0x01020304u);
  EXPECT_EQ(Bytes(reinterpret_cast<unsigned char*>(h) + sizeof *h,
                  reinterpret_cast<unsigned char*>(h) + ev.size()),
            body);  // data after the header is left as sent

  Bytes ev24 = event_2024(0x1122334455667788ull, 0);
  orxa_eventheader_2024 h24;
  std::memcpy(&h24, ev24.data(), sizeof h24);
  h24.pattern = __builtin_bswap32(h24.pattern);
  h24.event_length =
      static_cast<int64_t>(__builtin_bswap64(static_cast<uint64_t>(h24.event_length)));
  h24.event_number = __builtin_bswap64(h24.event_number);
  h24.event_time.timeup = __builtin_bswap32(h24.event_time.timeup);
  std::memcpy(ev24.data(), &h24, sizeof h24);
  a.peer.Frame(ev24, true);
  ASSERT_EQ(receive(a.link), 0);
  ASSERT_NE(a.link.get_event_header_2024(), nullptr);
  EXPECT_EQ(a.link.get_event_header_2024()->event_number, 0x1122334455667788ull);
  EXPECT_EQ(a.link.get_event_header_2024()->event_time.timeup, 1700000000u);

  // A frame whose head arrived before the rest is turned into host order once.
  a.peer.Write32(static_cast<uint32_t>(ev24.size()), true);
  a.peer.Write(ev24.data(), sizeof h24 + 4);
  EXPECT_EQ(a.link.ReceiveEvent(nullptr, 0, -1, -1), TIDEWIRE_AGAIN_TIMEOUT);
  EXPECT_EQ(a.link.ReceiveEvent(nullptr, 0, -1, -1), TIDEWIRE_AGAIN_TIMEOUT);
  a.peer.Write(ev24.data() + sizeof h24 + 4, ev24.size() - sizeof h24 - 4);
  ASSERT_EQ(receive(a.link), 0);
  ASSERT_NE(a.link.get_event_header_2024(), nullptr);
  EXPECT_EQ(a.link.get_event_header_2024()->event_number, 0x1122334455667788ull);
  EXPECT_EQ(a.link.get_event_header_2024()->event_length, static_cast<int64_t>(ev24.size()));
}

struct BadFrame {
  const char* what;
  Bytes prefix_and_body;
  int expected;
};

Bytes framed(const Bytes& body, uint32_t prefix) {
  Bytes b(4 + body.size());
  std::memcpy(b.data(), &prefix, 4);
  if (!body.empty()) std::memcpy(b.data() + 4, body.data(), body.size());
  return b;
}

Bytes with_length(Bytes ev, uint32_t stated) {
  std::memcpy(ev.data() + 4, &stated, 4);
  return ev;
}

TEST(TidewireReceive, BadFramesEndReceptionWithTheirOwnStickyCode) {
  Bytes ev = legacy_event(1, 10);
  Bytes ev24 = event_2024(1, 10);
  int64_t wrong24 = 1000;
  Bytes bad24 = ev24;
  std::memcpy(bad24.data() + 8, &wrong24, 8);
  Bytes unknown = ev;
  uint32_t junk = 0xDEADBEEF;
  std::memcpy(unknown.data(), &junk, 4);
  Bytes slow = slow_block(ORXA_SLOW_PATTERN, 1, 4);

  const BadFrame cases[] = {
      {"length above the cap", framed(ev, TIDEWIRE_MAX_MESSAGE + 1u), TIDEWIRE_ERR_TOO_LARGE},
      {"length 0", framed(Bytes(), 0), TIDEWIRE_ERR_TOO_LARGE},
      {"largest length", framed(ev, 0xFFFFFFFFu), TIDEWIRE_ERR_TOO_LARGE},
      {"unknown pattern", framed(unknown, static_cast<uint32_t>(unknown.size())),
       TIDEWIRE_ERR_UNKNOWN_KIND},
      {"event_length too small", framed(with_length(ev, 36), static_cast<uint32_t>(ev.size())),
       TIDEWIRE_ERR_LENGTH},
      {"event_length too large",
       framed(with_length(ev, 1u << 20), static_cast<uint32_t>(ev.size())), TIDEWIRE_ERR_LENGTH},
      {"2024 event_length", framed(bad24, static_cast<uint32_t>(bad24.size())),
       TIDEWIRE_ERR_LENGTH},
      {"slow data_length", framed(with_length(slow, 99), static_cast<uint32_t>(slow.size())),
       TIDEWIRE_ERR_LENGTH},
      {"frame shorter than the header", framed(Bytes(ev.begin(), ev.begin() + 20), 20),
       TIDEWIRE_ERR_LENGTH},
      {"frame shorter than a pattern", framed(Bytes{0xEE, 0xFF}, 2), TIDEWIRE_ERR_LENGTH},
  };
  for (const BadFrame& c : cases) {
    SCOPED_TRACE(c.what);
    Attached a;
    a.peer.Frame(legacy_event(5, 0));  // a good frame first is still delivered
    a.peer.Write(c.prefix_and_body.data(), c.prefix_and_body.size());
    a.peer.Frame(legacy_event(6, 0));  // nothing after the bad frame is
    ASSERT_EQ(receive(a.link), 0);
    EXPECT_EQ(receive(a.link), c.expected);
    EXPECT_EQ(a.link.get_event_header(), nullptr);
    EXPECT_EQ(a.link.ReceiveEvent(nullptr, -1, -1, -1), c.expected);
    EXPECT_TRUE(a.link.IsLinkActive());  // the farewell can still be sent
  }
}

TEST(TidewireReceive, PeerClosingMidFrameIsTruncationBetweenFramesIsLoss) {
  {
    Attached a;
    Bytes ev = legacy_event(3, 1000);
    a.peer.Write32(static_cast<uint32_t>(ev.size()));
    a.peer.Write(ev.data(), 500);
    a.peer.CloseRaw();
    EXPECT_EQ(receive(a.link), TIDEWIRE_ERR_TRUNCATED);
    EXPECT_FALSE(a.link.IsLinkActive());
  }
  {
    Attached a;
    a.peer.Write32(100);  // a prefix alone
    a.peer.CloseRaw();
    EXPECT_EQ(receive(a.link), TIDEWIRE_ERR_TRUNCATED);
  }
  {
    Attached a;
    a.peer.Frame(legacy_event(4, 0));
    a.peer.CloseRaw();
    EXPECT_EQ(receive(a.link), 0);
    EXPECT_EQ(receive(a.link), TIDEWIRE_ERR_LOST);
    EXPECT_FALSE(a.link.IsLinkActive());
    EXPECT_EQ(receive(a.link), TIDEWIRE_ERR_LOST);
  }
}

TEST(TidewireReceive, LyingPrefixCostsNothingUntilBytesArrive) {
  Attached a;
  a.peer.Write32(TIDEWIRE_MAX_MESSAGE);
  Bytes ev = legacy_event(1, 0);
  uint32_t stated = TIDEWIRE_MAX_MESSAGE;
  std::memcpy(ev.data() + 4, &stated, 4);
  a.peer.Write(ev.data(), ev.size());
  EXPECT_EQ(a.link.ReceiveEvent(nullptr, 0, -1, -1), TIDEWIRE_AGAIN_TIMEOUT);
  a.peer.CloseRaw();
  EXPECT_EQ(receive(a.link), TIDEWIRE_ERR_TRUNCATED);
}

TEST(TidewireHandshake, ForeignOrMissingHelloFailsTheAttach) {
  {
    RawPeer peer;
    peer.Hello(false, 0x12345678u);
    Tidewire link(false);
    EXPECT_EQ(peer.Attach(link), TIDEWIRE_ERR_HANDSHAKE);
    EXPECT_FALSE(link.IsLinkActive());
    EXPECT_EQ(link.ReceiveEvent(nullptr, -1, -1, -1), TIDEWIRE_ERR_NOT_CONNECTED);
  }
  {
    RawPeer peer;
    peer.Hello(true, 0x5457494Bu, 2);
    Tidewire link(false);
    EXPECT_EQ(peer.Attach(link), TIDEWIRE_ERR_HANDSHAKE);
  }
  {
    RawPeer peer;
    Tidewire link(false);
    EXPECT_EQ(peer.Attach(link, 50), TIDEWIRE_ERR_CONNECT_TIMEOUT);
  }
}

TEST(TidewireLink, NeverConnectedLinkAnswersNotConnected) {
  Tidewire link(false);
  EXPECT_FALSE(link.IsLinkActive());
  EXPECT_EQ(link.ReceiveEvent(nullptr, -1, -1, -1), TIDEWIRE_ERR_NOT_CONNECTED);
  Bytes ev = legacy_event(1, 0);
  EXPECT_EQ(send_bytes(link, ev), TIDEWIRE_ERR_NOT_CONNECTED);
  EXPECT_EQ(link.get_event_header(), nullptr);
  EXPECT_EQ(link.get_event_header_2024(), nullptr);
  EXPECT_EQ(link.get_slow_data_header(), nullptr);
  link.Disconnect();
  EXPECT_EQ(link.ReceiveEvent(nullptr, -1, -1, -1), TIDEWIRE_ERR_NOT_CONNECTED);
}

TEST(TidewireLink, SetNoDelaySetsTheFlags) {
  Tidewire link(false);
  EXPECT_FALSE(link.no_delay);
  EXPECT_TRUE(link.owncntr);
  link.SetNoDelay();
  EXPECT_TRUE(link.no_delay);
  EXPECT_FALSE(link.owncntr);
}

TEST(TidewireSend, MalformedMessagesAndBadArgumentsSendNothing) {
  Attached a;
  Bytes ev = legacy_event(1, 4);
  iovec v{ev.data(), ev.size()};
  EXPECT_EQ(a.link.SendEvent(nullptr, 1, SendEvent_NOACK), TIDEWIRE_ERR_ARGUMENT);
  EXPECT_EQ(a.link.SendEvent(&v, 0, SendEvent_NOACK), TIDEWIRE_ERR_ARGUMENT);
  EXPECT_EQ(a.link.SendEvent(&v, 1, 7), TIDEWIRE_ERR_ARGUMENT);
  iovec null_base{nullptr, 4};
  EXPECT_EQ(a.link.SendEvent(&null_base, 1, SendEvent_NOACK), TIDEWIRE_ERR_ARGUMENT);
  Bytes liar = with_length(ev, 12345);
  EXPECT_EQ(send_bytes(a.link, liar), TIDEWIRE_ERR_BAD_MESSAGE);
  Bytes junk(40, 0x55);
  EXPECT_EQ(send_bytes(a.link, junk), TIDEWIRE_ERR_BAD_MESSAGE);
  std::vector<iovec> too_many(1024, iovec{ev.data(), 0});
  too_many[0].iov_len = ev.size();
  EXPECT_EQ(a.link.SendEvent(too_many.data(), 1024, SendEvent_NOACK), TIDEWIRE_ERR_ARGUMENT);
  // The header split over three buffers is still checked and sent whole.
  iovec parts[3] = {{ev.data(), 3}, {ev.data() + 3, 30}, {ev.data() + 33, ev.size() - 33}};
  EXPECT_EQ(a.link.SendEvent(parts, 3, SendEvent_NOACK), 0);
  // A long gather list: one byte per buffer after the header.
  std::vector<iovec> bytes_apart{{ev.data(), 36}};
  for (std::size_t i = 36; i < ev.size(); ++i) bytes_apart.push_back({ev.data() + i, 1});
  EXPECT_EQ(
      a.link.SendEvent(bytes_apart.data(), static_cast<int>(bytes_apart.size()), SendEvent_NOACK),
      0);

  unsigned char hello[8];
  ASSERT_EQ(read(a.peer.raw_fd(), hello, sizeof hello), 8);
  for (int copy = 0; copy < 2; ++copy) {
    uint32_t length = 0;
    ASSERT_EQ(read(a.peer.raw_fd(), &length, 4), 4);
    EXPECT_EQ(length, ev.size());
    Bytes got(ev.size());
    ASSERT_EQ(read(a.peer.raw_fd(), got.data(), got.size()), static_cast<ssize_t>(got.size()));
    EXPECT_EQ(got, ev);
  }
}

// A host name out of a hostile reply cannot split the link's line in two.
TEST(TidewireConnect, HostileHostNameStillGivesOneLine) {
  Tidewire link(false);
  testing::internal::CaptureStderr();
  EXPECT_NE(link.Connect("bad\nhost\r.invalid", 1234), 0);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "Tidewire::Connect() bad?host?.invalid:1234: host name not resolved\n");
}

TEST(TidewireConnect, FailuresGiveTheirCodes) {
  Tidewire link(false);
  EXPECT_EQ(link.Connect(static_cast<const char*>(nullptr), 1), TIDEWIRE_ERR_ARGUMENT);
  EXPECT_EQ(link.Connect("127.0.0.1", 0), TIDEWIRE_ERR_ARGUMENT);
  EXPECT_EQ(link.Connect("no-such-host.invalid", 1234), TIDEWIRE_ERR_RESOLVE);

  TidewireListener closed;
  ASSERT_EQ(closed.Listen("127.0.0.1", 0), 0);
  int port = closed.GetPort();
  closed.Close();
  char host[] = "127.0.0.1";
  EXPECT_EQ(link.Connect(host, port), TIDEWIRE_ERR_CONNECT);

  // A TCP server that never says hello: the connect time-out bounds the wait.
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(s, 1), 0);
  socklen_t len = sizeof addr;
  getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
  link.SetConnectTimeout(100);
  EXPECT_EQ(link.Connect("localhost", ntohs(addr.sin_port)), TIDEWIRE_ERR_CONNECT_TIMEOUT);
  EXPECT_FALSE(link.IsLinkActive());
  close(s);
}

}  // namespace
