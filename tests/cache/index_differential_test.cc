// Lookups answered through the side index against a plain scan of the public list,
// after most steps of a random run of adds (repeated, out-of-order and extreme
// numbers and times), evictions, removals, seen bits, reuse, depth changes and
// changes made to the list behind the store's back.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "cache_api.h"
#include "eq_evstore.h"
#include "record_index.h"

namespace {

// The reference: one pass in list order, the lowest position winning ties.
template <class R>
struct Scan {
  using N = decltype(R::event_number);
  using D = std::conditional_t<sizeof(N) == 4, int32_t, int64_t>;
  const std::vector<R*>& l;

  static double key(time_stamp t) { return t.timeup * 1000.0 + t.timelow / 1000.0; }
  static bool before(time_stamp a, time_stamp b) {
    return a.timeup != b.timeup ? a.timeup < b.timeup : a.timelow < b.timelow;
  }

  int extreme(int how, bool first) const {
    bool by_time = how & EQCACHE_FIND_TIME, skip = how & EQCACHE_FIND_NOTSEEN;
    time_stamp bt = first ? time_stamp{~0u, ~0u} : time_stamp{0, 0};
    N bn = first ? std::numeric_limits<N>::max() : 0;
    int found = -1;
    for (std::size_t i = 0; i < l.size(); ++i) {
      if (skip && (l[i]->flags & 0x800)) continue;
      bool better = by_time ? (first ? before(l[i]->time, bt) : before(bt, l[i]->time))
                            : (first ? l[i]->event_number < bn : l[i]->event_number > bn);
      if (!better) continue;
      bt = l[i]->time;
      bn = l[i]->event_number;
      found = static_cast<int>(i);
    }
    return found;
  }
  int step(N ev, bool next) const {
    int found = -1;
    D best = 0;
    for (std::size_t i = 0; i < l.size(); ++i) {
      N n = l[i]->event_number;
      D d = static_cast<D>(static_cast<N>(next ? n - ev : ev - n));
      if (d > 0 && (found < 0 || d < best)) best = d, found = static_cast<int>(i);
    }
    return found;
  }
  int step(time_stamp t, bool next) const {
    float best = next ? 1.8446744e22f : 1.8446744e19f;
    int found = -1;
    for (std::size_t i = 0; i < l.size(); ++i) {
      auto d = static_cast<float>(next ? key(l[i]->time) - key(t) : key(t) - key(l[i]->time));
      if (d > 0.0f && d < best) best = d, found = static_cast<int>(i);
    }
    return found;
  }
  R* find(N ev) const {
    for (R* r : l)
      if (r->event_number == ev) return r;
    return nullptr;
  }
  R* find(time_stamp t, float tol) const {
    for (R* r : l)
      if (std::fabs(key(t) - key(r->time)) <= static_cast<double>(tol)) return r;
    return nullptr;
  }
};

// Unlocks on the way out, so that a failed assertion does not leave the store's
// destructor waiting for the lock.
struct Held {
  EqEvstore& s;
  explicit Held(EqEvstore& st) : s(st) { s.lock(); }
  ~Held() { s.unlock(); }
};

template <class R>
class IndexDifferential : public testing::Test {
 protected:
  void SetUp() override { set_index_min_size(1); }
  void TearDown() override { set_index_min_size(256); }
};
TYPED_TEST_SUITE(IndexDifferential, RecordTypes, GenerationName);

TYPED_TEST(IndexDifferential, EveryLookupMatchesAPlainScan) {
  using A = Api<TypeParam>;
  using N = typename A::EvNum;
  const N top = std::numeric_limits<N>::max();
  std::mt19937 rng(18);
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  // Few distinct values, so ties, repeats and the wrap-around come often.
  auto number = [&]() -> N {
    const N pool[] = {0, 1, 2, 3, 7, 40, top / 2, top / 2 + 2, top - 1, top};
    return pick(3) ? static_cast<N>(pick(60)) : pool[pick(10)];
  };
  auto stamp = [&]() -> time_stamp {
    const uint32_t lows[] = {0, 1, 50000, 100000, 999999, 4000000, ~0u};
    if (pick(40) == 0) return pick(2) ? time_stamp{0, 0} : time_stamp{~0u, ~0u};
    return time_stamp{static_cast<uint32_t>(pick(30)), lows[pick(7)]};
  };
  const float tolerances[] = {0.0f, 0.5f, 101.0f, 1500.0f, 100000.0f};
  const int hows[] = {EQCACHE_FIND_TIME, EQCACHE_FIND_EVNUM,
                      EQCACHE_FIND_TIME | EQCACHE_FIND_NOTSEEN,
                      EQCACHE_FIND_EVNUM | EQCACHE_FIND_NOTSEEN,
                      EQCACHE_FIND_TIME | EQCACHE_FIND_EVNUM | EQCACHE_FIND_NOTSEEN};

  DAQEqEvstore store(120);
  std::vector<TypeParam*>& list = A::list(store);
  std::vector<orxa_channel_entry_long*> channels(1, nullptr);
  for (int step = 0; step < 4000; ++step) {
    int op = pick(100);
    TypeParam* some = list.empty() ? nullptr : list[pick(static_cast<int>(list.size()))];
    if (op < 45) {
      TypeParam* r = make_record<TypeParam>(0, 0, 0);
      r->time = stamp();
      r->event_number = number();
      store.lock();
      bool full = list.size() >= static_cast<std::size_t>(store.depth);
      if (full) store.unlock();  // the eviction takes the lock itself
      ASSERT_FALSE(A::add(store, r));
      if (!full) store.unlock();
    } else if (op < 55 && !list.empty()) {
      ASSERT_FALSE(A::rem(store, pick(static_cast<int>(list.size())), true));
    } else if (op < 65 && some != nullptr) {
      ASSERT_FALSE(A::rem(store, some, true));
      ASSERT_TRUE(A::rem(store, some, true));  // gone: no longer found
    } else if (op < 80 && some != nullptr) {
      store.lock();
      A::seen(store, pick(3) != 0, some);
      store.unlock();
    } else if (op < 82) {
      store.lock();
      store.ClenAllSeen();
      store.unlock();
    } else if (op < 86) {
      ASSERT_FALSE(store.SetDepth(20 + pick(150)));
    } else if (op < 88) {
      store.SetTimeDiff(tolerances[pick(5)]);
    } else if (op < 91 && sizeof(N) == 4 && !list.empty()) {
      // A full list hands its first record by `how` to the conversion for reuse.
      Held held(store);
      int depth = store.depth;
      store.depth = static_cast<int>(list.size());
      int result = store.daq_data_to_cache(&channels, hows[pick(5)]);
      store.depth = depth;
      ASSERT_EQ(result, 0);
    } else if (op < 93 && some != nullptr) {
      // Behind the store's back: taken out of the list by hand.
      delete list.front();
      list.erase(list.begin());
    } else if (op < 95) {
      list.push_back(make_record<TypeParam>(stamp().timeup, 0, number()));
    }

    // Some steps go unchecked, so that appends pile up between lookups.
    if (pick(3) == 0) continue;
    Scan<TypeParam> scan{list};
    some = list.empty() ? nullptr : list[pick(static_cast<int>(list.size()))];
    Held held(store);
    for (int how : hows) {
      ASSERT_EQ(A::first(store, how), scan.extreme(how, true)) << "step " << step;
      ASSERT_EQ(A::last(store, how), scan.extreme(how, false)) << "step " << step;
    }
    for (int q = 0; q < 4; ++q) {
      N ev = q == 0 && some ? some->event_number : number();
      time_stamp t = q == 0 && some ? some->time : stamp();
      ASSERT_EQ(A::next(store, ev), scan.step(ev, true)) << "step " << step;
      ASSERT_EQ(A::prev(store, ev), scan.step(ev, false)) << "step " << step;
      ASSERT_EQ(A::next(store, t), scan.step(t, true)) << "step " << step;
      ASSERT_EQ(A::prev(store, t), scan.step(t, false)) << "step " << step;
      ASSERT_EQ(A::find(store, ev), scan.find(ev)) << "step " << step;
      ASSERT_EQ(A::find(store, t), scan.find(t, store.max_time_diff)) << "step " << step;
    }
  }
}

}  // namespace
