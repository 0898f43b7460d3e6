// The cache lock as the receiver uses it: conversions run with the lock held and
// must never take it again (it is not recursive), while monitor-style readers
// lock, navigate, read and remove in another thread.
#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "cache_api.h"
#include "eq_evstore.h"
#include "orxa_event_builder.h"

namespace {

std::vector<uint64_t> stamp_event(uint64_t ev, uint32_t sec) {
  OrxaEventBuilder b(ORXA_FORMAT_LEGACY);
  b.begin(ev, time_stamp{sec, 0});
  b.add_stamp("TRIG", ORXA_DT_STAMP);
  size_t n = 0;
  const char* p = b.finish(&n);
  std::vector<uint64_t> out(n / 8 + 1);
  std::memcpy(out.data(), p, n);
  return out;
}

}  // namespace

TEST(CacheLocking, ConversionOverALoweredDepthEvictsWithoutTakingTheLockAgain) {
  DAQEqEvstore store(3);
  for (uint32_t i = 1; i <= 3; ++i) {
    auto e = stamp_event(i, 10 * i);
    store.lock();
    ASSERT_EQ(store.daq_data_to_cache(reinterpret_cast<orxa_eventheader*>(e.data()), nullptr, 0),
              0);
    store.unlock();
  }
  ASSERT_FALSE(store.SetDepth(2));  // now over its depth: IsFull is false
  auto e = stamp_event(4, 5);
  store.lock();  // a second lock inside would hang here (the test's timeout catches it)
  ASSERT_EQ(store.daq_data_to_cache(reinterpret_cast<orxa_eventheader*>(e.data()), nullptr, 0), 0);
  ASSERT_EQ(pthread_mutex_trylock(&store.mlock), EBUSY);  // still held once, by us
  store.unlock();
  ASSERT_EQ(pthread_mutex_trylock(&store.mlock), 0);
  pthread_mutex_unlock(&store.mlock);
  ASSERT_EQ(store.cache.size(), 3u);
  EXPECT_EQ(store.cache[0]->event_number, 2u);  // the earliest (10 s) went
  EXPECT_EQ(store.cache[2]->event_number, 4u);
}

TEST(CacheLocking, ReceiverAndMonitorThreadsShareTheCache) {
  DAQEqEvstore store(20);
  constexpr int kEvents = 2000;
  std::atomic<bool> done{false};
  std::atomic<int> taken{0};
  uint64_t refused = 0;

  std::thread receiver([&] {
    for (int i = 1; i <= kEvents; ++i) {
      auto e = stamp_event(static_cast<uint64_t>(i), static_cast<uint32_t>(i));
      for (;;) {
        store.lock();
        int r = store.daq_data_to_cache(reinterpret_cast<orxa_eventheader*>(e.data()), nullptr, 0);
        store.unlock();
        if (r != -4) break;
        ++refused;
        std::this_thread::yield();  // full: wait for the monitor to take records
      }
    }
    done = true;
  });
  std::thread monitor([&] {
    char name[] = "TRIG";
    uint64_t dropped_seen = 0;
    while (!done || store.GetNRecords(true) > 0) {
      uint64_t d = store.get_dropped_events();  // read without the lock, as a receiver's owner does
      EXPECT_GE(d, dropped_seen);
      dropped_seen = d;
      store.lock();
      eq_evstore_record* r = store.FindFirstRecord(EQCACHE_FIND_EVNUM);
      if (r != nullptr) {
        EXPECT_NE(store.FindChannel(r, name), nullptr);
        store.RemRecord(r, false);
        ++taken;
      }
      store.unlock();
    }
  });
  receiver.join();
  monitor.join();
  EXPECT_EQ(taken.load(), kEvents);
  EXPECT_TRUE(store.IsEmpty());
  EXPECT_EQ(store.get_dropped_events(), refused);
}

// Removing by position with the lock reads the list's size under it, while the
// receiver appends (ThreadSanitizer reports the race otherwise).
TEST(CacheLocking, RemovingByPositionWithTheLockWhileTheReceiverAppends) {
  DAQEqEvstore store(1000);
  constexpr int kEvents = 500;
  std::atomic<bool> done{false};
  std::thread receiver([&] {
    for (int i = 1; i <= kEvents; ++i) {
      auto e = stamp_event(static_cast<uint64_t>(i), static_cast<uint32_t>(i));
      store.lock();
      EXPECT_EQ(store.daq_data_to_cache(reinterpret_cast<orxa_eventheader*>(e.data()), nullptr, 0),
                0);
      store.unlock();
    }
    done = true;
  });
  int removed = 0;
  while (!done || store.GetNRecords(true) > 0) {
    if (!store.RemRecord(0, true)) ++removed;
  }
  receiver.join();
  EXPECT_EQ(removed, kEvents);
}
