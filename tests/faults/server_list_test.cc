// A server list that holds every kind of bad server before a good one: nobody
// listening, a server that closes every connection at once, one that always
// answers BUSY and one stuck in "Processing". The handshake must get through
// the bad ones to the good one within the connect budget, and a stuck server
// ahead of the good one must cost no more than the budget.
#include <gtest/gtest.h>

#include <atomic>

#include "fault_support.h"

using namespace faults;

namespace {

// A loopback port where nobody listens, registered under `name`.
std::string dead_entry(const std::string& name) {
  int port = 0;
  {
    RawPeer gone;
    port = gone.port();
  }
  velmor::register_server(name.c_str(), "127.0.0.1", port);
  return name + "/DAQ.DATA.SVR/";
}

// Accepts every connection and closes it at once.
class Refuser {
 public:
  explicit Refuser(const std::string& name) : name_(name) {
    velmor::register_server(name.c_str(), "127.0.0.1", peer_.port());
    thread_ = std::thread([this] {
      while (!stop_)
        if (peer_.accept_one(50)) peer_.close_client();
    });
  }
  ~Refuser() {
    stop_ = true;
    thread_.join();
    velmor::unregister_server(name_.c_str());
  }
  std::string entry() const { return name_ + "/DAQ.DATA.SVR/"; }

 private:
  std::string name_;
  RawPeer peer_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

struct BadServers {
  std::string dead = dead_entry("FAULT.DAQ/LIST.DEAD");
  Refuser refuser{"FAULT.DAQ/LIST.REFUSE"};
  Daemon busy{"LIST.BUSY", {"--busy", "1000000"}};
  Daemon stuck{"LIST.STUCK", {"--processing", "1000000"}};
  Daemon good{"LIST.GOOD", {}};
  bool ok() const { return busy.ok() && stuck.ok() && good.ok(); }
  // The bad ones first, then `rest`.
  std::string list(const std::string& rest) const {
    return dead + ":" + refuser.entry() + ":" + busy.entry() + (rest.empty() ? "" : ":" + rest);
  }
};

// One handshake with a budget (0: the default): its code and how long it took.
struct Attempt {
  velmor::EqCall call;
  EqDAQconnect c{&call, nullptr};
  int rc = -1;
  double seconds = 0;
  Attempt(int budget_s, const std::string& list, EqDAQconnectPassObserver observer = nullptr,
          void* context = nullptr) {
    fill_request(c, 5);
    if (budget_s > 0) c.set_connect_timeout(budget_s);
    c.set_pass_observer(observer, context);
    auto started = Clock::now();
    rc = c.connect(list.c_str());
    seconds = seconds_since(started);
  }
};

}  // namespace

TEST(ServerList, GoodServerIsReachedPastDeadRefusingAndBusyOnes) {
  BadServers s;
  ASSERT_TRUE(s.ok());
  Attempt a(0, s.list(s.good.entry() + ":" + s.stuck.entry()));
  EXPECT_EQ(a.rc, 0) << a.c.get_error(a.rc);
  EXPECT_GT(a.c.get_server_reply()->port, 0);
  EXPECT_LT(a.seconds, a.c.get_connect_timeout());
  std::printf("dead, refusing, busy, good: reached the good server after %.3f s (budget %d s)\n",
              a.seconds, a.c.get_connect_timeout());
}

TEST(ServerList, StuckServerAheadOfTheGoodOneCostsTheBudgetAndNoMore) {
  BadServers s;
  ASSERT_TRUE(s.ok());
  Attempt a(3, s.list(s.stuck.entry() + ":" + s.good.entry()));
  EXPECT_EQ(a.rc, EQ_DAQ_CONNECT_TIMEOUT);
  EXPECT_LT(a.seconds, 4.5);
  std::printf("dead, refusing, busy, stuck, good (budget 3 s): connect %d after %.3f s\n", a.rc,
              a.seconds);
}

// Only bad servers: the list is tried pass after pass until the budget ends,
// and every pass that failed is told.
TEST(ServerList, OnlyBadServersEndWithinTheBudget) {
  BadServers s;
  ASSERT_TRUE(s.ok());
  int passes = 0;
  Attempt a(
      4, s.list(""), [](void* n, int, int, const char*) { ++*static_cast<int*>(n); }, &passes);
  EXPECT_NE(a.rc, 0);
  EXPECT_LT(a.seconds, 5.5);
  EXPECT_GE(passes, 1);
  std::printf("dead, refusing, busy (budget 4 s): connect %d after %.3f s, %d passes told\n", a.rc,
              a.seconds, passes);
}
