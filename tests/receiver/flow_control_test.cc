// Flow control and the end of a stream, as the server sees them over a real
// loopback link: the test sends events with the real encoder and records every
// control message the receiver thread sends back.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <thread>
#include <type_traits>

#include "daq_receiver_counters.h"
#include "receiver_test_support.h"

namespace {

using namespace rtest;

template <class G>
class ReceiverFlow : public ::testing::Test {
 protected:
  ReceiverFlow() : server(G::k2024), maker(G::kFormat) {}

  bool Start(int depth, int inc, int comm_mode = ORXA_DAQ_COMM_PUSH) {
    receiver = std::make_unique<typename G::Receiver>(depth, inc);
    if (!server.AttachReceiver(*receiver, comm_mode)) return false;
    return !receiver->start_receiver(false);
  }
  void SendEvents(uint64_t first, uint64_t last) {
    for (uint64_t n = first; n <= last; ++n) ASSERT_EQ(server.Send(maker.spectrum(n)), 0);
  }
  bool Ended() {
    return wait_for([this] { return receiver->if_thread_is_over(); });
  }
  static bool IsPause(const Control& c) { return c.number == G::kPause; }

  StreamServer server;
  EventMaker maker;
  std::unique_ptr<typename G::Receiver> receiver;
};

using Generations = ::testing::Types<Legacy, Gen2024>;
TYPED_TEST_SUITE(ReceiverFlow, Generations);

TYPED_TEST(ReceiverFlow, FullCachePausesHoldsThenResumesAfterTheApplicationTakesARecord) {
  ASSERT_TRUE(this->Start(3, 0));
  this->SendEvents(1, 5);
  auto& s = this->server;
  // One pause (the third event's time), then holds (wall-clock time) every ~50 ms.
  ASSERT_TRUE(s.Read(5000, [](const std::vector<Control>& c) { return c.size() >= 5; }));
  for (const Control& c : s.controls) {
    EXPECT_EQ(c.number, TypeParam::kPause);
    EXPECT_EQ(c.length, TypeParam::kControlLength);
  }
  time_stamp third = stamp_of(3);
  EXPECT_EQ(s.controls[0].time.timeup, third.timeup);
  EXPECT_EQ(s.controls[0].time.timelow, third.timelow);
  for (size_t i = 1; i < s.controls.size(); ++i) EXPECT_GT(s.controls[i].time.timeup, 1600000000u);
  auto span = s.controls.back().at - s.controls[1].at;
  EXPECT_GE(span, std::chrono::milliseconds(40 * static_cast<int>(s.controls.size() - 2)));
  EXPECT_EQ(this->receiver->get_cache()->GetDepth(), 3);  // increment 0: never grown
  // While the pause lasts, its time shows, counted up to the last hold at least (a
  // message is counted once sent, so the server may read it first).
  auto* r = this->receiver.get();
  EXPECT_TRUE(
      wait_for([&] { return daq_receiver_counters(*r).holds_sent >= s.controls.size() - 1; }));
  DaqReceiverCounters held = daq_receiver_counters(*r);
  EXPECT_EQ(held.pause_requests, 1u);
  EXPECT_GE(held.paused_us, 40000u * (s.controls.size() - 2));

  std::vector<EqData_dtype*>* out = nullptr;
  EXPECT_EQ(this->receiver->get_monitor(&out, nullptr, nullptr), DAQ_MON_DATA);
  release_query_result(out);
  size_t before = s.controls.size();
  ASSERT_TRUE(s.Read(5000, [&](const std::vector<Control>& c) {
    return std::any_of(c.begin() + static_cast<long>(before), c.end(),
                       [](const Control& x) { return x.number != TypeParam::kPause; });
  }));
  auto resume = std::find_if(s.controls.begin() + static_cast<long>(before), s.controls.end(),
                             [](const Control& x) { return x.number != TypeParam::kPause; });
  ASSERT_NE(resume, s.controls.end());
  EXPECT_EQ(resume->number, 3u);
  long resume_at = resume - s.controls.begin();
  // Receiving again: the fourth event fills the cache and brings a new pause.
  ASSERT_TRUE(wait_for([&] { return this->receiver->get_number_of_entries() == 3; }));
  ASSERT_TRUE(s.Read(
      5000, [&](const std::vector<Control>& c) { return c.back().number == TypeParam::kPause; }));
  EXPECT_EQ(std::count_if(s.controls.begin() + resume_at, s.controls.end(),
                          [](const Control& x) { return x.number != TypeParam::kPause; }),
            1);
  this->receiver->stop_receiver();
}

TYPED_TEST(ReceiverFlow, IncrementGrowsTheDepthWithOneHoldThenResumes) {
  ASSERT_TRUE(this->Start(3, 10));
  this->SendEvents(1, 5);
  auto& s = this->server;
  ASSERT_TRUE(s.Read(5000, [](const std::vector<Control>& c) {
    return std::any_of(c.begin(), c.end(),
                       [](const Control& x) { return x.number != TypeParam::kPause; });
  }));
  ASSERT_EQ(s.controls.size(), 3u);
  EXPECT_EQ(s.controls[0].number, TypeParam::kPause);  // pause request
  EXPECT_EQ(s.controls[1].number, TypeParam::kPause);  // the one hold
  EXPECT_GT(s.controls[1].time.timeup, 1600000000u);
  EXPECT_EQ(s.controls[2].number, 3u);  // resume after the third event
  EXPECT_EQ(this->receiver->get_cache()->GetDepth(), 13);
  ASSERT_TRUE(wait_for([&] { return this->receiver->get_number_of_entries() == 5; }));
  s.Read(300);
  EXPECT_EQ(s.controls.size(), 3u);  // below the depth now: nothing more to say
  this->receiver->stop_receiver();
}

TYPED_TEST(ReceiverFlow, HandshakeAcknowledgesEveryEventWithItsOwnHeader) {
  ASSERT_TRUE(this->Start(10, 0, ORXA_DAQ_COMM_HNDS));
  testing::internal::CaptureStdout();
  std::vector<Bytes> sent;
  for (uint64_t n = 1; n <= 4; ++n) {
    sent.push_back(this->maker.spectrum(n));
    ASSERT_EQ(this->server.Send(sent.back()), 0);
    ASSERT_TRUE(
        this->server.Read(5000, [n](const std::vector<Control>& c) { return c.size() == n; }));
  }
  ASSERT_TRUE(wait_for([&] { return this->receiver->get_number_of_entries() == 4; }));
  std::string printed = testing::internal::GetCapturedStdout();
  for (size_t i = 0; i < 4; ++i) {
    const Control& c = this->server.controls[i];
    EXPECT_EQ(c.number, i + 1);
    EXPECT_EQ(c.length, TypeParam::kControlLength);
    // The event's own header, only event_length changed.
    Bytes want(sent[i].begin(), sent[i].begin() + sizeof(typename TypeParam::Header));
    auto* h = reinterpret_cast<typename TypeParam::Header*>(want.data());
    h->event_length = TypeParam::kControlLength;
    EXPECT_EQ(c.header, want);
  }
  size_t lines = 0;
  for (size_t p = 0; (p = printed.find("We have to send 'READY' flag\n", p)) != std::string::npos;
       ++p)
    ++lines;
  EXPECT_EQ(lines, 4u);
  this->receiver->stop_receiver();
}

// The acknowledgment line is left to stdio's buffering; the thread's end writes
// out whatever of its stream is still buffered, without anybody flushing.
TYPED_TEST(ReceiverFlow, HandshakeLinesAreWrittenOutWhenTheThreadEnds) {
  std::fflush(stdout);
  char path[] = "/tmp/handshake-lines-XXXXXX";
  int file = mkstemp(path);
  ASSERT_GE(file, 0);
  unlink(path);
  int saved = dup(STDOUT_FILENO);
  dup2(file, STDOUT_FILENO);
  bool started = this->Start(10, 0, ORXA_DAQ_COMM_HNDS);
  for (uint64_t n = 1; started && n <= 3; ++n) {
    this->server.Send(this->maker.spectrum(n));
    this->server.Read(5000, [n](const std::vector<Control>& c) { return c.size() == n; });
  }
  this->server.Send(this->maker.bare(TypeParam::kEndOfStream));
  bool ended = started && this->Ended();
  std::string written(4096, '\0');
  ssize_t n = pread(file, written.data(), written.size(), 0);
  std::fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  close(file);
  ASSERT_TRUE(ended);
  written.resize(n > 0 ? static_cast<size_t>(n) : 0);
  const std::string line = "We have to send 'READY' flag\n";
  EXPECT_EQ(written, line + line + line);
}

TYPED_TEST(ReceiverFlow, EndOfStreamEndsTheThreadWithoutFarewell) {
  ASSERT_TRUE(this->Start(10, 0));
  this->SendEvents(1, 2);
  ASSERT_EQ(this->server.Send(this->maker.bare(TypeParam::kEndOfStream)), 0);
  ASSERT_TRUE(this->Ended());
  auto* r = this->receiver.get();
  EXPECT_EQ(r->get_end_data_status(), -3);
  EXPECT_STREQ(r->get_end_data_status_string(),
               "Time period out of one in the processed file (End of data)");
  EXPECT_EQ(r->get_number_of_entries(), 2);  // the end-of-stream header is not stored
  int ent = 0;
  EXPECT_EQ(r->get_monitor(&ent), DAQ_MON_DATA + DAQ_MON_NO_THREAD + DAQ_MON_DONE);
  // The link is closed at once and no farewell precedes it.
  this->server.Read(2000);
  EXPECT_TRUE(this->server.lost);
  EXPECT_TRUE(this->server.controls.empty());
  auto t0 = Clock::now();
  r->stop_receiver();  // joins the ended thread at once
  EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(500));
}

TYPED_TEST(ReceiverFlow, ReceiveFailureSetsItsCodeAndSaysFarewell) {
  // Our own link refuses to send a malformed frame, so a hand-driven server does.
  RawServer raw;
  this->receiver = std::make_unique<typename TypeParam::Receiver>(10, 0);
  Reply reply(raw.port());
  ASSERT_FALSE(this->receiver->set_reply(&reply.r));
  ASSERT_TRUE(raw.Attach([&] { return this->receiver->connect(); }));
  ASSERT_FALSE(this->receiver->start_receiver(false));
  const uint32_t unknown_kind[2] = {0x12345678u, 0};
  ASSERT_TRUE(raw.WriteFrame(unknown_kind, sizeof unknown_kind));
  Bytes farewell;
  ASSERT_TRUE(raw.ReadFrame(5000, &farewell));
  auto t_farewell = Clock::now();
  ASSERT_EQ(farewell.size(), TypeParam::kControlLength);
  typename TypeParam::Header h;
  std::memcpy(&h, farewell.data(), sizeof h);
  EXPECT_EQ(static_cast<uint64_t>(h.event_number), TypeParam::kFarewell);
  EXPECT_EQ(h.num_svr_block, 0);
  // The link is closed half a second after the farewell.
  Bytes more;
  EXPECT_FALSE(raw.ReadFrame(5000, &more));
  EXPECT_GE(Clock::now() - t_farewell, std::chrono::milliseconds(400));
  ASSERT_TRUE(this->Ended());
  EXPECT_EQ(this->receiver->get_end_data_status(), TIDEWIRE_ERR_UNKNOWN_KIND);
  EXPECT_STREQ(this->receiver->get_end_data_status_string(), "Unknown");
}

TYPED_TEST(ReceiverFlow, LinkDroppedByTheServerEndsTheReceiverWithAFailureStatus) {
  ASSERT_TRUE(this->Start(10, 0));
  this->SendEvents(1, 3);
  ASSERT_TRUE(wait_for([&] { return this->receiver->get_number_of_entries() == 3; }));
  this->server.Drop();
  ASSERT_TRUE(this->Ended());
  EXPECT_NE(this->receiver->get_end_data_status(), 0);
  EXPECT_EQ(this->receiver->get_end_data_status(), TIDEWIRE_ERR_LOST);
  EXPECT_STREQ(this->receiver->get_end_data_status_string(), "Unknown");
  EXPECT_EQ(this->receiver->get_number_of_entries(), 3);
}

TYPED_TEST(ReceiverFlow, SlowDataBlocksAreStoredAndForeignMessagesIgnored) {
  ASSERT_TRUE(this->Start(10, 0));
  OrxaSlowBlockBuilder slow(TypeParam::kFormat);
  slow.add("T1", 7, stamp_of(7), 1.5f);
  size_t len = 0;
  const char* block = slow.finish(&len);
  ASSERT_NE(block, nullptr);
  testing::internal::CaptureStdout();
  ASSERT_EQ(this->server.Send(Bytes(block, block + len)), 0);
  // An event of the other generation is no message for this receiver.
  EventMaker other(TypeParam::k2024 ? ORXA_FORMAT_LEGACY : ORXA_FORMAT_2024);
  ASSERT_EQ(this->server.Send(other.spectrum(8)), 0);
  this->SendEvents(9, 9);
  ASSERT_TRUE(wait_for([&] { return this->receiver->get_number_of_entries() == 2; }));
  std::string printed = testing::internal::GetCapturedStdout();
  EXPECT_NE(printed.find("Unknown message from Tidewire ... ignoring\n"), std::string::npos);
  EXPECT_EQ(this->receiver->get_dropped_events(), 1u);
  auto& list = TypeParam::list(*this->receiver->get_cache());
  ASSERT_EQ(list.size(), 2u);
  ASSERT_EQ(list[0]->entry.size(), 1u);
  EXPECT_NE(list[0]->entry[0]->data->slblock, nullptr);
  EXPECT_EQ(list[1]->event_number, 9u);
  this->receiver->stop_receiver();
  EXPECT_TRUE(this->receiver->if_thread_is_over());
}

// What the conversion refuses counts with what the receiver drops itself, for
// one acquisition: a new reply starts the counts again.
TYPED_TEST(ReceiverFlow, DropsOfTheConversionAreCountedUntilTheNextReply) {
  ASSERT_TRUE(this->Start(10, 0));
  Bytes bad = this->maker.spectrum(1);
  size_t at = sizeof(typename TypeParam::Header) +
              (TypeParam::k2024 ? offsetof(orxa_serv_block_head_2024, nchan)
                                : offsetof(orxa_serv_block_head_2010, nchan));
  int32_t negative = -1;
  std::memcpy(bad.data() + at, &negative, sizeof negative);
  ASSERT_EQ(this->server.Send(bad), 0);
  this->SendEvents(2, 2);
  ASSERT_TRUE(wait_for([&] { return this->receiver->get_number_of_entries() == 1; }));
  EXPECT_EQ(this->receiver->get_dropped_events(), 1u);
  DaqReceiverCounters before = daq_receiver_counters(*this->receiver);
  EXPECT_EQ(before.events_received, 2u);
  EXPECT_EQ(before.dropped_events, 1u);
  this->receiver->stop_receiver();
  Reply next(this->server.port());
  ASSERT_FALSE(this->receiver->set_reply(&next.r));
  EXPECT_EQ(this->receiver->get_dropped_events(), 0u);
  DaqReceiverCounters after = daq_receiver_counters(*this->receiver);
  EXPECT_EQ(after.events_received + after.bytes_received + after.max_depth + after.last_event, 0u);
}

// A slow application: the cache fills, the server is paused, held and resumed
// again and again; the counters, read after the thread has ended, tell what the
// server saw.
TYPED_TEST(ReceiverFlow, CountersTellWhatTheServerSaw) {
  constexpr uint64_t kEvents = 40;
  ASSERT_TRUE(this->Start(4, 0));
  Bytes end = this->maker.bare(TypeParam::kEndOfStream);
  uint64_t bytes = end.size();
  for (uint64_t n = 1; n <= kEvents; ++n) bytes += this->maker.spectrum(n).size();
  StreamStats stats;
  auto t0 = Clock::now();
  std::thread serve([&] {
    EventMaker maker(TypeParam::kFormat);
    Bytes ev;
    stats = serve_stream(
        this->server.link(), TypeParam::k2024, kEvents,
        [&](uint64_t n) -> const Bytes& { return ev = maker.spectrum(n); }, end, false, 20000, 1,
        true);
  });
  auto* r = this->receiver.get();
  auto deadline = Clock::now() + std::chrono::seconds(20);
  while (!(r->if_thread_is_over() && r->get_number_of_entries() == 0) && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::vector<EqData_dtype*>* out = nullptr;
    if (r->get_monitor(&out, nullptr, nullptr) & DAQ_MON_DATA) release_query_result(out);
  }
  serve.join();
  auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0);
  EXPECT_FALSE(stats.timed_out);
  EXPECT_TRUE(stats.lost);  // the receiver closed the link after the end of the stream
  DaqReceiverCounters c = daq_receiver_counters(*r);
  EXPECT_EQ(c.events_received, kEvents);
  EXPECT_EQ(c.bytes_received, bytes);
  EXPECT_GT(c.pause_requests, 0u);
  EXPECT_GT(c.holds_sent, 0u);
  EXPECT_EQ(c.pause_requests, stats.pause_requests);
  EXPECT_EQ(c.holds_sent, stats.pauses - stats.pause_requests);
  EXPECT_EQ(c.resumes_sent, stats.resumes);
  EXPECT_EQ(c.max_depth, 4u);
  EXPECT_EQ(c.records_evicted, 0u);
  EXPECT_EQ(c.dropped_events, 0u);
  EXPECT_EQ(c.last_event, kEvents);
  EXPECT_EQ(c.last_seconds, stamp_of(kEvents).timeup);
  EXPECT_EQ(c.last_micros, stamp_of(kEvents).timelow);
  EXPECT_GT(c.paused_us, 0u);
  EXPECT_LT(c.paused_us, static_cast<uint64_t>(elapsed.count()));
}

// The thread's flow control keeps its own list below the depth, so only a list of
// the other generation's slow blocks can meet a full store: at its depth a block
// is refused (dropped), over it (the depth was lowered) the earliest record goes.
TYPED_TEST(ReceiverFlow, OnlyRecordsPushedOutAreCountedAsEvicted) {
  using Other = std::conditional_t<TypeParam::k2024, Legacy, Gen2024>;
  OrxaSlowBlockBuilder slow(Other::kFormat);
  auto block = [&slow](uint32_t i) {
    slow.clear();
    slow.add("T1", i, time_stamp{1000 + i, 0}, 1.5f);
    size_t len = 0;
    const char* b = slow.finish(&len);
    return b == nullptr ? Bytes() : Bytes(b, b + len);
  };
  for (int depth : {3, 2}) {
    SCOPED_TRACE(depth);
    StreamServer server(TypeParam::k2024);
    typename TypeParam::Receiver r(5, 0);
    DAQEqEvstore* cache = r.get_cache();
    for (uint32_t i = 1; i <= 3; ++i) {
      Bytes b = block(i);
      cache->lock();
      cache->daq_data_to_cache(reinterpret_cast<orxa_daq_slow_data_header*>(b.data()), 0);
      cache->unlock();
    }
    ASSERT_EQ(Other::count(*cache, true), 3);
    ASSERT_FALSE(r.set_cache_depth(depth));
    ASSERT_TRUE(server.AttachReceiver(r));
    ASSERT_FALSE(r.start_receiver(false));
    for (uint32_t i = 4; i <= 5; ++i) ASSERT_EQ(server.Send(block(i)), 0);
    ASSERT_TRUE(wait_for([&] {
      DaqReceiverCounters c = daq_receiver_counters(r);
      return c.records_evicted + c.dropped_events == 2;
    }));
    DaqReceiverCounters c = daq_receiver_counters(r);
    EXPECT_EQ(c.records_evicted, depth == 2 ? 2u : 0u);
    EXPECT_EQ(Other::count(*cache, true), 3);
    r.stop_receiver();
  }
}

// The number a raw peer finds in a control frame.
template <class G>
uint64_t control_number(const Bytes& frame) {
  typename G::Header h{};
  std::memcpy(&h, frame.data(), frame.size() < sizeof h ? frame.size() : sizeof h);
  return static_cast<uint64_t>(h.event_number);
}

// Silence after the hello, an event cut off with the link open, and an event
// trickled a byte at a time: none holds the receiver past its idle bound, and
// the event that came whole stays in the cache.
TYPED_TEST(ReceiverFlow, IdleBoundEndsSilentCutOffAndTricklingPeers) {
  for (int peer = 0; peer < 3; ++peer) {
    SCOPED_TRACE(peer);
    RawServer raw;
    typename TypeParam::Receiver r(10, 0);
    Reply reply(raw.port());
    ASSERT_FALSE(r.set_reply(&reply.r));
    ASSERT_FALSE(r.set_idle_timeout(300));
    ASSERT_TRUE(raw.Attach([&] { return r.connect(); }));
    ASSERT_FALSE(r.start_receiver(false));
    Bytes whole = this->maker.spectrum(1);
    ASSERT_TRUE(raw.WriteFrame(whole.data(), static_cast<uint32_t>(whole.size())));
    Bytes next = this->maker.spectrum(2);
    uint32_t length = static_cast<uint32_t>(next.size());
    if (peer > 0) {
      ASSERT_TRUE(raw.WriteRaw(&length, sizeof length));
    }
    if (peer == 1) {
      ASSERT_TRUE(raw.WriteRaw(next.data(), next.size() / 2));
    }
    auto t0 = Clock::now();
    for (size_t i = 0; peer == 2 && i < next.size() && !r.if_thread_is_over(); ++i) {
      raw.WriteRaw(&next[i], 1);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(wait_for([&] { return r.if_thread_is_over(); }, 3000));
    EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(250));
    EXPECT_EQ(r.get_end_data_status(), TIDEWIRE_ERR_IDLE);
    EXPECT_STREQ(r.get_link_failure_string(), Tidewire::ResultText(TIDEWIRE_ERR_IDLE));
    EXPECT_EQ(r.get_number_of_entries(), 1);
    Bytes farewell;
    ASSERT_TRUE(raw.ReadFrame(2000, &farewell));
    EXPECT_EQ(control_number<TypeParam>(farewell), TypeParam::kFarewell);
  }
}

TYPED_TEST(ReceiverFlow, TimePausedIsNotIdle) {
  ASSERT_TRUE(this->Start(1, 0));
  ASSERT_FALSE(this->receiver->set_idle_timeout(600));
  this->SendEvents(1, 1);
  auto& s = this->server;
  ASSERT_TRUE(s.Read(5000, [](const std::vector<Control>& c) { return !c.empty(); }));
  s.Read(1200);  // paused twice the bound, holding
  EXPECT_FALSE(this->receiver->if_thread_is_over());
  std::vector<EqData_dtype*>* out = nullptr;
  EXPECT_EQ(this->receiver->get_monitor(&out, nullptr, nullptr), DAQ_MON_DATA);
  release_query_result(out);
  ASSERT_TRUE(s.Read(
      5000, [](const std::vector<Control>& c) { return c.back().number != TypeParam::kPause; }));
  s.Read(400);  // receiving again, well inside the bound counted from the resume
  this->SendEvents(2, 2);
  ASSERT_TRUE(wait_for([&] { return this->receiver->get_number_of_entries() == 1; }));
  EXPECT_FALSE(this->receiver->if_thread_is_over());
  this->receiver->stop_receiver();
}

// A server may send slow-data blocks before its first event; a pause then must
// still be followed by something the server reads as a resume, never a hold.
TYPED_TEST(ReceiverFlow, ResumeBeforeTheFirstEventReadsAsAResume) {
  ASSERT_TRUE(this->Start(2, 0));
  OrxaSlowBlockBuilder slow(TypeParam::kFormat);
  for (uint32_t i = 0; i < 3; ++i) {
    slow.add("T1", 0, time_stamp{1000 + i, 0}, 1.5f);
    size_t len = 0;
    const char* block = slow.finish(&len);
    ASSERT_NE(block, nullptr);
    ASSERT_EQ(this->server.Send(Bytes(block, block + len)), 0);
  }
  auto& s = this->server;
  auto resumed = [](const std::vector<Control>& c) {
    return std::any_of(c.begin(), c.end(),
                       [](const Control& x) { return x.number != TypeParam::kPause; });
  };
  ASSERT_TRUE(s.Read(5000, [](const std::vector<Control>& c) { return !c.empty(); }));
  std::vector<EqData_dtype*>* out = nullptr;
  EXPECT_EQ(this->receiver->get_monitor(&out, nullptr, nullptr), DAQ_MON_DATA);
  release_query_result(out);
  ASSERT_TRUE(s.Read(5000, resumed));
  for (const Control& c : s.controls) {
    if (c.number != TypeParam::kPause) {
      EXPECT_EQ(c.number, 0u);
    }
  }
  // Receiving again: the third block arrives.
  ASSERT_TRUE(wait_for([&] { return this->receiver->get_number_of_entries() == 2; }));
  this->receiver->stop_receiver();
}

// A pause request that could not be sent leaves the server sending into a full
// cache: the next event waits, paused, for room; it is stored and acknowledged
// only then, and nothing is lost.
TYPED_TEST(ReceiverFlow, EventAfterAFailedPauseWaitsForRoomBeforeItIsAcknowledged) {
  RawServer raw;
  typename TypeParam::Receiver r(2, 0);
  Reply reply(raw.port(), ORXA_DAQ_COMM_HNDS);
  ASSERT_FALSE(r.set_reply(&reply.r));
  ASSERT_TRUE(raw.Attach([&] { return r.connect(); }));
  Tidewire::InjectSendFailure(3, TIDEWIRE_ERR_BUSY);  // ready 1, ready 2, then the pause
  ASSERT_FALSE(r.start_receiver(false));
  for (uint64_t n = 1; n <= 3; ++n) {
    Bytes ev = this->maker.spectrum(n);
    ASSERT_TRUE(raw.WriteFrame(ev.data(), static_cast<uint32_t>(ev.size())));
  }
  std::vector<uint64_t> seen;
  Bytes frame;
  while (seen.size() < 4 && raw.ReadFrame(2000, &frame))
    seen.push_back(control_number<TypeParam>(frame));
  Tidewire::InjectSendFailure(0, 0);
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen, (std::vector<uint64_t>{1, 2, TypeParam::kPause, TypeParam::kPause}));
  EXPECT_EQ(r.get_number_of_entries(), 2);

  std::vector<uint64_t> taken;
  auto take = [&] {
    std::vector<EqData_dtype*>* out = nullptr;
    if (r.get_monitor(&out, nullptr, nullptr) != DAQ_MON_DATA) return false;
    taken.push_back(out->at(0)->data->get_mpnum());
    release_query_result(out);
    return true;
  };
  ASSERT_TRUE(take());
  while (raw.ReadFrame(2000, &frame) && control_number<TypeParam>(frame) != 3) {
  }
  EXPECT_EQ(control_number<TypeParam>(frame), 3u);
  while (taken.size() < 3 && wait_for([&] { return r.get_number_of_entries() > 0; }, 2000)) take();
  EXPECT_EQ(taken, (std::vector<uint64_t>{1, 2, 3}));
  EXPECT_EQ(r.get_dropped_events(), 0u);
  r.stop_receiver();
}

// Frames that arrive with one receive are each still a pass of their own: the
// cache stops them at its depth with a pause, a foreign message among them is
// dropped, and the rest wait in the link until there is room again.
TYPED_TEST(ReceiverFlow, FramesArrivingTogetherStopAtTheDepthAndLoseNothing) {
  RawServer raw;
  typename TypeParam::Receiver r(4, 0);
  Reply reply(raw.port());
  ASSERT_FALSE(r.set_reply(&reply.r));
  ASSERT_TRUE(raw.Attach([&] { return r.connect(); }));
  EventMaker other(TypeParam::k2024 ? ORXA_FORMAT_LEGACY : ORXA_FORMAT_2024);
  Bytes all;
  auto frame = [&all](const Bytes& ev) {
    uint32_t length = static_cast<uint32_t>(ev.size());
    all.insert(all.end(), reinterpret_cast<char*>(&length), reinterpret_cast<char*>(&length) + 4);
    all.insert(all.end(), ev.begin(), ev.end());
  };
  for (uint64_t n = 1; n <= 6; ++n) {
    frame(this->maker.spectrum(n));
    if (n == 2) frame(other.spectrum(100));
  }
  ASSERT_FALSE(r.start_receiver(false));
  ASSERT_TRUE(raw.WriteRaw(all.data(), all.size()));
  Bytes control;
  ASSERT_TRUE(raw.ReadFrame(5000, &control));
  EXPECT_EQ(control_number<TypeParam>(control), TypeParam::kPause);
  EXPECT_EQ(r.get_number_of_entries(), 4);
  EXPECT_EQ(r.get_dropped_events(), 1u);

  std::vector<uint64_t> taken;
  while (taken.size() < 6 && wait_for([&] { return r.get_number_of_entries() > 0; }, 5000)) {
    std::vector<EqData_dtype*>* out = nullptr;
    ASSERT_EQ(r.get_monitor(&out, nullptr, nullptr), DAQ_MON_DATA);
    taken.push_back(out->at(0)->data->get_mpnum());
    release_query_result(out);
  }
  EXPECT_EQ(taken, (std::vector<uint64_t>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(r.get_dropped_events(), 1u);
  r.stop_receiver();
}

TEST(ReceiverEndOfStream, LegacyEndsOnAnyNegativeNumber) {
  StreamServer server(false);
  EqDAQdata receiver(10, 0);
  ASSERT_TRUE(server.AttachReceiver(receiver));
  ASSERT_FALSE(receiver.start_receiver(false));
  EventMaker maker(ORXA_FORMAT_LEGACY);
  ASSERT_EQ(server.Send(maker.bare(0xfffffffbu)), 0);  // -5
  ASSERT_TRUE(wait_for([&] { return receiver.if_thread_is_over(); }));
  EXPECT_EQ(receiver.get_end_data_status(), -5);
  EXPECT_STREQ(receiver.get_end_data_status_string(), "Channel(s) not found");
  EXPECT_EQ(receiver.get_number_of_entries(), 0);
}

TEST(ReceiverEndOfStream, Only0xfffffffffffffffdEndsThe2024Stream) {
  StreamServer server(true);
  EqDAQdata2024 receiver(10, 0);
  ASSERT_TRUE(server.AttachReceiver(receiver));
  ASSERT_FALSE(receiver.start_receiver(false));
  EventMaker maker(ORXA_FORMAT_2024);
  // -5 as 64 bits, -3 in the low 32 bits only, and a number above 2^63: events.
  for (uint64_t n : {0xfffffffffffffffbull, 0x00000000fffffffdull, 0x8000000000000001ull})
    ASSERT_EQ(server.Send(maker.spectrum(n, time_stamp{5, 0})), 0);
  ASSERT_TRUE(wait_for([&] { return receiver.get_number_of_entries() == 3; }));
  EXPECT_FALSE(receiver.if_thread_is_over());
  auto& list = receiver.get_cache()->cache_2024;
  EXPECT_EQ(list[0]->event_number, 0xfffffffffffffffbull);
  EXPECT_EQ(list[2]->event_number, 0x8000000000000001ull);
  ASSERT_EQ(server.Send(maker.bare(0xfffffffffffffffdull)), 0);
  ASSERT_TRUE(wait_for([&] { return receiver.if_thread_is_over(); }));
  EXPECT_EQ(receiver.get_end_data_status(), -3);
}

}  // namespace
