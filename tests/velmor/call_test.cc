// Property calls against a real property server over loopback: the main road,
// the name table, every failure the client must report, and bad frames.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#else
#include <malloc.h>
#endif

#include "closing_peer.h"
#include "velmor.h"
#include "velmor_server.h"

using velmor::EqAdr;
using velmor::EqCall;
using velmor::EqData;
using velmor::PropertyServer;

namespace {

// A server with a stored value ("VALUE": set stores, get returns), a failing
// property and a property without a set handler, registered as TEST/SRV.
class CallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_.add_property(
        "VALUE",
        [this](const std::string&, const EqData& in, EqData&) {
          std::lock_guard<std::mutex> lock(mu_);
          stored_.copy_from(&in);
          return 0;
        },
        [this](const std::string&, const EqData&, EqData& out) {
          std::lock_guard<std::mutex> lock(mu_);
          out.copy_from(&stored_);
          return 0;
        });
    server_.add_property("FAILS", nullptr, [](const std::string&, const EqData&, EqData& out) {
      out.set_error(7, "handler says no");
      return 7;
    });
    server_.add_property("THROWS", nullptr, [](const std::string&, const EqData&, EqData&) -> int {
      throw std::runtime_error("boom");
    });
    ASSERT_FALSE(server_.start("127.0.0.1", 0));
    ASSERT_GT(server_.port(), 0);
    ASSERT_FALSE(velmor::register_server("TEST/SRV", "127.0.0.1", server_.port()));
  }
  void TearDown() override { velmor::unregister_server("TEST/SRV"); }

  EqAdr adr(const std::string& property) {
    EqAdr a;
    a.adr("/TEST/SRV/" + property);
    return a;
  }

  PropertyServer server_;
  std::mutex mu_;
  EqData stored_;
};

// A port on which nobody listens.
int closed_port() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  close(s);
  return ntohs(a.sin_port);
}

int raw_connect(int port) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(s);
    return -1;
  }
  timeval tv{5, 0};
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  return s;
}

// Reads until the server closes; returns what arrived.
std::string read_to_close(int s) {
  std::string all;
  char buf[4096];
  ssize_t n;
  while ((n = recv(s, buf, sizeof buf, 0)) > 0) all.append(buf, static_cast<size_t>(n));
  return all;
}

// True when the server closes s before its receive timeout, whatever it sent first.
bool closed_by_server(int s) {
  char buf[4096];
  ssize_t n;
  while ((n = recv(s, buf, sizeof buf, 0)) > 0) {
  }
  return n == 0;
}

}  // namespace

TEST_F(CallTest, SetThenGetReturnsTheValueOverOneConnection) {
  EqCall call;
  EqAdr a = adr("VALUE");
  EqData in, out;
  in.set_xml("<DAQREQ id=\"3\"/>");
  in.mpnum(7000000000L);
  ASSERT_EQ(call.set(&a, &in, &out), 0);
  EXPECT_EQ(out.error(), 0);
  EqData got;
  ASSERT_EQ(call.get(&a, nullptr, &got), 0);
  EXPECT_STREQ(got.get_xml(), "<DAQREQ id=\"3\"/>");
  EXPECT_EQ(got.get_mpnum(), 7000000000L);
  for (int i = 0; i < 5; ++i) ASSERT_EQ(call.get(&a, nullptr, &got), 0);
  EXPECT_EQ(call.connects_made(), 1);  // reused, not reconnected
  EXPECT_EQ(server_.connections_accepted(), 1);
}

TEST_F(CallTest, NamesListsPropertiesAddedAndRemovedWhileRunning) {
  EqCall call;
  EqAdr a = adr("DAQ.REQ");
  EqData out;
  server_.add_property("DAQ.REP1", nullptr, [](const std::string& p, const EqData&, EqData& o) {
    o.set_string(p);
    return 0;
  });
  ASSERT_EQ(call.names(&a, &out), 0);
  EXPECT_EQ(out.type(), velmor::DATA_A_STRING);
  ASSERT_EQ(out.value_count(), 4);
  EXPECT_STREQ(out.get_text(3), "DAQ.REP1");
  EqAdr rep = adr("DAQ.REP1");
  ASSERT_EQ(call.get(&rep, nullptr, &out), 0);
  EXPECT_STREQ(out.get_xml(), "DAQ.REP1");
  EXPECT_FALSE(server_.remove_property("DAQ.REP1"));
  EXPECT_EQ(call.get(&rep, nullptr, &out), velmor::EQ_ERR_UNKNOWN_PROPERTY);
  char text[80];
  EXPECT_NE(std::string(out.get_string(text, sizeof text)).find("DAQ.REP1"), std::string::npos);
}

TEST_F(CallTest, HandlerFailuresReachTheClientWithCodeAndText) {
  EqCall call;
  EqData out;
  char text[80];
  EqAdr fails = adr("FAILS");
  EXPECT_EQ(call.get(&fails, nullptr, &out), 7);
  EXPECT_EQ(out.error(), 7);
  EXPECT_STREQ(out.get_string(text, sizeof text), "handler says no");
  EqAdr throws = adr("THROWS");
  EXPECT_EQ(call.get(&throws, nullptr, &out), velmor::EQ_ERR_SERVER_FAILURE);
  EXPECT_NE(std::string(out.get_string(text, sizeof text)).find("THROWS"), std::string::npos);
  EqData in;
  in.set_int(1);
  EXPECT_EQ(call.set(&fails, &in, &out), velmor::EQ_ERR_NOT_SUPPORTED);
  // The connection survives handler failures.
  EqAdr value = adr("VALUE");
  EXPECT_EQ(call.get(&value, nullptr, &out), 0);
  EXPECT_EQ(call.connects_made(), 1);
}

TEST_F(CallTest, UnknownServerRefusedConnectionAndBadAddressGiveCodes) {
  EqCall call;
  EqData out;
  char text[80];
  EqAdr nowhere;
  nowhere.adr("/NOWHERE/X/DAQ.REQ");
  EXPECT_EQ(call.get(&nowhere, nullptr, &out), velmor::EQ_ERR_UNKNOWN_SERVER);

  ASSERT_FALSE(velmor::register_server("TEST/DEAD", "127.0.0.1", closed_port()));
  EqAdr dead;
  dead.adr("/TEST/DEAD/DAQ.REQ");
  EXPECT_EQ(call.get(&dead, nullptr, &out), velmor::EQ_ERR_CONNECTION_REFUSED);
  EXPECT_EQ(std::string(out.get_string(text, sizeof text)).rfind("connection refused", 0), 0u);
  velmor::unregister_server("TEST/DEAD");

  EqAdr bad;
  bad.adr("no-property");
  EXPECT_EQ(call.get(&bad, nullptr, &out), velmor::EQ_ERR_BAD_ADDRESS);
  EXPECT_EQ(call.get(nullptr, nullptr, &out), velmor::EQ_ERR_INVALID_ARGUMENT);
}

TEST_F(CallTest, EnvironmentNameTableInlineAndFile) {
  EqCall call;
  EqData out;
  std::string inline_list =
      "OTHER/X=127.0.0.1:1;ENVFAC/DEV=127.0.0.1:" + std::to_string(server_.port());
  setenv("VELMOR_NAMES", inline_list.c_str(), 1);
  EqAdr a;
  a.adr("/envfac/dev/VALUE");  // names match case-insensitively
  EXPECT_EQ(call.get(&a, nullptr, &out), 0);

  std::string path = std::string(DAQ_BINARY_DIR) + "/velmor_names_test.txt";
  {
    std::ofstream f(path);
    f << "# test table\n\nFILEFAC/DEV/LOC 127.0.0.1:" << server_.port() << "  # trailing comment\n";
  }
  setenv("VELMOR_NAMES", path.c_str(), 1);
  a.adr("/FILEFAC/DEV/LOC/VALUE");
  EXPECT_EQ(call.get(&a, nullptr, &out), 0);
  a.adr("/FILEFAC/DEV/OTHERLOC/VALUE");  // no FILEFAC/DEV entry
  EXPECT_EQ(call.get(&a, nullptr, &out), velmor::EQ_ERR_UNKNOWN_SERVER);
  setenv("VELMOR_NAMES", "/dev/zero", 1);  // endless: read up to the bound, then ignored
  EXPECT_EQ(call.get(&a, nullptr, &out), velmor::EQ_ERR_UNKNOWN_SERVER);
  unsetenv("VELMOR_NAMES");
  std::remove(path.c_str());
}

TEST_F(CallTest, CallTimesOutWithinBoundsAndTheNextCallIsClean) {
  EqCall call;
  call.set_timeouts(500, 200);
  server_.test_answer_delay_ms(2000);
  EqAdr a = adr("VALUE");
  EqData out;
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(call.get(&a, nullptr, &out), velmor::EQ_ERR_TIMEOUT);
  auto took = std::chrono::steady_clock::now() - t0;
  EXPECT_LT(took, std::chrono::milliseconds(1500));
  server_.test_answer_delay_ms(0);
  EqData in;
  in.set_int(11);
  ASSERT_EQ(call.set(&a, &in, &out), 0);
  ASSERT_EQ(call.get(&a, nullptr, &out), 0);
  EXPECT_EQ(out.get_int(), 11);  // not the late answer of the timed-out call
  EXPECT_EQ(call.connects_made(), 2);
}

TEST_F(CallTest, ServerClosingMidCallIsRetriedOnlyWithRetryOption) {
  EqCall call;
  EqAdr a = adr("VALUE");
  EqData out;
  ASSERT_EQ(call.get(&a, nullptr, &out), 0);
  server_.test_drop_next(1);
  EXPECT_EQ(call.get(&a, nullptr, &out), velmor::EQ_ERR_CONNECTION_LOST);

  server_.test_drop_next(1);
  call.set_option(&a, nullptr, &out, velmor::EQ_RETRY);
  EXPECT_EQ(call.get(&a, nullptr, &out), 0);

  server_.test_drop_next(2);  // one retry, no more
  call.set_option(&a, nullptr, &out, velmor::EQ_RETRY);
  EXPECT_EQ(call.get(&a, nullptr, &out), velmor::EQ_ERR_CONNECTION_LOST);
}

TEST(CallRetry, OnlyCallsThatCannotChangeTheServerAreSentAgain) {
  ClosingPeer peer;
  ASSERT_GT(peer.port(), 0);
  ASSERT_FALSE(velmor::register_server("TEST/CLOSER", "127.0.0.1", peer.port()));
  EqCall call;
  EqAdr a;
  a.adr("/TEST/CLOSER/DAQ.REQ");
  EqData in, out;
  in.set_xml("<DAQREQ/>");
  call.set_option(&a, &in, &out, velmor::EQ_RETRY);
  EXPECT_EQ(call.set(&a, &in, &out), velmor::EQ_ERR_CONNECTION_LOST);
  EXPECT_EQ(peer.taken(), 1);  // taken once: never sent a second time
  call.set_option(&a, nullptr, &out, velmor::EQ_RETRY);
  EXPECT_EQ(call.get(&a, nullptr, &out), velmor::EQ_ERR_CONNECTION_LOST);
  EXPECT_EQ(peer.taken(), 3);  // a get is harmless to repeat
  velmor::unregister_server("TEST/CLOSER");
}

TEST_F(CallTest, FailureTextsPutCauseAndServerBeforeALongAddress) {
  std::string property = "A.PROPERTY.WITH.A.NAME.LONG.ENOUGH.TO.FILL.THE.BUFFER";
  server_.add_property(property, nullptr,
                       [](const std::string&, const EqData&, EqData&) { return 0; });
  server_.test_answer_delay_ms(1000);
  EqCall call;
  call.set_timeouts(500, 100);
  EqAdr a = adr(property);
  EqData out;
  char text[80];
  EXPECT_EQ(call.get(&a, nullptr, &out), velmor::EQ_ERR_TIMEOUT);
  std::string want = "timeout, no answer from 127.0.0.1:" + std::to_string(server_.port()) +
                     ": /TEST/SRV/" + property;
  EXPECT_EQ(out.get_string(text, sizeof text), want.substr(0, sizeof text - 1));
  server_.test_answer_delay_ms(0);

  EqAdr nowhere;
  nowhere.adr("/NOWHERE/X/DAQ.REQ");
  EXPECT_EQ(call.get(&nowhere, nullptr, &out), velmor::EQ_ERR_UNKNOWN_SERVER);
  EXPECT_STREQ(out.get_string(text, sizeof text),
               "unknown server: no name-table entry for NOWHERE/X");
}

TEST_F(CallTest, StoppedServerIsNoticedOnTheCachedConnection) {
  EqCall call;
  EqAdr a = adr("VALUE");
  EqData out;
  ASSERT_EQ(call.get(&a, nullptr, &out), 0);
  server_.stop();
  EXPECT_EQ(call.get(&a, nullptr, &out), velmor::EQ_ERR_CONNECTION_REFUSED);
  ASSERT_FALSE(server_.start("127.0.0.1", 0));
  velmor::register_server("TEST/SRV", "127.0.0.1", server_.port());
  EXPECT_EQ(call.get(&a, nullptr, &out), 0);
}

TEST_F(CallTest, TestHooksFailAndScriptCallsWithoutTheServer) {
  EqCall call;
  EqAdr a = adr("VALUE");
  EqData out;
  call.test_fail_call(2, 0);
  EXPECT_EQ(call.get(&a, nullptr, &out), 0);
  EXPECT_EQ(call.get(&a, nullptr, &out), velmor::EQ_ERR_INJECTED);
  EXPECT_EQ(call.get(&a, nullptr, &out), 0);
  EqData answer;
  answer.set_xml("<scripted/>");
  call.test_script_answer("DAQ.REP9", answer, 2);
  EqAdr rep = adr("DAQ.REP9");
  EXPECT_EQ(call.get(&rep, nullptr, &out), 0);
  EXPECT_EQ(call.get(&rep, nullptr, &out), 0);
  EXPECT_STREQ(out.get_xml(), "<scripted/>");
  EXPECT_EQ(call.get(&rep, nullptr, &out), velmor::EQ_ERR_UNKNOWN_PROPERTY);
  server_.test_refuse_calls(9);
  EXPECT_EQ(call.get(&a, nullptr, &out), 9);
  server_.test_refuse_calls(0);
  EXPECT_EQ(call.call_count(), 7);
}

TEST_F(CallTest, BadFramesEndOnlyTheirConnection) {
  EqCall call;
  EqAdr a = adr("VALUE");
  EqData out;
  ASSERT_EQ(call.get(&a, nullptr, &out), 0);  // a client that must keep working

  const std::string frames[] = {
      std::string("XX\x01\x02\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00", 16),  // magic
      std::string("VM\x09\x02\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00", 16),  // version
      std::string("VM\x01\x07\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00", 16),  // kind
      std::string("VM\x01\x02\x01\x00\x00\x00\x00\x00\x00\x00\xff\xff\xff\x7f", 16),  // size
      std::string("VM\x01\x02\x01\x00\x00\x00\x00\x00\x00\x00\x04\x00\x00\x00\x09\x00"
                  "AB",
                  20),
      std::string("VM\x01\x02\x01\x00\x00\x00\x00\x00\x00\x00\x08\x00\x00\x00\x01\x00PXYZ12", 24),
  };
  for (const std::string& f : frames) {
    int s = raw_connect(server_.port());
    ASSERT_GE(s, 0);
    ASSERT_EQ(send(s, f.data(), f.size(), MSG_NOSIGNAL), static_cast<ssize_t>(f.size()));
    std::string answer = read_to_close(s);
    close(s);
    ASSERT_GE(answer.size(), 16u);  // a protocol-error answer, then the close
    EXPECT_EQ(answer[8], static_cast<char>(velmor::EQ_ERR_PROTOCOL));
  }
  EXPECT_EQ(server_.bad_frames(), 6);
  // A frame that claims more than it carries: the peer closes, the server forgets it.
  int s = raw_connect(server_.port());
  std::string partial("VM\x01\x02\x01\x00\x00\x00\x00\x00\x00\x00\x00\x10\x00\x00\x05\x00", 18);
  send(s, partial.data(), partial.size(), MSG_NOSIGNAL);
  close(s);
  EXPECT_EQ(call.get(&a, nullptr, &out), 0);
  EXPECT_EQ(call.connects_made(), 1);
  for (int i = 0; i < 200 && server_.open_connections() != 1; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));  // bounded wait for the close
  EXPECT_EQ(server_.open_connections(), 1);
}

TEST(PropertyServer, FourMegabyteValueTravelsIntact) {
  PropertyServer server;
  std::vector<float> values(1 << 20);
  for (size_t i = 0; i < values.size(); ++i) values[i] = static_cast<float>(i);
  server.add_property("BIG", nullptr, [&](const std::string&, const EqData&, EqData& out) {
    out.set_float_array(values.data(), static_cast<int>(values.size()));
    return 0;
  });
  ASSERT_FALSE(server.start(nullptr, 0));
  velmor::register_server("BIG/SRV", "127.0.0.1", server.port());
  EqCall call;
  EqAdr a;
  a.adr("/BIG/SRV/BIG");
  EqData out;
  ASSERT_EQ(call.get(&a, nullptr, &out), 0);
  ASSERT_EQ(out.value_count(), 1 << 20);
  EXPECT_EQ(out.get_float((1 << 20) - 1), static_cast<float>((1 << 20) - 1));
  velmor::unregister_server("BIG/SRV");
}

TEST(PropertyServer, LargeArraysSentByReferenceArriveByteForByte) {
  EqData expected;
  std::vector<unsigned char> pixels(200000);
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<unsigned char>(i * 7);
  velmor::IMH h{};
  h.length = static_cast<int>(pixels.size());
  expected.set_image(pixels.data(), h.length, &h, velmor::no);
  expected.set_image_comm("CAM");
  std::vector<float> values(70000, 0.25f);
  velmor::SPECTRUM s{};
  s.d_spect_array.d_spect_array_len = static_cast<uint32_t>(values.size());
  s.d_spect_array.d_spect_array_val = values.data();
  expected.set_ts_spect(1, 2, 3, &s, 0);  // spectrum and image in one object, type of the last
  PropertyServer server;
  server.add_property("MIXED", nullptr, [&](const std::string&, const EqData&, EqData& out) {
    out.copy_from(&expected);
    return 0;
  });
  ASSERT_FALSE(server.start(nullptr, 0));
  velmor::register_server("MIXED/SRV", "127.0.0.1", server.port());
  EqCall call;
  EqAdr a;
  a.adr("/MIXED/SRV/MIXED");
  EqData out;
  ASSERT_EQ(call.get(&a, nullptr, &out), 0);
  std::string want, got;
  expected.serialize(want);
  out.serialize(got);
  EXPECT_TRUE(want == got);
  velmor::unregister_server("MIXED/SRV");
}

// --- What a client can make the server hold ---

namespace {

// Bounded wait for a condition the server reaches on its own threads.
template <typename F>
bool eventually(F done, int ms = 5000) {
  for (int waited = 0; !done(); waited += 5) {
    if (waited >= ms) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace

TEST_F(CallTest, IdleConnectionsAreClosedAndACachedOneIsReplacedWithoutAFailure) {
  server_.set_idle_timeout_ms(200);
  EqCall call;
  EqAdr a = adr("VALUE");
  EqData out;
  ASSERT_EQ(call.get(&a, nullptr, &out), 0);
  int silent = raw_connect(server_.port());
  ASSERT_GE(silent, 0);
  EXPECT_TRUE(closed_by_server(silent));
  close(silent);
  ASSERT_TRUE(eventually([&] { return server_.connections_closed_idle() == 2; }));
  EXPECT_EQ(call.get(&a, nullptr, &out), 0);
  EXPECT_EQ(call.connects_made(), 2);
  EXPECT_EQ(server_.bad_frames(), 0);
}

TEST_F(CallTest, AtThePerPeerCapTheIdlestConnectionMakesRoomAndOnlyBusyOnesRefuse) {
  server_.set_max_connections_per_peer(2);
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  struct Releaser {  // a failed assertion must not leave handlers waiting for ever
    std::promise<void>* p;
    bool done = false;
    void now() {
      if (!done) p->set_value();
      done = true;
    }
    ~Releaser() { now(); }
  } releaser{&release};
  std::atomic<int> entered{0};
  server_.add_property("HOLD", nullptr, [&](const std::string&, const EqData&, EqData&) {
    entered++;
    released.wait();
    return 0;
  });
  int oldest = raw_connect(server_.port());
  int newer = raw_connect(server_.port());
  ASSERT_TRUE(eventually([&] { return server_.open_connections() == 2; }));
  EqCall call;
  EqAdr a = adr("VALUE");
  EqData out;
  EXPECT_EQ(call.get(&a, nullptr, &out), 0);
  EXPECT_TRUE(closed_by_server(oldest));  // the longest idle gave way
  EXPECT_EQ(server_.connections_closed_idle(), 1);
  close(oldest);
  close(newer);

  // Two calls held in their handler: nothing idle to give way, so a third is refused.
  auto hold = [&] {
    EqCall c;
    EqAdr h = adr("HOLD");
    EqData o;
    return c.get(&h, nullptr, &o);
  };
  auto first = std::async(std::launch::async, hold);
  ASSERT_TRUE(eventually([&] { return entered.load() == 1; }));
  auto second = std::async(std::launch::async, hold);
  ASSERT_TRUE(eventually([&] { return entered.load() == 2; }));
  call.disconnect_all();
  EXPECT_EQ(call.get(&a, nullptr, &out), velmor::EQ_ERR_CONNECTION_LOST);
  EXPECT_EQ(server_.connections_refused(), 1);
  releaser.now();
  EXPECT_EQ(first.get(), 0);
  EXPECT_EQ(second.get(), 0);
  EXPECT_EQ(call.get(&a, nullptr, &out), 0);
}

namespace {

// Heap bytes in use: the sanitizer's own count where one runs (its quarantine
// would swamp any process figure), else the allocator's.
long heap_bytes() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return static_cast<long>(__sanitizer_get_current_allocated_bytes());
#else
  return static_cast<long>(mallinfo2().uordblks);
#endif
}

}  // namespace

TEST(PropertyServer, AnnouncedSizeCostsNothingUntilBytesArriveAndRestingBuffersAreFreed) {
  PropertyServer server;
  EqData stored;
  std::mutex mu;
  server.add_property(
      "BIG",
      [&](const std::string&, const EqData& in, EqData&) {
        std::lock_guard<std::mutex> lock(mu);
        stored.copy_from(&in);
        return 0;
      },
      [&](const std::string&, const EqData&, EqData& out) {
        std::lock_guard<std::mutex> lock(mu);
        out.copy_from(&stored);
        return 0;
      });
  ASSERT_FALSE(server.start(nullptr, 0));
  long before = heap_bytes();
  // Heads announcing 64 MB each, then nothing: the server may hold little per peer.
  const std::string head("VM\x01\x02\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x04", 16);
  std::vector<int> peers;
  for (int i = 0; i < 4; ++i) {
    peers.push_back(raw_connect(server.port()));
    ASSERT_EQ(send(peers.back(), head.data(), head.size(), MSG_NOSIGNAL), 16);
  }
  long most = 0;
  eventually(
      [&] {
        most = std::max(most, heap_bytes() - before);
        return most > (64L << 20);
      },
      300);
  EXPECT_LT(most, 4 * (1L << 20)) << "bytes held for 4 announced frames";
  for (int s : peers) close(s);

  // A 4 MB set and get: what the server's connection held is given back once it rests.
  velmor::register_server("BIG/SRV", "127.0.0.1", server.port());
  std::vector<float> values(1 << 20, 1.5f);
  EqData in, out;
  in.set_float_array(values.data(), static_cast<int>(values.size()));
  EqCall call;
  EqAdr a;
  a.adr("/BIG/SRV/BIG");
  ASSERT_EQ(call.set(&a, &in, &out), 0);
  ASSERT_EQ(call.get(&a, nullptr, &out), 0);
  long busy = heap_bytes();
  EXPECT_TRUE(eventually([&] { return heap_bytes() < busy - (8L << 20); }, 4000))
      << "server still holds its buffers";
  velmor::unregister_server("BIG/SRV");
}

TEST(EqCallMemory, AnswerAnnouncingMoreThanItSendsCostsLittleAndNothingAfterTheCall) {
  // A server that answers every request with a head announcing 64 MB and then stalls.
  int port = 0;
  int listener = loopback_listener(&port);
  ASSERT_GT(port, 0);
  std::thread peer([&] {
    pollfd p = {listener, POLLIN, 0};
    if (poll(&p, 1, 5000) <= 0) return;
    int s = accept(listener, nullptr, nullptr);
    timeval tv{5, 0};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char request[64];
    if (recv(s, request, sizeof request, 0) >= 8) {
      std::string head("VM\x01\x04", 4);
      head.append(request + 4, 4);
      head.append(std::string("\0\0\0\0\0\0\0\x04", 8));
      send(s, head.data(), head.size(), MSG_NOSIGNAL);
    }
    read_to_close(s);  // until the client gives up
    close(s);
  });
  velmor::register_server("HOSTILE/SRV", "127.0.0.1", port);
  long before = heap_bytes();
  {
    EqCall call;
    call.set_timeouts(1000, 300);
    EqAdr a;
    a.adr("/HOSTILE/SRV/X");
    EqData out;
    EXPECT_EQ(call.get(&a, nullptr, &out), velmor::EQ_ERR_TIMEOUT);
    EXPECT_LT(heap_bytes() - before, 1L << 20) << "the call keeps memory for bytes that never came";
  }
  peer.join();
  close(listener);
  velmor::unregister_server("HOSTILE/SRV");
}

namespace {

// Reads one request frame whole; the head of an answer to it with a payload
// of `size` bytes, or "" when the request did not arrive.
std::string read_request(int s, uint32_t size) {
  char head[16];
  size_t got = 0;
  while (got < sizeof head) {
    ssize_t n = recv(s, head + got, sizeof head - got, 0);
    if (n <= 0) return std::string();
    got += static_cast<size_t>(n);
  }
  uint32_t request = static_cast<uint8_t>(head[12]) | static_cast<uint8_t>(head[13]) << 8 |
                     static_cast<uint8_t>(head[14]) << 16;
  std::string payload(request, '\0');
  for (got = 0; got < request;) {
    ssize_t n = recv(s, &payload[got], request - got, 0);
    if (n <= 0) return std::string();
    got += static_cast<size_t>(n);
  }
  std::string answer("VM\x01\x04", 4);
  answer.append(head + 4, 4);
  answer.append(4, '\0');
  for (int i = 0; i < 4; ++i) answer.push_back(static_cast<char>(size >> (8 * i)));
  return answer;
}

// Reads one request frame whole and answers it with an empty object.
bool answer_one(int s) {
  std::string answer = read_request(s, 0);
  return !answer.empty() && send(s, answer.data(), answer.size(), MSG_NOSIGNAL) == 16;
}

}  // namespace

TEST(CallRetry, ARequestMeetingTheIdleCloseOfItsCachedConnectionGoesAgainAtOnce) {
  // The server closes the cached connection with the second request unread, as
  // an idle close crossing the request does; the next connection is served.
  int port = 0;
  int listener = loopback_listener(&port);
  ASSERT_GT(port, 0);
  std::atomic<int> answered{0};
  std::thread peer([&] {
    pollfd p = {listener, POLLIN, 0};
    if (poll(&p, 1, 5000) <= 0) return;
    int first = accept(listener, nullptr, nullptr);
    if (answer_one(first)) answered++;
    pollfd r = {first, POLLIN, 0};
    poll(&r, 1, 5000);
    close(first);  // unread bytes: the client sees a reset
    if (poll(&p, 1, 5000) <= 0) return;
    int second = accept(listener, nullptr, nullptr);
    timeval tv{5, 0};
    setsockopt(second, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (answer_one(second)) answered++;
    read_to_close(second);
    close(second);
  });
  velmor::register_server("RESET/SRV", "127.0.0.1", port);
  {
    EqCall call;
    EqAdr a;
    a.adr("/RESET/SRV/DAQ.REQ");
    EqData in, out;
    in.set_xml("<DAQREQ/>");
    EXPECT_EQ(call.set(&a, &in, &out), 0);
    EXPECT_EQ(call.set(&a, &in, &out), 0);  // a set too: the server never read it
    EXPECT_EQ(call.connects_made(), 2);
  }
  peer.join();
  EXPECT_EQ(answered.load(), 2);
  close(listener);
  velmor::unregister_server("RESET/SRV");
}

TEST_F(CallTest, TwoHundredFiftySixIdleConnectionsDoNotKeepACallerOut) {
  server_.set_max_connections_per_peer(0);  // only the total cap
  std::vector<int> idle;
  while (idle.size() < 256) {  // in steps the listen backlog takes without dropping
    for (int i = 0; i < 32; ++i) idle.push_back(raw_connect(server_.port()));
    ASSERT_TRUE(
        eventually([&] { return server_.open_connections() == static_cast<int>(idle.size()); }));
  }
  EqCall call;
  EqAdr a = adr("VALUE");
  EqData out;
  EXPECT_EQ(call.get(&a, nullptr, &out), 0);
  EXPECT_EQ(server_.connections_closed_idle(), 1);
  EXPECT_EQ(server_.connections_refused(), 0);
  for (int s : idle) close(s);
}

TEST_F(CallTest, LargeArraysOfEachKindTravelBothWaysIntoReusedObjects) {
  // One pair of objects whose arrays change kind, shrink and grow between calls.
  EqCall call;
  EqAdr a = adr("VALUE");
  EqData in, out;
  std::vector<long> ints(300000);
  std::vector<double> doubles(200000);
  std::vector<float> floats(1 << 20);
  for (size_t i = 0; i < floats.size(); ++i) {
    floats[i] = static_cast<float>(i) * 0.5f;
    if (i < ints.size()) ints[i] = static_cast<long>(i) * 1000003L;
    if (i < doubles.size()) doubles[i] = static_cast<double>(i) / 3;
  }
  auto round_trip = [&] {
    ASSERT_EQ(call.set(&a, &in, &out), 0);
    ASSERT_EQ(call.get(&a, nullptr, &out), 0);
    std::string want, got;
    in.serialize(want);
    out.serialize(got);
    EXPECT_TRUE(want == got) << in.value_count() << " values";
  };
  in.set_double_array(doubles.data(), static_cast<int>(doubles.size()));
  round_trip();
  in.set_int_array(ints.data(), static_cast<int>(ints.size()));
  round_trip();
  for (int n : {20000, 1 << 20, 300000, 1000}) {
    in.set_float_array(floats.data() + 7, n - 7);
    round_trip();
  }
  EXPECT_EQ(call.connects_made(), 1);
}

TEST(EqCallLargeAnswer, AMalformedOrCutLargeArrayFailsTheCallAndItsConnection) {
  EqData value;
  std::vector<float> floats(100000, 2.5f);
  value.set_float_array(floats.data(), static_cast<int>(floats.size()));
  std::string object;
  value.serialize(object);
  std::string bad_count = object;
  bad_count[52] = static_cast<char>(bad_count[52] + 1);  // the array's count, after the heads
  // Answers: a count that disagrees with its section; the same cut short; a good one cut short.
  const std::pair<std::string, size_t> answers[] = {
      {bad_count, bad_count.size()}, {bad_count, 1000}, {object, 200000}};
  int port = 0;
  int listener = loopback_listener(&port);
  ASSERT_GT(port, 0);
  std::thread peer([&] {
    for (const auto& answer : answers) {
      pollfd p = {listener, POLLIN, 0};
      if (poll(&p, 1, 5000) <= 0) return;
      int s = accept(listener, nullptr, nullptr);
      timeval tv{5, 0};
      setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
      std::string frame = read_request(s, static_cast<uint32_t>(answer.first.size()));
      frame.append(answer.first, 0, answer.second);
      send(s, frame.data(), frame.size(), MSG_NOSIGNAL);
      if (answer.second == answer.first.size()) read_to_close(s);  // the client ends it
      close(s);
    }
  });
  velmor::register_server("HOSTILE/SRV", "127.0.0.1", port);
  {
    EqCall call;
    EqAdr a;
    a.adr("/HOSTILE/SRV/X");
    EqData out;
    out.set_float_array(floats.data(), 50000);
    EXPECT_EQ(call.get(&a, nullptr, &out), velmor::EQ_ERR_PROTOCOL);
    EXPECT_STREQ(out.error_text(),
                 ("protocol error (malformed data object in answer) from 127.0.0.1:" +
                  std::to_string(port) + ": /HOSTILE/SRV/X")
                     .c_str());
    EXPECT_EQ(out.value_count(), 0);
    for (int i = 0; i < 2; ++i) {
      EXPECT_EQ(call.get(&a, nullptr, &out), velmor::EQ_ERR_CONNECTION_LOST);
      EXPECT_EQ(std::string(out.error_text()).find("connection lost mid-answer from"), 0u);
    }
    EXPECT_EQ(call.connects_made(), 3);
  }
  peer.join();
  close(listener);
  velmor::unregister_server("HOSTILE/SRV");
}
