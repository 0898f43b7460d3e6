// Control-system peers that misbehave on purpose, written with raw sockets: a
// server that never answers, half an answer head, an answer that announces more
// than it sends or more than any answer may hold, random bytes and a trickle.
// Every property call must fail within its own timeout, and a handshake against
// such a server within the connect budget.
#include <gtest/gtest.h>

#include <atomic>
#include <random>

#include "fault_support.h"

using namespace faults;

namespace {

constexpr int kConnectMs = 500;
constexpr int kCallMs = 1000;

struct FrameHead {
  char magic[2];
  uint8_t version;
  uint8_t kind;
  uint32_t id;
  int32_t status;
  uint32_t size;
};
static_assert(sizeof(FrameHead) == 16, "frame head layout");

// A property server that plays `script` on every request it reads, each
// connection in turn, until the object goes.
class HostileServer {
 public:
  using Script = std::function<void(RawPeer&, const FrameHead& request)>;
  HostileServer(const std::string& name, Script script) : name_(name), script_(std::move(script)) {
    velmor::register_server(name_.c_str(), "127.0.0.1", peer_.port());
    thread_ = std::thread([this] { run(); });
  }
  ~HostileServer() {
    stop_ = true;
    thread_.join();
    velmor::unregister_server(name_.c_str());
  }
  std::string address(const char* property) const { return "/" + name_ + "/" + property; }

 private:
  void run() {
    while (!stop_) {
      if (!peer_.accept_one(50)) continue;
      FrameHead request{};
      while (!stop_ && !peer_.read(&request, sizeof request, 50)) {
      }
      if (stop_) break;
      std::vector<char> payload(request.size < (1u << 20) ? request.size : 0);
      peer_.read(payload.data(), payload.size(), 1000);
      script_(peer_, request);
      // Hold the connection until the client gives up on it.
      auto until = Clock::now() + std::chrono::milliseconds(3 * kCallMs);
      while (!stop_ && Clock::now() < until && peer_.drain_input(20)) {
      }
      peer_.close_client();
    }
  }

  std::string name_;
  Script script_;
  RawPeer peer_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

FrameHead answer_head(const FrameHead& request, uint32_t size) {
  return FrameHead{{'V', 'M'}, 1, 4, request.id, 0, size};
}

// One get through a fresh call object with the suite's timeouts: its code and
// how long it took.
std::pair<int, double> call_once(const std::string& address) {
  velmor::EqCall call;
  call.set_timeouts(kConnectMs, kCallMs);
  velmor::EqAdr adr;
  adr.adr(address);
  velmor::EqData out;
  auto started = Clock::now();
  call.get(&adr, nullptr, &out);
  return {out.error(), seconds_since(started)};
}

constexpr double kCallBound = (kConnectMs + kCallMs) / 1000.0 + 1.0;

}  // namespace

TEST(HostileControlPeer, EveryBadAnswerFailsTheCallInTime) {
  struct Case {
    const char* what;
    HostileServer::Script script;
    int code;  // expected code, 0: any failure
  };
  std::vector<Case> cases = {
      {"never answers", [](RawPeer&, const FrameHead&) {}, velmor::EQ_ERR_TIMEOUT},
      {"half a head",
       [](RawPeer& p, const FrameHead& rq) {
         FrameHead h = answer_head(rq, 0);
         p.write(&h, 8);
       },
       velmor::EQ_ERR_TIMEOUT},
      {"size above the cap",
       [](RawPeer& p, const FrameHead& rq) {
         FrameHead h = answer_head(rq, 0x7fffffffu);
         p.write(&h, sizeof h);
       },
       velmor::EQ_ERR_PROTOCOL},
      {"announces more than it sends, then closes",
       [](RawPeer& p, const FrameHead& rq) {
         FrameHead h = answer_head(rq, 1000);
         p.write(&h, sizeof h);
         p.write(std::string(10, 'x'));
         p.close_client();
       },
       0},
      {"announces more than it sends, then stalls",
       [](RawPeer& p, const FrameHead& rq) {
         FrameHead h = answer_head(rq, 1000);
         p.write(&h, sizeof h);
         p.write(std::string(10, 'x'));
       },
       velmor::EQ_ERR_TIMEOUT},
      {"trickles an answer",
       [](RawPeer& p, const FrameHead& rq) {
         FrameHead h = answer_head(rq, 64);
         std::string bytes(reinterpret_cast<char*>(&h), sizeof h);
         bytes += std::string(64, '\0');
         for (char c : bytes) {
           if (!p.write(&c, 1)) return;
           std::this_thread::sleep_for(std::chrono::milliseconds(100));
         }
       },
       velmor::EQ_ERR_TIMEOUT},
  };
  for (unsigned seed = 1; seed <= 6; ++seed) {
    cases.push_back({"random bytes",
                     [seed](RawPeer& p, const FrameHead&) {
                       std::mt19937 random(seed);
                       std::string noise(4096, '\0');
                       for (char& c : noise) c = static_cast<char>(random());
                       p.write(noise);
                     },
                     0});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    HostileServer server("FAULT.HOSTILE/CS", c.script);
    auto [code, seconds] = call_once(server.address("DAQ.REP1"));
    if (c.code != 0) {
      EXPECT_EQ(code, c.code);
    }
    EXPECT_NE(code, 0);
    EXPECT_LT(seconds, kCallBound);
    std::printf("control peer (%s): code %d after %.3f s\n", c.what, code, seconds);
  }
}

// A server that accepts every call and never answers holds a handshake no
// longer than the connect budget.
TEST(HostileControlPeer, SilentServerEndsTheHandshakeWithinTheBudget) {
  HostileServer server("FAULT.HOSTILE/SILENT", [](RawPeer&, const FrameHead&) {});
  velmor::EqCall call;
  EqDAQconnect c(&call, nullptr);
  fill_request(c, 10);
  ASSERT_EQ(c.set_connect_timeout(2), 0);
  auto started = Clock::now();
  int rc = c.connect("FAULT.HOSTILE/SILENT/DAQ.DATA.SVR/");
  double seconds = seconds_since(started);
  EXPECT_EQ(rc, EQ_DAQ_CONNECT_TIMEOUT);
  EXPECT_STREQ(c.get_error(rc), "Too long waiting for repply");
  EXPECT_LT(seconds, 3.5);
  std::printf("silent control server, budget 2 s: connect %d after %.3f s\n", rc, seconds);
}
