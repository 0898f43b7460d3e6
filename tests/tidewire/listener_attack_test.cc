// The listening side against hostile connections on a stream's port: silent,
// dripping, garbage, half hellos, floods. None of them may keep the real
// receiver out, whose connect has its own 5 s bound for the server's hello.
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <thread>
#include <vector>

#include "link_test_support.h"
#include "socket_send.h"

namespace {

using Clock = std::chrono::steady_clock;

int open_fds() {
  DIR* d = opendir("/proc/self/fd");
  int n = 0;
  while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
  closedir(d);
  return n - 1;  // the directory stream's own
}

// A plain TCP connection to the listener; closed with the object.
class Attacker {
 public:
  explicit Attacker(int port) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~Attacker() { Close(); }
  bool ok() const { return connected_; }
  bool Send(const void* p, size_t n) { return send_all_bytes(fd_, p, n); }
  void Hello(uint32_t magic = 0x5457494Bu) {
    const uint32_t hello[2] = {magic, 1};
    Send(hello, sizeof hello);
  }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
  bool connected_ = false;
};

// Accepts as the data server does: short waits, again and again, until a link
// comes or `ms` pass.
std::unique_ptr<Tidewire> serve_accept(TidewireListener& l, int ms) {
  auto until = Clock::now() + std::chrono::milliseconds(ms);
  while (Clock::now() < until) {
    Tidewire* link = nullptr;
    if (l.Accept(200, &link) == 0) return std::unique_ptr<Tidewire>(link);
  }
  return nullptr;
}

// The real receiver connects while the server accepts; both must succeed.
void expect_receiver_gets_in(TidewireListener& l) {
  auto server = std::async(std::launch::async, [&] { return serve_accept(l, 15000); });
  Tidewire receiver(false);
  EXPECT_EQ(receiver.Connect("127.0.0.1", l.GetPort()), 0);
  std::unique_ptr<Tidewire> link = server.get();
  ASSERT_NE(link, nullptr);
  ASSERT_EQ(linktest::send_bytes(*link, linktest::legacy_event(3, 16)), 0);
  EXPECT_EQ(linktest::receive(receiver), 0);
}

}  // namespace

TEST(TidewireListenerAttack, HostileConnectionsAheadDoNotKeepTheReceiverOut) {
  TidewireListener l;
  ASSERT_EQ(l.Listen("127.0.0.1", 0), 0);
  std::vector<std::unique_ptr<Attacker>> hostile;
  for (int i = 0; i < 4; ++i) hostile.push_back(std::make_unique<Attacker>(l.GetPort()));  // silent
  auto garbage = std::make_unique<Attacker>(l.GetPort());
  garbage->Send("\x17\x99 random bytes, not a hello at all", 34);
  garbage->Close();
  auto half = std::make_unique<Attacker>(l.GetPort());
  half->Send("KIWT", 4);
  half->Close();
  auto half_open = std::make_unique<Attacker>(l.GetPort());
  half_open->Send("KIWT", 4);  // and then nothing
  // One byte of a hello every 300 ms: never done within the handshake bound.
  std::atomic<bool> stop{false};
  Attacker drip(l.GetPort());
  std::thread dripper([&] {
    for (int i = 0; i < 7 && !stop; ++i) {
      drip.Send("K", 1);
      for (int t = 0; t < 30 && !stop; ++t)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  for (auto& a : hostile) ASSERT_TRUE(a->ok());
  expect_receiver_gets_in(l);
  stop = true;
  dripper.join();
}

TEST(TidewireListenerAttack, AFloodOfConnectionsIsBoundedAndClosedWithTheListener) {
  int fds_before = open_fds();
  {
    TidewireListener l;
    ASSERT_EQ(l.Listen("127.0.0.1", 0), 0);
    std::vector<std::unique_ptr<Attacker>> flood;
    for (int i = 0; i < 300; ++i) flood.push_back(std::make_unique<Attacker>(l.GetPort()));
    Tidewire* none = nullptr;
    EXPECT_EQ(l.Accept(100, &none), TIDEWIRE_ERR_CONNECT_TIMEOUT);  // the oldest made room
    // 300 attackers' ends plus a bounded number of pending handshakes.
    int held = open_fds() - fds_before - 300;
    EXPECT_LE(held, 1 + TidewireListener::kMaxPendingHandshakes) << held;
    expect_receiver_gets_in(l);
    flood.clear();
    l.Close();
    EXPECT_EQ(open_fds(), fds_before) << "pending handshakes closed";
  }
}

// Without a receiver, a call that saw handshakes fail says how the last one did;
// a second hello after the first reads as a frame far above the size cap.
TEST(TidewireListenerAttack, FailedHandshakesGiveTheirCodesAndASecondHelloEndsTheStream) {
  TidewireListener l;
  ASSERT_EQ(l.Listen("127.0.0.1", 0), 0);
  l.SetHandshakeTimeout(100);
  Tidewire* link = nullptr;
  {
    Attacker silent(l.GetPort());
    EXPECT_EQ(l.Accept(1000, &link), TIDEWIRE_ERR_CONNECT_TIMEOUT);
  }
  {
    Attacker bad(l.GetPort());
    bad.Hello(0x12345678u);
    EXPECT_EQ(l.Accept(300, &link), TIDEWIRE_ERR_HANDSHAKE);
  }
  {
    Attacker half(l.GetPort());
    half.Send("KIWT", 4);
    half.Close();
    EXPECT_EQ(l.Accept(300, &link), TIDEWIRE_ERR_LOST);
  }
  EXPECT_EQ(link, nullptr);
  Attacker twice(l.GetPort());
  twice.Hello();
  twice.Hello();
  std::unique_ptr<Tidewire> served = serve_accept(l, 2000);
  ASSERT_NE(served, nullptr);
  EXPECT_EQ(linktest::receive(*served), TIDEWIRE_ERR_TOO_LARGE);
}
