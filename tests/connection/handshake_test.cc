// The request handshake against real DAQ data servers over loopback: every
// outcome of connect, failover across entries, and cancellation.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "closing_peer.h"
#include "daq_data_server.h"
#include "eq_daq_connect.h"
#include "orxa_chan_descr.h"
#include "server_fixture.h"
#include "velmor_server.h"

using servertest::bare_entry;
using servertest::dead_entry;
using servertest::fill_request;
using servertest::options_for;

namespace {

// What a pass observer was told, one "pass code what" text per pass.
struct PassLog {
  std::vector<std::string> passes;
  static void note(void* self, int pass, int code, const char* what) {
    static_cast<PassLog*>(self)->passes.push_back(std::to_string(pass) + " " +
                                                  std::to_string(code) + " " + what);
  }
};

int count_of(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

}  // namespace

TEST(Handshake, FailoverSkipsUnknownAndDeadEntries) {
  DaqDataServer good(options_for("HS.GOOD1"));
  ASSERT_FALSE(good.start());
  std::string list =
      "NOSUCH.DAQ/NONE/DAQ.DATA.SVR:" + dead_entry("DEAD.DAQ", "HS.DEAD1") + ":" + bare_entry(good);
  velmor::EqCall call;
  EqDAQconnect c(&call, nullptr);
  fill_request(c, 10);
  c.add_channel("DIAG/TOROID/T1.SPECT");
  ASSERT_EQ(c.connect(list.c_str()), 0);
  char* host = nullptr;
  int port = 0;
  bool mode = true;
  ASSERT_EQ(c.get_server_host_port(&host, &port, &mode), 0);
  EXPECT_STREQ(host, "127.0.0.1");
  EXPECT_GT(port, 0);
  EXPECT_FALSE(mode);  // 2025 event numbers fit the legacy generation
  daq_server_reply* r = c.get_server_reply();
  EXPECT_EQ(r->stat.events, 100);
  EXPECT_EQ(r->stat.files, 1);
  EXPECT_STREQ(c.get_error(1), "Failed to send request ");  // cleared by the good write
  EXPECT_EQ(good.requests_accepted(), 1);
}

TEST(Handshake, EntriesWithAndWithoutTrailingSlash) {
  DaqDataServer a(options_for("HS.SLASH1"));
  DaqDataServer b(options_for("HS.SLASH2"));
  ASSERT_FALSE(a.start());
  ASSERT_FALSE(b.start());
  velmor::EqCall call;
  EqDAQconnect c(&call, nullptr);
  fill_request(c);
  EXPECT_EQ(c.connect(bare_entry(a).c_str()), 0);
  EXPECT_EQ(c.connect(b.entry().c_str()), 0);
  EXPECT_EQ(a.requests_accepted(), 1);
  EXPECT_EQ(b.requests_accepted(), 1);
}

TEST(Handshake, BusyServerThenAGoodOne) {
  DaqServerOptions busy = options_for("HS.BUSY1");
  busy.busy_times = 1000;
  DaqDataServer first(busy);
  DaqDataServer second(options_for("HS.BUSY2"));
  ASSERT_FALSE(first.start());
  ASSERT_FALSE(second.start());
  velmor::EqCall call;
  EqDAQconnect c(&call, nullptr);
  fill_request(c);
  EXPECT_EQ(c.connect((first.entry() + ":" + second.entry()).c_str()), 0);
  EXPECT_EQ(first.requests_answered(), 1);
  EXPECT_EQ(second.requests_accepted(), 1);
}

TEST(Handshake, BusyPassesArePacedAndTheBudgetEndsThem) {
  DaqServerOptions busy = options_for("HS.BUSY3");
  busy.busy_times = 1000;
  DaqDataServer s(busy);
  ASSERT_FALSE(s.start());
  velmor::EqCall call;
  call.set_timeouts(700, 2500);
  EqDAQconnect c(&call, nullptr);
  fill_request(c);
  PassLog log;
  c.set_pass_observer(&PassLog::note, &log);
  ASSERT_EQ(c.set_connect_timeout(2), 0);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(c.connect(s.entry().c_str()), EQ_DAQ_CONNECT_TIMEOUT);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
  EXPECT_STREQ(c.get_error(EQ_DAQ_CONNECT_TIMEOUT), "Too long waiting for repply");
  // About one pass a second, each told to the observer, not 30 in a blink.
  EXPECT_GE(s.requests_answered(), 2);
  EXPECT_LE(s.requests_answered(), 3);
  ASSERT_GE(log.passes.size(), 1u);
  EXPECT_EQ(log.passes[0], "1 13 server busy");
  EXPECT_EQ(call.connect_timeout_ms(), 700);  // the caller's timeouts are back
  EXPECT_EQ(call.call_timeout_ms(), 2500);
}

TEST(Handshake, ServerServingItsLimitAnswersBusy) {
  DaqServerOptions o = options_for("HS.LIMIT1");
  o.max_requests = 1;
  DaqDataServer s(o);
  ASSERT_FALSE(s.start());
  velmor::EqCall call;
  EqDAQconnect first(&call, nullptr);
  EqDAQconnect second(&call, nullptr);
  fill_request(first);
  fill_request(second);
  ASSERT_EQ(first.connect(s.entry().c_str()), 0);  // its stream now waits for a receiver
  PassLog log;
  second.set_pass_observer(&PassLog::note, &log);
  second.set_connect_timeout(1);  // busy for as long as the first stream waits
  EXPECT_EQ(second.connect(s.entry().c_str()), EQ_DAQ_CONNECT_TIMEOUT);
  EXPECT_STREQ(second.get_reply_error(), "BUSY");
  ASSERT_EQ(log.passes.size(), 1u);
  EXPECT_EQ(log.passes[0], "1 13 server busy");
}

TEST(Handshake, ErrorInTheFirstAnswerRepeatsAllPasses) {
  DaqServerOptions o = options_for("HS.ERR1");
  o.error_first = true;
  DaqDataServer s(o);
  ASSERT_FALSE(s.start());
  velmor::EqCall call;
  EqDAQconnect c(&call, nullptr);
  fill_request(c);
  EXPECT_EQ(c.connect(s.entry().c_str()), EQ_DAQ_CONNECT_BAD_REPLY);
  EXPECT_EQ(s.requests_answered(), 30);
  EXPECT_NE(std::strstr(c.get_reply_error(), "ERROR"), nullptr);
}

TEST(Handshake, UnservableRequestsGetAReadableError) {
  DaqDataServer s(options_for("HS.ERR2"));
  ASSERT_FALSE(s.start());
  velmor::EqCall call;
  EqDAQconnect future(&call, nullptr);
  future.set_start_time("2099-1-1T0:0:0");
  future.set_stop_time("2099-1-1T0:1:0");
  EXPECT_EQ(future.connect(s.entry().c_str()), EQ_DAQ_CONNECT_BAD_REPLY);
  EXPECT_STREQ(future.get_reply_error(), "ERROR: no data in the requested time range");
  EqDAQconnect unknown(&call, nullptr);
  fill_request(unknown);
  unknown.add_channel("NO/SUCH/CHANNEL");
  EXPECT_EQ(unknown.connect(s.entry().c_str()), EQ_DAQ_CONNECT_BAD_REPLY);
  EXPECT_STREQ(unknown.get_reply_error(), "ERROR: none of the requested channels is known");
  EXPECT_EQ(s.requests_accepted(), 0);
}

TEST(Handshake, ErrorInTheFinalAnswerEndsAtOnce) {
  DaqServerOptions o = options_for("HS.ERR3");
  o.error_final = true;
  DaqDataServer s(o);
  DaqDataServer spare(options_for("HS.ERR3B"));
  ASSERT_FALSE(s.start());
  ASSERT_FALSE(spare.start());
  velmor::EqCall call;
  EqDAQconnect c(&call, nullptr);
  fill_request(c);
  EXPECT_EQ(c.connect((s.entry() + ":" + spare.entry()).c_str()), EQ_DAQ_CONNECT_BAD_REPLY);
  EXPECT_EQ(s.requests_answered(), 1);
  EXPECT_EQ(spare.requests_answered(), 0);
  EXPECT_TRUE(s.wait_released(1, 5000));  // nobody will come for that stream
}

TEST(Handshake, ProcessingIsPolledUntilTheFinalAnswer) {
  DaqServerOptions o = options_for("HS.PROC1");
  o.processing_times = 3;
  DaqDataServer s(o);
  ASSERT_FALSE(s.start());
  velmor::EqCall call;
  EqDAQconnect c(&call, nullptr);
  fill_request(c);
  ASSERT_EQ(c.connect(s.entry().c_str()), 0);
  DaqRequestSummary summary;
  ASSERT_TRUE(s.summary(1, &summary));
  EXPECT_EQ(summary.reply_reads, 4);
  EXPECT_TRUE(summary.final_read);
  EXPECT_EQ(std::strncmp(c.get_reply_error(), "OK", 2), 0);
}

TEST(Handshake, ChangedEchoGivesDifferentRequests) {
  DaqServerOptions o = options_for("HS.ECHO1");
  o.echo_changed = true;
  o.max_requests = 100;
  DaqDataServer s(o);
  ASSERT_FALSE(s.start());
  velmor::EqCall call;
  EqDAQconnect c(&call, nullptr);
  fill_request(c);
  testing::internal::CaptureStdout();
  int rc = c.connect(s.entry().c_str());
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(rc, EQ_DAQ_CONNECT_DIFFERENT);
  EXPECT_STREQ(c.get_error(rc), "Requests are different");
  // Both requests on every pass, the one sent first.
  EXPECT_EQ(count_of(out, "======DAQ_REQUEST=ID="), 60);
  size_t sent = out.find("Experimnt:\t'linac'");
  size_t echoed = out.find("Experimnt:\t'changed-by-server'");
  ASSERT_NE(sent, std::string::npos);
  ASSERT_NE(echoed, std::string::npos);
  EXPECT_LT(sent, echoed);
}

TEST(Handshake, PortZeroMovesOnToTheNextEntry) {
  DaqServerOptions o = options_for("HS.ZERO1");
  o.port_zero = true;
  o.max_requests = 100;
  DaqDataServer zero(o);
  DaqDataServer good(options_for("HS.ZERO2"));
  ASSERT_FALSE(zero.start());
  ASSERT_FALSE(good.start());
  velmor::EqCall call;
  EqDAQconnect c(&call, nullptr);
  fill_request(c);
  EXPECT_EQ(c.connect((zero.entry() + ":" + good.entry()).c_str()), 0);
  EXPECT_GT(c.get_server_reply()->port, 0);
  // Alone: every pass notes 0, so the result is 0 with no data stream.
  EXPECT_EQ(c.connect(zero.entry().c_str()), 0);
  EXPECT_EQ(c.get_server_reply()->port, 0);
  EXPECT_EQ(zero.requests_accepted(), 31);
}

TEST(Handshake, ChannelListKeepsTheDescriptions) {
  DaqDataServer s(options_for("HS.LIST1"));
  ASSERT_FALSE(s.start());
  velmor::EqCall call;
  EqDAQconnect c(&call, nullptr);
  fill_request(c);
  c.set_request_type(2);
  c.add_channel("CAMERA/SCREEN/IMAGE");
  c.add_channel("SLOW/TEMP/T1");
  c.add_channel("NOT/IN/CATALOG");
  ASSERT_EQ(c.connect(s.entry().c_str()), 0);
  std::vector<chan_descr_2010*>* list = nullptr;
  ASSERT_EQ(c.get_chan_list(&list), 2u);
  EXPECT_STREQ((*list)[0]->prop_name, "CAMERA/SCREEN/IMAGE");
  EXPECT_EQ((*list)[0]->dtype, 3u);
  EXPECT_STREQ((*list)[1]->units, "C");
  ASSERT_EQ(c.get_not_found_chan_list()->size(), 1u);
  EXPECT_STREQ((*c.get_not_found_chan_list())[0], "NOT/IN/CATALOG");
  EXPECT_EQ(c.get_server_reply()->port, 0);
  // Answers of later connects are appended; only init empties the list.
  ASSERT_EQ(c.connect(nullptr), 0);
  EXPECT_EQ(c.get_chan_list(nullptr), 4u);
  c.init(nullptr);
  EXPECT_EQ(c.get_chan_list(nullptr), 0u);
}

TEST(Handshake, ChannelListKeepsOneDescriptionPerChannelWithinAConnect) {
  DaqServerOptions o = options_for("HS.LIST2");
  o.echo_changed = true;  // its final answer carries the descriptions, then is rejected
  DaqDataServer changed(o);
  DaqDataServer good(options_for("HS.LIST3"));
  ASSERT_FALSE(changed.start());
  ASSERT_FALSE(good.start());
  velmor::EqCall call;
  EqDAQconnect c(&call, nullptr);
  fill_request(c);
  c.set_request_type(2);
  c.add_channel("CAMERA/SCREEN/IMAGE");
  c.add_channel("SLOW/TEMP/T1");
  testing::internal::CaptureStdout();  // the mismatch prints both requests
  int rc = c.connect((changed.entry() + ":" + good.entry()).c_str());
  testing::internal::GetCapturedStdout();
  ASSERT_EQ(rc, 0);
  std::vector<chan_descr_2010*>* list = nullptr;
  ASSERT_EQ(c.get_chan_list(&list), 2u);
  EXPECT_STREQ((*list)[0]->prop_name, "CAMERA/SCREEN/IMAGE");
  EXPECT_STREQ((*list)[1]->prop_name, "SLOW/TEMP/T1");
}

TEST(Handshake, CancelledBeforeTheCallAsksNobody) {
  DaqDataServer s(options_for("HS.CANCEL1"));
  ASSERT_FALSE(s.start());
  velmor::EqCall call;
  EqDAQconnect c(&call, nullptr);  // the request is not even valid
  c.set_connect_cancel(true);
  EXPECT_EQ(c.connect(s.entry().c_str()), EQ_DAQ_CONNECT_CANCELED);
  EXPECT_EQ(call.call_count(), 0);
  EXPECT_TRUE(c.get_connect_cancel());
}

TEST(Handshake, CancelledFromAnotherThreadWhilePolling) {
  DaqServerOptions o = options_for("HS.CANCEL2");
  o.processing_times = 1000000;
  DaqDataServer s(o);
  ASSERT_FALSE(s.start());
  velmor::EqCall call;
  EqDAQconnect c(&call, nullptr);
  fill_request(c);
  std::atomic<bool> gave_up{false};
  std::thread canceller([&] {
    gave_up = !servertest::wait_until(
        [&] {
          DaqRequestSummary sum;
          return s.summary(1, &sum) && sum.reply_reads >= 2;
        },
        10000);
    c.set_connect_cancel(true);
  });
  int rc = c.connect(s.entry().c_str());
  canceller.join();
  EXPECT_FALSE(gave_up);
  EXPECT_EQ(rc, EQ_DAQ_CONNECT_CANCELED);
  EXPECT_STREQ(c.get_reply_error(), "Processing");
}

TEST(Handshake, ValidationFailureAsksNoServer) {
  DaqDataServer s(options_for("HS.VALID1"));
  ASSERT_FALSE(s.start());
  velmor::EqCall call;
  EqDAQconnect c(&call, nullptr);
  testing::internal::CaptureStdout();
  int rc = c.connect(s.entry().c_str());
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(rc, -2);
  EXPECT_EQ(out, "Validate request failed: error:-2\n");
  EXPECT_STREQ(c.get_reply_error(), "Validate request failed, check the request parameters");
  EXPECT_EQ(call.call_count(), 0);
  EXPECT_EQ(s.requests_answered(), 0);
}

TEST(Handshake, OverlongEntryIsAFailedWriteAndSkipped) {
  DaqDataServer s(options_for("HS.LONG1"));
  ASSERT_FALSE(s.start());
  std::string overlong = "LONG.DAQ/" + std::string(70, 'D') + "/DAQ.DATA.SVR/";
  velmor::EqCall call;
  EqDAQconnect c(&call, nullptr);
  fill_request(c);
  EXPECT_EQ(c.connect((overlong + ":" + s.entry()).c_str()), 0);
  EXPECT_EQ(c.connect(overlong.c_str()), EQ_DAQ_CONNECT_SEND_FAILED);
  EXPECT_STREQ(c.get_error(1),
               "Failed to send request server entry too long for an 80-character address");
  EXPECT_EQ(s.requests_accepted(), 1);
}

TEST(Handshake, BudgetEndsAHandshakeStuckInProcessing) {
  DaqServerOptions o = options_for("HS.STUCK1");
  o.processing_times = 1000000;
  DaqDataServer s(o);
  ASSERT_FALSE(s.start());
  velmor::EqCall call;
  EqDAQconnect c(&call, nullptr);
  EXPECT_EQ(c.get_connect_timeout(), EQ_DAQ_CONNECT_DEFAULT_TIMEOUT_S);
  EXPECT_EQ(c.set_connect_timeout(0), -1);
  EXPECT_EQ(c.get_connect_timeout(), EQ_DAQ_CONNECT_DEFAULT_TIMEOUT_S);
  ASSERT_EQ(c.set_connect_timeout(1), 0);
  fill_request(c);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(c.connect(s.entry().c_str()), EQ_DAQ_CONNECT_TIMEOUT);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(4));
  EXPECT_STREQ(c.get_reply_error(), "Processing");
  DaqRequestSummary summary;
  ASSERT_TRUE(s.summary(1, &summary));
  EXPECT_GE(summary.reply_reads, 2);
}

TEST(Handshake, ServerThatNeverAnswersIsCutAtTheBudget) {
  // Listens but never accepts: connects succeed, answers never come.
  int port = 0;
  int fd = loopback_listener(&port);
  ASSERT_GT(port, 0);
  velmor::register_server("MUTE.DAQ/HS.MUTE1", "127.0.0.1", port);
  velmor::EqCall call;
  call.set_timeouts(1000, 3000);  // the call's own bound is longer than the budget
  EqDAQconnect c(&call, nullptr);
  fill_request(c);
  c.set_connect_timeout(1);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(c.connect("MUTE.DAQ/HS.MUTE1/DAQ.DATA.SVR"), EQ_DAQ_CONNECT_TIMEOUT);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(2500));
  EXPECT_EQ(std::string(c.get_error(1))
                .rfind("Failed to send request timeout, no answer from 127.0.0.1:", 0),
            0u)
      << c.get_error(1);
  EXPECT_EQ(call.call_timeout_ms(), 3000);
  velmor::unregister_server("MUTE.DAQ/HS.MUTE1");
  close(fd);
}

TEST(Handshake, UnknownNamesEndTheHandshakeAfterOnePass) {
  velmor::EqCall call;
  EqDAQconnect c(&call, nullptr);
  fill_request(c);
  PassLog log;
  c.set_pass_observer(&PassLog::note, &log);
  EXPECT_EQ(c.connect("NOSUCH.DAQ/ONE/DAQ.DATA.SVR/:NOSUCH.DAQ/TWO/DAQ.DATA.SVR/"),
            EQ_DAQ_CONNECT_SEND_FAILED);
  EXPECT_EQ(call.call_count(), 2);  // one call per name, no retries, no second pass
  EXPECT_TRUE(log.passes.empty());
  EXPECT_STREQ(c.get_error(1),
               "Failed to send request unknown server: no name-table entry for "
               "NOSUCH.DAQ/TWO/DAQ.DATA.SVR");
}

TEST(Handshake, KnownFacilitiesAreThoseWithAListOfTheirOwn) {
  for (const char* f : {"LUMAR", "NOVIK", "VENDA", "TARSEN"})
    EXPECT_TRUE(EqDAQconnect::known_facility(f)) << f;
  for (const char* f : {"novik", "LUMAR.DAQ", ""})
    EXPECT_FALSE(EqDAQconnect::known_facility(f)) << f;
  EXPECT_FALSE(EqDAQconnect::known_facility(nullptr));
}

TEST(Handshake, RequestTakenByAServerThatThenClosesIsNotSentAgain) {
  ClosingPeer peer;
  ASSERT_GT(peer.port(), 0);
  ASSERT_FALSE(velmor::register_server("CLOSE.DAQ/HS.CLOSE1", "127.0.0.1", peer.port()));
  velmor::EqCall call;
  EqDAQconnect c(&call, nullptr);
  fill_request(c);
  // Stop after the first pass: later passes may ask again, the calls of one may not.
  c.set_pass_observer(
      [](void* self, int, int, const char*) {
        static_cast<EqDAQconnect*>(self)->set_connect_cancel(true);
      },
      &c);
  EXPECT_EQ(c.connect("CLOSE.DAQ/HS.CLOSE1/DAQ.DATA.SVR/"), EQ_DAQ_CONNECT_CANCELED);
  EXPECT_EQ(peer.taken(), 1);
  EXPECT_EQ(std::string(c.get_error(1)).rfind("Failed to send request connection lost", 0), 0u)
      << c.get_error(1);
  velmor::unregister_server("CLOSE.DAQ/HS.CLOSE1");
}

namespace {

// A DAQ server that keeps every request it takes (no release, no replacement of
// a retry) until `capacity` are held, then answers "BUSY", as a site's server may.
// Its final answer is scripted. `busy_from`: answer only "BUSY" from that request
// on, the first ones with an unreadable document, taking nothing.
class HoldingServer {
 public:
  enum Final { kPortZero, kEchoChanged, kUnreadable };

  HoldingServer(const std::string& device, Final final, int capacity, int busy_from = 0)
      : device_(device), final_(final), capacity_(capacity), busy_from_(busy_from) {
    server_.add_property(
        "DAQ.REQ",
        [this](const std::string&, const velmor::EqData& in, velmor::EqData& out) {
          return on_request(in, out);
        },
        nullptr);
    server_.start();
    velmor::register_server(("HOLD.DAQ/" + device).c_str(), "127.0.0.1", server_.port());
  }
  ~HoldingServer() {
    server_.stop();
    velmor::unregister_server(("HOLD.DAQ/" + device_).c_str());
  }
  std::string entry() const { return "HOLD.DAQ/" + device_ + "/DAQ.DATA.SVR/"; }
  std::vector<uint32_t> ids() {
    std::lock_guard<std::mutex> g(m_);
    return ids_;
  }

 private:
  int on_request(const velmor::EqData& in, velmor::EqData& out) {
    std::string xml = in.get_xml() ? in.get_xml() : "";
    daq_server_request r;
    clean_request(&r);
    parse_daq_request(&xml[0], &r);
    std::string doc;
    char busy[] = "BUSY", accepted[] = "Request accepted";
    std::lock_guard<std::mutex> g(m_);
    ids_.push_back(r.id);
    int n = static_cast<int>(ids_.size());
    if (busy_from_ > 0 && n < busy_from_) {
      doc = "not a reply";
    } else if (busy_from_ > 0 || n > capacity_) {
      get_simple_reply(busy, doc, r.id);
    } else {
      daq_server_reply last;
      clean_reply(&last);
      parse_daq_request(&xml[0], &last.request);
      std::snprintf(last.reason, sizeof last.reason, "OK: held as number %d", n);
      if (final_ == kEchoChanged) {
        std::strcpy(last.request.exp, "changed");
        last.port = 5000;
      }
      std::string answer;
      create_xml_daq_reply(&last, answer, nullptr);
      clean_reply(&last);
      server_.add_property(
          "DAQ.REP" + std::to_string(n), nullptr,
          [this, answer](const std::string&, const velmor::EqData&, velmor::EqData& o) -> int {
            o.set_xml(final_ == kUnreadable ? "not a reply" : answer);
            return 0;
          });
      get_simple_reply_with_port(accepted, doc, r.id, static_cast<unsigned>(n));
    }
    clean_request(&r);
    out.set_xml(doc);
    return 0;
  }

  std::string device_;
  Final final_;
  int capacity_;
  int busy_from_;
  std::mutex m_;
  std::vector<uint32_t> ids_;
  velmor::PropertyServer server_;
};

}  // namespace

// A server that holds every earlier attempt fills up with them: the last pass
// meets "BUSY", but the cause is what the server answered before.
TEST(Handshake, BusyCausedByOurOwnHeldAttemptsReportsTheEarlierCause) {
  struct Case {
    HoldingServer::Final final;
    int code;
    const char* reason;
  } cases[] = {{HoldingServer::kPortZero, EQ_DAQ_CONNECT_OK, "OK: held as number 29"},
               {HoldingServer::kEchoChanged, EQ_DAQ_CONNECT_DIFFERENT, "OK: held as number 29"},
               {HoldingServer::kUnreadable, EQ_DAQ_CONNECT_PARSE_FAILED, ""}};
  for (const Case& k : cases) {
    HoldingServer s("HS.HOLD" + std::to_string(k.final), k.final, 29);
    velmor::EqCall call;
    EqDAQconnect c(&call, nullptr);
    fill_request(c);
    testing::internal::CaptureStdout();  // both requests of a changed echo, parser lines
    int rc = c.connect(s.entry().c_str());
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(rc, k.code) << k.final;
    EXPECT_STREQ(c.get_reply_error(), k.reason) << k.final;
    if (k.code == EQ_DAQ_CONNECT_OK) {
      EXPECT_EQ(c.get_server_reply()->port, 0);
    }
    std::vector<uint32_t> ids = s.ids();
    ASSERT_EQ(ids.size(), 30u);
    for (uint32_t id : ids) EXPECT_EQ(id, ids[0]) << "every retry is the same request";
  }
}

// Only an entry that took the request can be filled by it: a "BUSY" from one
// that never did is the result when it is the last attempt.
TEST(Handshake, BusyFromAnEntryThatTookNothingStaysTheResult) {
  HoldingServer holding("HS.HOLD9", HoldingServer::kPortZero, 29);
  HoldingServer busy("HS.BUSY9", HoldingServer::kPortZero, 0, 30);
  velmor::EqCall call;
  EqDAQconnect c(&call, nullptr);
  fill_request(c);
  testing::internal::CaptureStdout();  // the parser's lines on the unreadable answers
  int rc = c.connect((holding.entry() + ":" + busy.entry()).c_str());
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(rc, EQ_DAQ_CONNECT_BUSY);
  EXPECT_STREQ(c.get_reply_error(), "BUSY");
}
