// Concurrent calls: every answer must belong to its own call, whether threads
// use their own EqCall or share one.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "velmor.h"
#include "velmor_server.h"

using velmor::EqAdr;
using velmor::EqCall;
using velmor::EqData;

namespace {

// ECHO answers a get with its input and the input's integer doubled as event number.
class ThreadsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_.add_property("ECHO", nullptr, [](const std::string&, const EqData& in, EqData& out) {
      out.copy_from(&in);
      out.mpnum(in.get_int() * 2);
      return 0;
    });
    ASSERT_FALSE(server_.start("127.0.0.1", 0));
    velmor::register_server("THREADS/SRV", "127.0.0.1", server_.port());
  }
  void TearDown() override { velmor::unregister_server("THREADS/SRV"); }

  // Runs `calls` echo calls from thread `t` through `call`; returns mismatches.
  static int run_calls(EqCall* call, int t, int calls) {
    EqAdr a;
    a.adr("/THREADS/SRV/ECHO");
    int wrong = 0;
    EqData in, out;
    for (int i = 0; i < calls; ++i) {
      long token = static_cast<long>(t) * 1000000 + i;
      in.set_int(token);
      if (call->get(&a, &in, &out) != 0 || out.get_int() != token || out.get_mpnum() != token * 2)
        ++wrong;
    }
    return wrong;
  }

  velmor::PropertyServer server_;
};

}  // namespace

TEST_F(ThreadsTest, EightClientsThousandCallsEachGetTheirOwnAnswers) {
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      EqCall call;
      wrong += run_calls(&call, t, 1000);
      EXPECT_EQ(call.connects_made(), 1);
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(server_.calls_served(), 8000);
}

TEST_F(ThreadsTest, OneSharedEqCallSerialisesThreadsWithoutMixingAnswers) {
  EqCall call;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) threads.emplace_back([&, t] { wrong += run_calls(&call, t, 200); });
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(call.call_count(), 1600);
}

TEST_F(ThreadsTest, PropertiesChangeWhileClientsCall) {
  std::atomic<bool> done{false};
  std::thread churn([&] {
    for (int i = 0; !done.load(); ++i) {
      std::string name = "DAQ.REP" + std::to_string(i % 10);
      server_.add_property(name, nullptr, [](const std::string&, const EqData&, EqData& o) {
        o.set_int(1);
        return 0;
      });
      server_.remove_property(name);
    }
  });
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      EqCall call;
      wrong += run_calls(&call, t, 300);
    });
  }
  for (std::thread& th : threads) th.join();
  done = true;
  churn.join();
  EXPECT_EQ(wrong.load(), 0);
}

// As in a data receiver: one thread stores large images, another reads and
// destroys them, so their arrays cross threads through the block pool.
TEST(PooledImages, MadeInOneThreadAndDestroyedInAnother) {
  constexpr int kObjects = 200;
  std::vector<velmor::EqData*> handed(kObjects, nullptr);
  std::atomic<int> made{0};
  std::atomic<int> wrong{0};
  std::thread maker([&] {
    velmor::IMH header{};
    std::vector<unsigned char> bytes(512 * 1024);
    for (int i = 0; i < kObjects; ++i) {
      std::fill(bytes.begin(), bytes.end(), static_cast<unsigned char>(i));
      auto* d = new velmor::EqData();
      int length = static_cast<int>(bytes.size()) - (i % 3) * 4096;
      if (d->set_image(bytes.data(), length, &header, velmor::no)) ++wrong;
      handed[static_cast<size_t>(i)] = d;
      made.store(i + 1, std::memory_order_release);
    }
  });
  for (int i = 0; i < kObjects; ++i) {
    while (made.load(std::memory_order_acquire) <= i) std::this_thread::yield();
    velmor::EqData* d = handed[static_cast<size_t>(i)];
    const unsigned char* p = d->get_image_data();
    int n = d->get_image_length();
    if (p == nullptr || n != 512 * 1024 - (i % 3) * 4096 || p[0] != static_cast<unsigned char>(i) ||
        p[n - 1] != static_cast<unsigned char>(i))
      ++wrong;
    delete d;
  }
  maker.join();
  EXPECT_EQ(wrong.load(), 0);
}
