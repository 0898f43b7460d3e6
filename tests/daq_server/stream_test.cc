// The server's event stream received with a raw data link and the event
// decoders: content of every sub-block kind, both generations, the end of
// stream, and every control message (handshake, pause, hold, resume, farewell,
// closed link) as the server records it, plus the injected faults and the
// bounds on what one client can hold: the control log under a flood, the slot
// of a receiver that makes no progress, retried and abandoned requests.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "daq_data_server.h"
#include "eq_daq_connect.h"
#include "orxa_evutl.h"
#include "server_fixture.h"
#include "spare_listener.h"
#include "tidewire.h"
#include "velmor.h"

using servertest::fill_request;
using servertest::options_for;

namespace {

using Clock = std::chrono::steady_clock;

struct Received {
  std::vector<uint64_t> events;
  std::vector<int> sub_blocks;  // per event
  int slow_blocks = 0;
  int bad_events = 0;  // events whose sub-blocks do not walk
  bool end_seen = false;
  int end_code = 0;  // receive code that ended reception otherwise
};

// Walks and decodes every sub-block of an event; false when one does not fit.
bool walk_event(const char* ev, size_t length, bool gen_2024, int* nsub) {
  size_t head = gen_2024 ? sizeof(orxa_eventheader_2024) : sizeof(orxa_eventheader);
  size_t block = gen_2024 ? sizeof(orxa_serv_block_head_2024) : sizeof(orxa_serv_block_head_2010);
  int32_t nchan = 0;
  std::memcpy(&nchan, ev + head + block - (gen_2024 ? 8 : 4), sizeof nchan);
  size_t at = head + block;
  *nsub = nchan;
  for (int i = 0; i < nchan; ++i) {
    if (at + ORXA_SUBHEAD_SIZE > length) return false;
    auto* sub = reinterpret_cast<orxa_serv_block_subhead_2010*>(const_cast<char*>(ev + at));
    if (sub->ldata < ORXA_SUBHEAD_SIZE || at + static_cast<size_t>(sub->ldata) > length)
      return false;
    int dt = orxa_data_type_of(sub->dtype);
    switch (get_data_structure_type(dt)) {
      case ORXA_DATA_SPECTRUM:
      case ORXA_DATA_GSPECTRUM: {
        int n = get_channel_number(dt, sub);
        if (n < 1) return false;
        for (int j = 0; j < n; ++j) {
          int len = 0;
          orxa_spect_statistics_2010* stats = nullptr;
          if (get_spect_params_for_data_type_2010(sub, nullptr, nullptr, nullptr, &len, nullptr,
                                                  nullptr, &stats, j) ||
              len < 1) {
            return false;
          }
          if (dt == ORXA_DT_GSPECTRUM && stats == nullptr) return false;
        }
        break;
      }
      case ORXA_DATA_IMAGE: {
        orxa_image_ext_frame_head frame{};
        unsigned char* bytes = nullptr;
        if (get_image_ext_params(sub, &frame, nullptr, &bytes) || frame.width != 160) return false;
        break;
      }
      case ORXA_DATA_NAMVAL: {
        int usable = 0;
        if (get_name_value_block_2010(sub, &usable) == nullptr || usable != 8) return false;
        break;
      }
      case ORXA_DATA_SLOW:
        if (get_number_of_upd_channels_2010(sub) != 6) return false;
        break;
      case ORXA_DATA_EQDATA: {
        velmor::EqData* object = nullptr;
        if (orxa_daq_to_eqdata(0, nullptr, sub, &object, 1) != 0) return false;
        bool ok = object->value_count() == 16;
        delete object;
        if (!ok) return false;
        break;
      }
      case ORXA_DATA_STAMP:
        break;
      default:
        return false;
    }
    at += static_cast<size_t>(sub->ldata);
  }
  return true;
}

// Sends a control message of the link's generation with this event number.
int send_control(Tidewire& link, bool gen_2024, int64_t number) {
  if (gen_2024) {
    struct {
      orxa_eventheader_2024 h;
      orxa_eventtail_2024 t;
    } m{};
    m.h.pattern = ORXA_EVENT_PATTERN_2024;
    m.h.event_length = 56;
    m.h.event_number = static_cast<uint64_t>(number);
    m.t.event_length = 56;
    iovec v[2] = {{&m.h, sizeof m.h}, {&m.t, sizeof m.t}};
    return link.SendEvent(v, 2, SendEvent_NOACK);
  }
  orxa_eventheader h{};
  orxa_eventtail t{40};
  h.pattern = ORXA_EVENT_PATTERN;
  h.event_length = 40;
  h.event_number = static_cast<uint32_t>(number);
  iovec v[2] = {{&h, sizeof h}, {&t, sizeof t}};
  return link.SendEvent(v, 2, SendEvent_NOACK);
}

// Takes one message: 1 event, 2 slow block, 3 end of stream, 0 nothing within
// wait_ms, -code when reception ended.
int take_one(Tidewire& link, bool gen_2024, Received* got, int wait_ms) {
  auto until = Clock::now() + std::chrono::milliseconds(wait_ms);
  int rc;
  do {
    rc = link.ReceiveEvent(nullptr, wait_ms > 200 ? 200 : wait_ms, -1, -1);
  } while ((rc == TIDEWIRE_AGAIN_TIMEOUT || rc == TIDEWIRE_AGAIN_INTERRUPTED) &&
           Clock::now() < until);
  if (rc == TIDEWIRE_AGAIN_TIMEOUT || rc == TIDEWIRE_AGAIN_INTERRUPTED) return 0;
  if (rc != 0) {
    got->end_code = rc;
    return -rc;
  }
  uint32_t length = 0;
  const char* message = link.get_message(&length);
  if (orxa_daq_slow_data_header* s = link.get_slow_data_header()) {
    EXPECT_EQ(s->pattern, gen_2024 ? ORXA_SLOW_PATTERN_2024 : ORXA_SLOW_PATTERN);
    ++got->slow_blocks;
    return 2;
  }
  uint64_t number = 0;
  if (gen_2024) {
    orxa_eventheader_2024* h = link.get_event_header_2024();
    EXPECT_NE(h, nullptr);
    if (h == nullptr) return -1;
    number = h->event_number;
    if (number == 0xfffffffffffffffdull) {
      got->end_seen = true;
      return 3;
    }
  } else {
    orxa_eventheader* h = link.get_event_header();
    EXPECT_NE(h, nullptr);
    if (h == nullptr) return -1;
    number = h->event_number;
    if (h->event_number == 0xfffffffdu) {
      got->end_seen = true;
      return 3;
    }
  }
  int nsub = 0;
  if (!walk_event(message, length, gen_2024, &nsub)) ++got->bad_events;
  got->events.push_back(number);
  got->sub_blocks.push_back(nsub);
  return 1;
}

void take_to_end(Tidewire& link, bool gen_2024, Received* got) {
  for (;;) {
    int kind = take_one(link, gen_2024, got, 10000);
    if (kind == 3 || kind <= 0) return;
  }
}

bool consecutive(const std::vector<uint64_t>& events, uint64_t first, size_t count) {
  if (events.size() != count) return false;
  for (size_t i = 0; i < count; ++i) {
    if (events[i] != first + i) return false;
  }
  return true;
}

// A started server, an accepted request and a receiver link connected to it.
struct Session {
  explicit Session(DaqServerOptions o, int seconds = 3, int comm_mode = 1)
      : server(o), connection(&call, nullptr) {
    if (server.start()) return;
    fill_request(connection, seconds);
    connection.set_comm_mode(comm_mode);
    if (connection.connect(server.entry().c_str()) != 0) return;
    daq_server_reply* r = connection.get_server_reply();
    gen_2024 = r->evid64bitmode;
    link = std::make_unique<Tidewire>(false);
    link->SetNoDelay();
    // The plan's numbers are what the checks compare with: no summary, no session.
    connected =
        link->Connect(r->host, r->port) == 0 && server.summary(1, &plan) && plan.event_count > 0;
  }
  std::vector<DaqControlKind> kinds() {
    std::vector<DaqControlKind> k;
    for (const DaqControlRecord& r : server.control_log(1)) k.push_back(r.kind);
    return k;
  }

  DaqDataServer server;
  velmor::EqCall call;
  EqDAQconnect connection;
  std::unique_ptr<Tidewire> link;
  bool connected = false;
  bool gen_2024 = false;
  DaqRequestSummary plan;
};

// Sets "DAQ.REQ" of the server once with this request document, as a client
// whose answers never arrive would; the first answer's reason.
std::string send_request(const DaqDataServer& server, const std::string& doc) {
  velmor::EqCall call;
  velmor::EqAdr adr;
  adr.adr(server.entry() + "DAQ.REQ");
  velmor::EqData in, out;
  in.set_xml(doc);
  if (call.set(&adr, &in, &out) != 0) return "call failed";
  daq_server_reply reply;
  clean_reply(&reply);
  std::string reason = parse_daq_reply(out.get_xml(), &reply, nullptr) == 0 ? reply.reason : "?";
  clean_reply(&reply);
  return reason;
}

// The document a connection would send for a request of `seconds` seconds.
std::string request_document(EqDAQconnect& c, int seconds) {
  fill_request(c, seconds);
  daq_server_request* r = c.get_server_request();
  std::string doc;
  if (validate_daq_request(r, true) == 0) create_xml_daq_request(r, doc, 1);
  return doc;
}

}  // namespace

class StreamGenerations : public testing::TestWithParam<int> {};

TEST_P(StreamGenerations, EveryEventOnceWithEveryKindAndTheEnd) {
  DaqServerOptions o = options_for(GetParam() == DAQ_GENERATION_2024 ? "ST.GEN24" : "ST.GENLG");
  o.generation = GetParam();
  Session s(o, 3);
  ASSERT_TRUE(s.connected);
  EXPECT_EQ(s.gen_2024, GetParam() == DAQ_GENERATION_2024);
  Received got;
  take_to_end(*s.link, s.gen_2024, &got);
  EXPECT_TRUE(got.end_seen);
  EXPECT_TRUE(consecutive(got.events, s.plan.first_event, 30));
  EXPECT_EQ(got.bad_events, 0);
  EXPECT_EQ(got.slow_blocks, 3);  // one per second of data
  ASSERT_FALSE(got.sub_blocks.empty());
  EXPECT_EQ(got.sub_blocks[0], 9);  // every event channel of the built-in catalog
  // Closing after the end of the stream is its normal end: nothing is reported.
  testing::internal::CaptureStderr();
  s.link->Disconnect();
  EXPECT_TRUE(s.server.wait_released(1, 5000));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  DaqRequestSummary done;
  ASSERT_TRUE(s.server.summary(1, &done));
  EXPECT_EQ(done.events_sent, 30);
  EXPECT_TRUE(done.control.empty());
}

INSTANTIATE_TEST_SUITE_P(Both, StreamGenerations,
                         testing::Values(DAQ_GENERATION_LEGACY, DAQ_GENERATION_2024));

TEST(Stream, HandshakeModeWaitsForEachAcknowledgment) {
  Session s(options_for("ST.HNDS1"), 1, ORXA_DAQ_COMM_HNDS);
  ASSERT_TRUE(s.connected);
  Received got;
  for (int i = 0; i < 10; ++i) {
    int kind;
    do kind = take_one(*s.link, s.gen_2024, &got, 5000);
    while (kind == 2);
    ASSERT_EQ(kind, 1);
    // Nothing more until this event is acknowledged.
    EXPECT_EQ(take_one(*s.link, s.gen_2024, &got, i == 0 ? 300 : 20), 0);
    ASSERT_EQ(send_control(*s.link, s.gen_2024, static_cast<int64_t>(got.events.back())), 0);
  }
  EXPECT_EQ(take_one(*s.link, s.gen_2024, &got, 5000), 3);
  EXPECT_TRUE(consecutive(got.events, s.plan.first_event, 10));
  auto log = s.server.control_log(1);
  ASSERT_EQ(log.size(), 10u);
  for (size_t i = 0; i < log.size(); ++i) {
    EXPECT_EQ(log[i].kind, DAQ_CONTROL_READY);
    EXPECT_EQ(static_cast<uint64_t>(log[i].event_number), s.plan.first_event + i);
  }
}

TEST(Stream, PauseHoldsAndResumeContinueWithoutRepeats) {
  DaqServerOptions o = options_for("ST.PAUSE1");
  o.rate_hz = 100;
  o.real_time = true;
  Session s(o, 2);
  ASSERT_TRUE(s.connected);
  Received got;
  ASSERT_EQ(take_one(*s.link, s.gen_2024, &got, 5000), 2);  // the slow block of the first second
  ASSERT_EQ(take_one(*s.link, s.gen_2024, &got, 5000), 1);
  ASSERT_EQ(send_control(*s.link, s.gen_2024, -1), 0);
  // Holds every 50 ms; what was on its way still arrives, then nothing.
  size_t quiet_from = 0;
  for (int i = 0; i < 12; ++i) {
    ASSERT_EQ(send_control(*s.link, s.gen_2024, -1), 0);
    size_t before = got.events.size();
    take_one(*s.link, s.gen_2024, &got, 50);
    if (got.events.size() != before) quiet_from = i + 1;
  }
  EXPECT_LE(quiet_from, 8u) << "events kept coming while paused";
  uint64_t last = got.events.back();
  ASSERT_EQ(send_control(*s.link, s.gen_2024, static_cast<int64_t>(last)), 0);
  take_to_end(*s.link, s.gen_2024, &got);
  EXPECT_TRUE(got.end_seen);
  EXPECT_TRUE(consecutive(got.events, s.plan.first_event, 200));
  auto kinds = s.kinds();
  ASSERT_GE(kinds.size(), 3u);
  EXPECT_EQ(kinds.front(), DAQ_CONTROL_PAUSE);
  EXPECT_EQ(kinds.back(), DAQ_CONTROL_RESUME);
  for (size_t i = 1; i + 1 < kinds.size(); ++i) EXPECT_EQ(kinds[i], DAQ_CONTROL_HOLD);
  EXPECT_EQ(static_cast<uint64_t>(s.server.control_log(1).back().event_number), last);
}

TEST(Stream, FarewellEndsTheStreamAndFreesTheRequest) {
  DaqServerOptions o = options_for("ST.BYE1");
  o.rate_hz = 100;
  o.real_time = true;
  Session s(o, 10);
  ASSERT_TRUE(s.connected);
  Received got;
  while (got.events.size() < 2) ASSERT_GT(take_one(*s.link, s.gen_2024, &got, 5000), 0);
  ASSERT_EQ(send_control(*s.link, s.gen_2024, -2), 0);
  EXPECT_TRUE(s.server.wait_released(1, 5000));
  EXPECT_EQ(s.server.active_requests(), 0);
  auto kinds = s.kinds();
  ASSERT_EQ(kinds.size(), 1u);
  EXPECT_EQ(kinds[0], DAQ_CONTROL_FAREWELL);
  DaqRequestSummary done;
  ASSERT_TRUE(s.server.summary(1, &done));
  EXPECT_TRUE(done.receiver_came);
  EXPECT_GE(done.events_sent, 2);
  EXPECT_LT(done.events_sent, 1000);
}

// A receiver that pauses before it has seen an event resumes with 0 (it has no
// event number yet): the server reads it as a resume and skips nothing.
TEST(Stream, ResumeBeforeAnyEventContinuesTheStream) {
  Session s(options_for("ST.EARLY1"), 3);
  ASSERT_TRUE(s.connected);
  ASSERT_EQ(send_control(*s.link, s.gen_2024, -1), 0);
  ASSERT_EQ(send_control(*s.link, s.gen_2024, -1), 0);
  ASSERT_TRUE(servertest::wait_until([&] { return s.kinds().size() == 2; }, 5000));
  ASSERT_EQ(send_control(*s.link, s.gen_2024, 0), 0);
  Received got;
  take_to_end(*s.link, s.gen_2024, &got);
  EXPECT_TRUE(got.end_seen);
  EXPECT_TRUE(consecutive(got.events, s.plan.first_event, 30));
  auto log = s.server.control_log(1);
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].kind, DAQ_CONTROL_PAUSE);
  EXPECT_EQ(log[1].kind, DAQ_CONTROL_HOLD);
  EXPECT_EQ(log[2].kind, DAQ_CONTROL_RESUME);
  EXPECT_EQ(log[2].event_number, 0);
}

TEST(Stream, ClosedLinkEndsTheStream) {
  DaqServerOptions o = options_for("ST.CLOSE1");
  o.rate_hz = 100;
  o.real_time = true;
  Session s(o, 10);
  ASSERT_TRUE(s.connected);
  Received got;
  while (got.events.empty()) ASSERT_GT(take_one(*s.link, s.gen_2024, &got, 5000), 0);
  s.link.reset();
  EXPECT_TRUE(s.server.wait_released(1, 5000));
}

TEST(StreamFaults, DroppedLinkEndsWithoutTheEndOfStream) {
  DaqServerOptions o = options_for("ST.DROP1");
  o.drop_after = 5;
  Session s(o, 3);
  ASSERT_TRUE(s.connected);
  Received got;
  take_to_end(*s.link, s.gen_2024, &got);
  EXPECT_FALSE(got.end_seen);
  EXPECT_EQ(got.events.size(), 5u);
  EXPECT_NE(got.end_code, 0);
}

TEST(StreamFaults, MalformedEventAndStallThenTheStreamGoesOn) {
  DaqServerOptions o = options_for("ST.BAD1");
  o.malformed_after = 2;
  o.stall_after = 4;
  o.stall_ms = 300;
  Session s(o, 1);
  ASSERT_TRUE(s.connected);
  Received got;
  auto started = Clock::now();
  take_to_end(*s.link, s.gen_2024, &got);
  EXPECT_GE(Clock::now() - started, std::chrono::milliseconds(250));
  EXPECT_TRUE(got.end_seen);
  EXPECT_EQ(got.events.size(), 10u);
  EXPECT_EQ(got.bad_events, 1);
}

TEST(StreamFaults, ReceiverThatNeverComesIsGivenUp) {
  DaqServerOptions o = options_for("ST.NOONE1");
  o.accept_timeout_ms = 200;
  o.max_requests = 1;
  DaqDataServer server(o);
  ASSERT_FALSE(server.start());
  velmor::EqCall call;
  EqDAQconnect c(&call, nullptr);
  fill_request(c, 1);
  ASSERT_EQ(c.connect(server.entry().c_str()), 0);
  EXPECT_TRUE(server.wait_released(1, 5000));
  DaqRequestSummary done;
  ASSERT_TRUE(server.summary(1, &done));
  EXPECT_GT(done.event_count, 0u);
  EXPECT_TRUE(done.released);
  EXPECT_FALSE(done.receiver_came);
  EXPECT_EQ(done.events_sent, 0);
  // Its reply property is gone with it.
  velmor::EqAdr adr;
  adr.adr(server.entry() + "DAQ.REP1");
  velmor::EqData out;
  EXPECT_EQ(call.get(&adr, nullptr, &out), velmor::EQ_ERR_UNKNOWN_PROPERTY);

  // Also when nobody reads the final answer (the client's call timed out): its
  // slot is free again for the next request.
  EqDAQconnect lost(&call, nullptr), next(&call, nullptr);
  ASSERT_EQ(send_request(server, request_document(lost, 2)), "Request accepted");
  std::string other = request_document(next, 3);
  EXPECT_TRUE(servertest::wait_until(
      [&] { return send_request(server, other) == "Request accepted"; }, 5000));
}

// A bound shorter than the listener's wake period is kept, not rounded up to it.
TEST(StreamFaults, ShortAcceptBoundIsKept) {
  DaqServerOptions o = options_for("ST.NOONE2");
  o.accept_timeout_ms = 20;
  DaqDataServer server(o);
  ASSERT_FALSE(server.start());
  velmor::EqCall call;
  EqDAQconnect c(&call, nullptr);
  fill_request(c, 1);
  ASSERT_EQ(c.connect(server.entry().c_str()), 0);
  auto connected = Clock::now();
  ASSERT_TRUE(server.wait_released(1, 5000));
  EXPECT_LT(Clock::now() - connected, std::chrono::milliseconds(180));
}

// The first and the last messages of a flood are kept in order, every message is
// counted, and the stream goes on undisturbed.
TEST(StreamControlLog, FloodKeepsFirstAndLastAndCountsEveryMessage) {
  Session s(options_for("ST.FLOOD1"), 3);
  ASSERT_TRUE(s.connected);
  constexpr int kFlood = 1000;
  ASSERT_EQ(send_control(*s.link, s.gen_2024, -1), 0);
  for (int i = 1; i < kFlood - 1; ++i) ASSERT_EQ(send_control(*s.link, s.gen_2024, -10 - i), 0);
  ASSERT_EQ(send_control(*s.link, s.gen_2024, 0), 0);
  Received got;
  take_to_end(*s.link, s.gen_2024, &got);
  EXPECT_TRUE(consecutive(got.events, s.plan.first_event, 30));
  DaqRequestSummary sum;
  ASSERT_TRUE(servertest::wait_until(
      [&] { return s.server.summary(1, &sum) && sum.control_total == kFlood; }, 5000));
  ASSERT_EQ(sum.control.size(), size_t{DAQ_CONTROL_KEPT_FIRST + DAQ_CONTROL_KEPT_LAST});
  EXPECT_EQ(sum.control.front().kind, DAQ_CONTROL_PAUSE);
  EXPECT_EQ(sum.control[1].event_number, -11);
  EXPECT_EQ(sum.control[DAQ_CONTROL_KEPT_FIRST - 1].event_number,
            -10 - (DAQ_CONTROL_KEPT_FIRST - 1));
  EXPECT_EQ(sum.control[DAQ_CONTROL_KEPT_FIRST].event_number,
            -10 - (kFlood - DAQ_CONTROL_KEPT_LAST));
  EXPECT_EQ(sum.control.back().kind, DAQ_CONTROL_RESUME);
  EXPECT_EQ(sum.control_counts[DAQ_CONTROL_PAUSE], 1);
  EXPECT_EQ(sum.control_counts[DAQ_CONTROL_OTHER], kFlood - 2);
  EXPECT_EQ(sum.control_counts[DAQ_CONTROL_RESUME], 1);
  EXPECT_EQ(s.server.control_log(1).size(), sum.control.size());
}

// No progress within the send-stall bound ends the stream and frees its slot:
// a push receiver that never reads (the link fills), and a handshake receiver
// that never acknowledges.
TEST(StreamStall, ReceiverWithoutProgressLosesItsSlot) {
  for (int mode : {int{ORXA_DAQ_COMM_PUSH}, int{ORXA_DAQ_COMM_HNDS}}) {
    SCOPED_TRACE(mode);
    DaqServerOptions o = options_for(mode == ORXA_DAQ_COMM_PUSH ? "ST.STALL1" : "ST.STALL2");
    o.send_stall_ms = 300;
    Session s(o, 60, mode);  // far more than the socket buffers hold
    ASSERT_TRUE(s.connected);
    if (mode == ORXA_DAQ_COMM_HNDS) {
      Received got;
      while (got.events.empty()) ASSERT_GT(take_one(*s.link, s.gen_2024, &got, 5000), 0);
    }
    EXPECT_TRUE(s.server.wait_released(1, 10000));
    EXPECT_EQ(s.server.active_requests(), 0);
    DaqRequestSummary done;
    ASSERT_TRUE(s.server.summary(1, &done));
    EXPECT_TRUE(done.receiver_came);
    EXPECT_LT(static_cast<uint64_t>(done.events_sent), done.event_count);
  }
}

// A paused receiver reads nothing but holds every 50 ms: it keeps its stream for
// many stall bounds. Once its holds stop (the receiver is gone) the slot is freed.
TEST(StreamStall, PausedReceiverKeepsItsSlotWhileItsHoldsArrive) {
  DaqServerOptions o = options_for("ST.STALL3");
  o.send_stall_ms = 1000;  // far above a late hold on a loaded machine
  Session s(o, 60);
  ASSERT_TRUE(s.connected);
  ASSERT_EQ(send_control(*s.link, s.gen_2024, -1), 0);
  for (auto until = Clock::now() + std::chrono::milliseconds(3000); Clock::now() < until;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(send_control(*s.link, s.gen_2024, -1), 0);
  }
  DaqRequestSummary held;
  ASSERT_TRUE(s.server.summary(1, &held));
  EXPECT_FALSE(held.released);
  EXPECT_GE(held.control_counts[DAQ_CONTROL_HOLD], 20);
  EXPECT_TRUE(s.server.wait_released(1, 10000));
}

// A client whose answers come too late sends the same document again under the
// same id: the retry replaces the request it gave up instead of taking a second
// slot. Another request that happens to share the id is not touched.
TEST(StreamRequests, RetryOfTheSameRequestTakesOneSlot) {
  DaqServerOptions o = options_for("ST.RETRY1");
  o.max_requests = 2;
  DaqDataServer server(o);
  ASSERT_FALSE(server.start());
  velmor::EqCall call;
  EqDAQconnect c(&call, nullptr);
  std::string doc = request_document(c, 3);
  ASSERT_FALSE(doc.empty());
  for (int i = 0; i < 5; ++i) ASSERT_EQ(send_request(server, doc), "Request accepted");
  EXPECT_EQ(server.requests_accepted(), 5);
  // A replaced request hands out no port, even before it is released.
  for (int n = 1; n <= 4; ++n) {
    velmor::EqAdr adr;
    adr.adr(server.entry() + "DAQ.REP" + std::to_string(n));
    velmor::EqData out;
    EXPECT_EQ(call.get(&adr, nullptr, &out), velmor::EQ_ERR_UNKNOWN_PROPERTY) << n;
  }
  auto held = [&](int n) {
    return servertest::wait_until([&] { return server.active_requests() == n; }, 5000);
  };
  EXPECT_TRUE(held(1));
  EXPECT_TRUE(server.wait_released(4, 5000));
  std::string other = request_document(c, 4);
  ASSERT_EQ(send_request(server, other), "Request accepted");
  EXPECT_EQ(send_request(server, doc), "Request accepted");  // replaces 5, not 6
  EXPECT_TRUE(held(2));
  EXPECT_TRUE(server.wait_released(5, 5000));

  // Final answers the client cannot use (port 0): each pass of its connect
  // sends the request again, and the server never runs out of slots for them.
  DaqServerOptions z = options_for("ST.RETRY2");
  z.max_requests = 1;
  z.port_zero = true;
  DaqDataServer zero(z);
  ASSERT_FALSE(zero.start());
  EqDAQconnect passes(&call, nullptr);
  fill_request(passes, 3);
  passes.connect(zero.entry().c_str());
  EXPECT_GT(zero.requests_answered(), 1);
  EXPECT_EQ(zero.requests_accepted(), zero.requests_answered()) << "a retry was answered BUSY";
}

TEST(StreamRequests, RequestsInARowEachGetTheirOwnDataLink) {
  DaqDataServer server(options_for("ST.ROW"));
  ASSERT_FALSE(server.start());
  velmor::EqCall call;
  std::set<int> ports;
  for (int i = 0; i < 3; ++i) {
    EqDAQconnect c(&call, nullptr);
    fill_request(c, 1);
    ASSERT_EQ(c.connect(server.entry().c_str()), 0) << i;
    daq_server_reply* r = c.get_server_reply();
    ports.insert(r->port);
    Tidewire link(false);
    ASSERT_EQ(link.Connect(r->host, r->port), 0) << i;
    Received got;
    take_to_end(link, r->evid64bitmode, &got);
    EXPECT_TRUE(got.end_seen) << i;
  }
  EXPECT_EQ(ports.size(), 3u);
}

// A spare's port is handed to nobody, so a connection that came before it is
// taken is a stranger's: the request gets a fresh listener, not the stranger.
TEST(StreamRequests, SpareThatAStrangerReachedIsNotHandedOut) {
  SpareListener spares;
  int rc = -1;
  ASSERT_NE(spares.take("127.0.0.1", &rc), nullptr);
  spares.refill();
  int kept = spares.spare_port();
  ASSERT_NE(kept, 0);
  // A plain TCP connect: nobody accepts on a spare, so no hello would come.
  int stranger = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(static_cast<uint16_t>(kept));
  ASSERT_EQ(connect(stranger, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
  std::unique_ptr<TidewireListener> taken = spares.take("127.0.0.1", &rc);
  ASSERT_EQ(rc, 0);
  ASSERT_NE(taken, nullptr);
  EXPECT_NE(taken->GetPort(), kept);
  EXPECT_EQ(spares.spare_port(), 0);
  // Untouched, the spare is what the next request gets.
  spares.refill();
  kept = spares.spare_port();
  ASSERT_NE(kept, 0);
  EXPECT_EQ(spares.take("127.0.0.1", &rc)->GetPort(), kept);
  close(stranger);
}
