// Data-link peers that misbehave on purpose, written with raw sockets: silence
// after the hello, half frames, lengths that lie, huge announced lengths, random
// bytes and a trickle. The receiver must end with a failure status within its
// idle bound (or at once where the bytes are plainly wrong), keep the records it
// already had, and never crash or grow its memory with what it was promised.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <random>

#include "daq_server_util_def.h"
#include "fault_support.h"
#include "orxa_event_builder.h"
#include "tidewire.h"

using namespace faults;

namespace {

constexpr int kIdleMs = 300;

// The link's hello, as the server side writes it.
bool hello(RawPeer& peer) {
  const uint32_t mine[2] = {0x5457494Bu, 1};
  char theirs[8];
  return peer.accept_one(5000) && peer.write(mine, sizeof mine) &&
         peer.read(theirs, sizeof theirs, 5000);
}

// A receiver connected to the peer, started with the idle bound of the suite.
template <class Receiver>
std::unique_ptr<Receiver> attach(RawPeer& peer, int depth = 100) {
  auto r = std::make_unique<Receiver>(depth, 0);
  daq_server_reply rep;
  clean_reply(&rep);
  std::snprintf(rep.host, sizeof rep.host, "127.0.0.1");
  rep.port = peer.port();
  bool failed = r->set_reply(&rep);
  clean_reply(&rep);
  auto accepted = std::async(std::launch::async, [&] { return hello(peer); });
  failed = r->connect() || failed;
  if (!accepted.get() || failed || r->set_idle_timeout(kIdleMs) || r->start_receiver(false))
    return nullptr;
  return r;
}

std::string event(int format, uint64_t n, int nvalues = 16) {
  OrxaEventBuilder b(format);
  std::vector<float> v(static_cast<size_t>(nvalues), 1.0f);
  orxa_spect_input in{0.0f, 1.0f, nvalues, 1, 0.0f, v.data(), nullptr};
  b.begin(n, time_stamp{static_cast<uint32_t>(1000000 + n), 0});
  b.add_spectra("SPECT", ORXA_DT_SPECTRUM, &in, 1, false);
  size_t length = 0;
  const char* ev = b.finish(&length);
  return ev == nullptr ? std::string() : std::string(ev, length);
}

std::string framed(const std::string& message) {
  uint32_t length = static_cast<uint32_t>(message.size());
  return std::string(reinterpret_cast<const char*>(&length), sizeof length) + message;
}

// Waits for the thread to end; the seconds it took from `since`, or -1.
template <class Receiver>
double ended_after(Receiver& r, Clock::time_point since, int timeout_ms = 10000) {
  if (!wait_until([&] { return r.if_thread_is_over(); }, timeout_ms)) return -1;
  return seconds_since(since);
}

// Idle bound, farewell pause and a loaded machine's slack.
constexpr double kIdleEnd = kIdleMs / 1000.0 + 2.0;

}  // namespace

TEST(HostileDataLink, SilenceAfterTheHelloEndsAtTheIdleBound) {
  RawPeer peer;
  auto legacy = attach<EqDAQdata>(peer);
  ASSERT_TRUE(legacy);
  double t = ended_after(*legacy, Clock::now());
  EXPECT_GE(t, kIdleMs / 1000.0 - 0.05);
  EXPECT_LT(t, kIdleEnd);
  EXPECT_EQ(legacy->get_end_data_status(), TIDEWIRE_ERR_IDLE);
  EXPECT_STRNE(legacy->get_link_failure_string(), "Unknown");
  std::printf("silent peer, idle bound %d ms: ended after %.3f s: %s\n", kIdleMs, t,
              legacy->get_link_failure_string());

  RawPeer peer2;
  auto r2024 = attach<EqDAQdata2024>(peer2);
  ASSERT_TRUE(r2024);
  t = ended_after(*r2024, Clock::now());
  EXPECT_LT(t, kIdleEnd);
  EXPECT_EQ(r2024->get_end_data_status(), TIDEWIRE_ERR_IDLE);
}

TEST(HostileDataLink, HalfFrameEndsReceptionAndKeepsEarlierRecords) {
  for (bool close_after : {false, true}) {
    SCOPED_TRACE(close_after ? "then closed" : "left open");
    RawPeer peer;
    auto r = attach<EqDAQdata>(peer);
    ASSERT_TRUE(r);
    for (uint64_t n = 1; n <= 3; ++n) ASSERT_TRUE(peer.write(framed(event(ORXA_FORMAT_LEGACY, n))));
    std::string half = framed(event(ORXA_FORMAT_LEGACY, 4));
    ASSERT_TRUE(peer.write(half.substr(0, half.size() / 2)));
    ASSERT_TRUE(wait_until([&] { return r->get_number_of_entries() == 3; }, 5000));
    auto sent = Clock::now();
    if (close_after) peer.close_client();
    double t = ended_after(*r, sent);
    EXPECT_LT(t, close_after ? 1.5 : kIdleEnd);
    EXPECT_EQ(r->get_end_data_status(), close_after ? TIDEWIRE_ERR_TRUNCATED : TIDEWIRE_ERR_IDLE);
    std::printf("half frame, %s: ended after %.3f s, status %d\n",
                close_after ? "then closed" : "left open", t, r->get_end_data_status());
    Drained d = drain(*r, 5000);
    EXPECT_EQ(d.events, 3u);
    EXPECT_EQ(d.first, 1u);
    EXPECT_EQ(d.out_of_order, 0u);
  }
}

TEST(HostileDataLink, LyingLengthsEndReceptionAtOnce) {
  std::string good = event(ORXA_FORMAT_LEGACY, 7);
  struct Case {
    const char* what;
    std::string bytes;
    int status;
  };
  std::string longer = good;
  uint32_t claimed = static_cast<uint32_t>(good.size() + 8);
  std::memcpy(&longer[4], &claimed, sizeof claimed);  // event_length beyond the frame
  uint32_t tiny = 8;
  std::string short_frame = std::string(reinterpret_cast<char*>(&tiny), 4) + good.substr(0, 8);
  uint32_t zero = 0;
  std::vector<Case> cases = {
      {"event length beyond the frame", framed(longer), TIDEWIRE_ERR_LENGTH},
      {"frame shorter than a header", short_frame, TIDEWIRE_ERR_LENGTH},
      {"zero frame length", std::string(reinterpret_cast<char*>(&zero), 4), TIDEWIRE_ERR_TOO_LARGE},
      {"no known pattern", framed(std::string(40, '\x5a')), TIDEWIRE_ERR_UNKNOWN_KIND},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RawPeer peer;
    auto r = attach<EqDAQdata>(peer);
    ASSERT_TRUE(r);
    ASSERT_TRUE(peer.write(framed(good)));
    ASSERT_TRUE(peer.write(c.bytes));
    double t = ended_after(*r, Clock::now());
    EXPECT_LT(t, 1.5);
    EXPECT_EQ(r->get_end_data_status(), c.status);
    EXPECT_EQ(r->get_number_of_entries(), 1);
    std::printf("%s: ended after %.3f s, status %d\n", c.what, t, r->get_end_data_status());
  }
}

TEST(HostileDataLink, HugeAnnouncedLengthsCostNoMemory) {
  // Above the cap: refused as soon as the prefix is read.
  {
    RawPeer peer;
    auto r = attach<EqDAQdata2024>(peer);
    ASSERT_TRUE(r);
    uint32_t huge = 0xffffffffu;
    ASSERT_TRUE(peer.write(&huge, sizeof huge));
    EXPECT_LT(ended_after(*r, Clock::now()), 1.5);
    EXPECT_EQ(r->get_end_data_status(), TIDEWIRE_ERR_TOO_LARGE);
  }
  // Under the cap, with a header that agrees, and then nothing: the idle bound
  // ends it and the promise is never allocated.
  RawPeer peer;
  auto r = attach<EqDAQdata>(peer);
  ASSERT_TRUE(r);
  long heap_before = heap_bytes();
  std::string head = event(ORXA_FORMAT_LEGACY, 1).substr(0, sizeof(orxa_eventheader));
  uint32_t promised = 200u << 20;
  std::memcpy(&head[4], &promised, sizeof promised);
  ASSERT_TRUE(peer.write(&promised, sizeof promised));
  ASSERT_TRUE(peer.write(head));
  EXPECT_LT(ended_after(*r, Clock::now()), kIdleEnd);
  EXPECT_EQ(r->get_end_data_status(), TIDEWIRE_ERR_IDLE);
  long grown = heap_bytes() - heap_before;
  EXPECT_LT(grown, 4l << 20);
  std::printf("200 MB announced, nothing sent: heap grew by %ld bytes\n", grown);
}

TEST(HostileDataLink, RandomBytesEndReceptionWithoutCrash) {
  for (unsigned seed = 1; seed <= 8; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937 random(seed);
    std::string noise(16384, '\0');
    for (char& c : noise) c = static_cast<char>(random());
    if (seed % 2 == 0) {
      // A plausible frame length, so the noise reaches the message checks.
      uint32_t length = 36 + seed * 8;
      std::memcpy(&noise[0], &length, sizeof length);
    }
    RawPeer peer;
    auto r = attach<EqDAQdata>(peer);
    ASSERT_TRUE(r);
    peer.write(noise);
    double t = ended_after(*r, Clock::now());
    EXPECT_LT(t, kIdleEnd);
    EXPECT_GT(r->get_end_data_status(), 0);
    std::printf("random bytes, seed %u: ended after %.3f s, status %d\n", seed, t,
                r->get_end_data_status());
  }
}

// Well-framed events whose contents are noise reach the conversion: every one is
// stored or refused (and counted), and the stream still ends on its mark.
TEST(HostileDataLink, RandomEventContentsAreStoredOrCountedAsDropped) {
  constexpr int kEvents = 200;
  for (int format : {ORXA_FORMAT_LEGACY, ORXA_FORMAT_2024}) {
    SCOPED_TRACE(format);
    RawPeer peer;
    std::unique_ptr<EqDAQdata> legacy;
    std::unique_ptr<EqDAQdata2024> r2024;
    if (format == ORXA_FORMAT_LEGACY)
      legacy = attach<EqDAQdata>(peer, 1000);
    else
      r2024 = attach<EqDAQdata2024>(peer, 1000);
    ASSERT_TRUE(legacy || r2024);
    size_t head =
        format == ORXA_FORMAT_LEGACY ? sizeof(orxa_eventheader) : sizeof(orxa_eventheader_2024);
    std::mt19937 random(42);
    for (int i = 1; i <= kEvents; ++i) {
      std::string ev = event(format, static_cast<uint64_t>(i), 64);
      // Keep the header (so the link passes it on) and scramble everything after it.
      for (size_t k = head; k < ev.size(); ++k)
        if (random() % 4 == 0) ev[k] = static_cast<char>(random());
      ASSERT_TRUE(peer.write(framed(ev)));
    }
    std::string end =
        event(format, format == ORXA_FORMAT_LEGACY ? 0xfffffffdull : 0xfffffffffffffffdull, 1);
    ASSERT_TRUE(peer.write(framed(end)));
    if (legacy) {
      ASSERT_GE(ended_after(*legacy, Clock::now()), 0);
      EXPECT_EQ(legacy->get_end_data_status(), -3);
      EXPECT_EQ(
          static_cast<uint64_t>(legacy->get_number_of_entries()) + legacy->get_dropped_events(),
          static_cast<uint64_t>(kEvents));
    } else {
      ASSERT_GE(ended_after(*r2024, Clock::now()), 0);
      EXPECT_EQ(r2024->get_end_data_status(), -3);
      EXPECT_EQ(static_cast<uint64_t>(r2024->get_number_of_entries()) + r2024->get_dropped_events(),
                static_cast<uint64_t>(kEvents));
    }
  }
}

TEST(HostileDataLink, TrickleEndsAtTheIdleBound) {
  RawPeer peer;
  auto r = attach<EqDAQdata>(peer);
  ASSERT_TRUE(r);
  std::string ev = framed(event(ORXA_FORMAT_LEGACY, 1, 512));
  std::atomic<bool> stop{false};
  auto started = Clock::now();
  std::thread trickle([&] {
    for (char c : ev) {
      if (stop || !peer.write(&c, 1)) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  double t = ended_after(*r, started);
  stop = true;
  trickle.join();
  EXPECT_LT(t, kIdleEnd);
  EXPECT_EQ(r->get_end_data_status(), TIDEWIRE_ERR_IDLE);
  EXPECT_EQ(r->get_number_of_entries(), 0);
  std::printf("trickle of a byte every 10 ms: ended after %.3f s\n", t);
}
