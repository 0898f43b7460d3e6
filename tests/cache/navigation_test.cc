// Navigation and lookup: selectors, ties, extremes, wrap-around of event numbers,
// the millisecond time key and the first-within-tolerance rule.
#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "cache_api.h"
#include "eq_evstore.h"

template <class R>
class Navigation : public testing::Test {
 protected:
  using A = Api<R>;
  EqEvstore store{100};

  R* add(uint32_t sec, uint32_t usec, uint64_t ev) {
    R* r = make_record<R>(sec, usec, ev);
    EXPECT_FALSE(A::add(store, r));
    return r;
  }
};
TYPED_TEST_SUITE(Navigation, RecordTypes, GenerationName);

TYPED_TEST(Navigation, SelectorsDecideAndEmptyListFindsNothing) {
  using A = Api<TypeParam>;
  EXPECT_EQ(A::first(this->store, 0), -2);
  EXPECT_EQ(A::first(this->store, EQCACHE_FIND_TIME), -1);
  EXPECT_EQ(A::first_rec(this->store, EQCACHE_FIND_EVNUM), nullptr);
  typename A::EvNum ev = 99;
  EXPECT_TRUE(A::first_evnum(this->store, &ev));
  EXPECT_EQ(ev, 99u);
  this->add(20, 0, 1);
  this->add(10, 0, 2);
  EXPECT_EQ(A::first(this->store, 0), -2);
  EXPECT_EQ(A::last(this->store, EQCACHE_FIND_NOTSEEN), -2);
  EXPECT_EQ(A::first(this->store, EQCACHE_FIND_TIME | EQCACHE_FIND_EVNUM), 1);  // time wins
  EXPECT_EQ(A::first(this->store, EQCACHE_FIND_EVNUM), 0);
  EXPECT_EQ(A::last_rec(this->store, EQCACHE_FIND_TIME), A::list(this->store)[0]);
}

TYPED_TEST(Navigation, TiesKeepTheLowerPositionAndExtremeKeysAreNeverSelected) {
  using A = Api<TypeParam>;
  this->add(5, 0, 7);
  this->add(9, 0, 3);
  this->add(9, 0, 3);
  EXPECT_EQ(A::first(this->store, EQCACHE_FIND_EVNUM), 1);
  EXPECT_EQ(A::last(this->store, EQCACHE_FIND_TIME), 1);

  EqEvstore s(10);
  A::add(s, make_record<TypeParam>(0, 0, 0));
  EXPECT_EQ(A::last(s, EQCACHE_FIND_EVNUM), -1);
  EXPECT_EQ(A::last(s, EQCACHE_FIND_TIME), -1);
  A::add(s, make_record<TypeParam>(0xFFFFFFFFu, 0xFFFFFFFFu,
                                   std::numeric_limits<typename A::EvNum>::max()));
  EXPECT_EQ(A::first(s, EQCACHE_FIND_TIME), 0);
  EXPECT_EQ(A::first(s, EQCACHE_FIND_EVNUM), 0);
  EXPECT_EQ(A::last(s, EQCACHE_FIND_TIME), 1);
  typename A::EvNum ev = 0;
  EXPECT_FALSE(A::last_evnum(s, &ev));
  EXPECT_EQ(ev, std::numeric_limits<typename A::EvNum>::max());
}

TYPED_TEST(Navigation, NotSeenSelectorPassesOverSeenRecords) {
  using A = Api<TypeParam>;
  TypeParam* a = this->add(1, 0, 4);
  TypeParam* b = this->add(2, 0, 6);
  A::seen(this->store, true, a);
  EXPECT_EQ(A::first(this->store, EQCACHE_FIND_EVNUM | EQCACHE_FIND_NOTSEEN), 1);
  A::seen(this->store, true, b);
  EXPECT_EQ(A::first(this->store, EQCACHE_FIND_EVNUM | EQCACHE_FIND_NOTSEEN), -1);
  EXPECT_EQ(A::last(this->store, EQCACHE_FIND_TIME | EQCACHE_FIND_NOTSEEN), -1);
  EXPECT_EQ(A::first(this->store, EQCACHE_FIND_EVNUM), 0);
  typename A::EvNum ev = 0;
  EXPECT_FALSE(A::last_evnum(this->store, &ev));
  EXPECT_EQ(ev, 6u);
}

TYPED_TEST(Navigation, NextAndPreviousEventNumberPickNearestWithLowerPositionOnTies) {
  using A = Api<TypeParam>;
  this->add(1, 0, 30);
  this->add(2, 0, 10);
  this->add(3, 0, 20);
  this->add(4, 0, 20);
  EXPECT_EQ(A::next(this->store, 10), 2);
  EXPECT_EQ(A::next(this->store, 15), 2);
  EXPECT_EQ(A::prev(this->store, 30), 2);
  EXPECT_EQ(A::prev(this->store, 10), -1);
  EXPECT_EQ(A::next(this->store, 30), -1);
  EXPECT_EQ(A::next_rec(this->store, 20)->event_number, 30u);
  EXPECT_EQ(A::prev_rec(this->store, 11)->event_number, 10u);
  EXPECT_EQ(A::next_rec(this->store, 31), nullptr);
  EqEvstore empty(3);
  EXPECT_EQ(A::next(empty, 1), -1);
  EXPECT_EQ(A::prev(empty, 1), -1);
}

TEST(NavigationWrapAround, LegacyNumbersWrapAt32Bits) {
  EqEvstore s(10);
  s.AddRecord(make_record<eq_evstore_record>(1, 0, 5));
  s.AddRecord(make_record<eq_evstore_record>(2, 0, 4294967280u));
  EXPECT_EQ(s.FindNextIndx(4294967290u), 0);  // 5 follows 4294967290
  EXPECT_EQ(s.FindPrevIndx(5u), 1);
  EXPECT_EQ(s.FindNextIndx(4294967295u), 0);
}

TEST(NavigationWrapAround, Gen2024NumbersWrapAt64BitsOnly) {
  EqEvstore s(10);
  s.AddRecord_2024(make_record<eq_evstore_record_2024>(1, 0, 5));
  s.AddRecord_2024(make_record<eq_evstore_record_2024>(2, 0, 4294967296ull + 3));
  EXPECT_EQ(s.FindNextIndx_2024(4294967290ull), 1);  // no wrap at 2^32
  EXPECT_EQ(s.FindNextIndx_2024(std::numeric_limits<uint64_t>::max() - 5), 0);
  EXPECT_EQ(s.FindPrevIndx_2024(5), -1);
  EXPECT_EQ(s.FindPrevIndx_2024(4294967296ull + 10), 1);
}

TYPED_TEST(Navigation, TimeKeyIsMillisecondsSoMicrosecondsOrderWithinTheSecond) {
  using A = Api<TypeParam>;
  this->add(2, 0, 1);
  this->add(1, 999999, 2);
  // 1 s + 999999 us comes before 2 s: it is the nearest record after 1 s.
  EXPECT_EQ(A::next(this->store, time_stamp{1, 0}), 1);
  EXPECT_EQ(A::prev(this->store, time_stamp{3, 0}), 0);
  EXPECT_EQ(A::prev(this->store, time_stamp{2, 0}), 1);
  EXPECT_EQ(A::next(this->store, time_stamp{2, 0}), -1);  // an equal key is never next
  EXPECT_EQ(A::next_rec(this->store, time_stamp{1, 999999})->event_number, 1u);
  EXPECT_EQ(A::prev_rec(this->store, time_stamp{1, 999999}), nullptr);
}

TYPED_TEST(Navigation, LookupByTimeTakesFirstWithinToleranceInMilliseconds) {
  using A = Api<TypeParam>;
  this->add(100, 50000, 1);  // 50 ms from 100 s
  this->add(100, 10000, 2);  // 10 ms
  EXPECT_EQ(A::find(this->store, time_stamp{100, 0})->event_number, 1u);
  EXPECT_EQ(A::find(this->store, time_stamp{100, 151000})->event_number, 1u);  // 101 ms
  EXPECT_EQ(A::find(this->store, time_stamp{100, 152000}), nullptr);           // 102 ms
  this->store.SetTimeDiff(5.0f);
  EXPECT_EQ(A::find(this->store, time_stamp{100, 0}), nullptr);
  EXPECT_EQ(A::find(this->store, time_stamp{100, 12000})->event_number, 2u);
}

TYPED_TEST(Navigation, LookupByEventNumberAndChannelsMatchExactly) {
  using A = Api<TypeParam>;
  TypeParam* r = this->add(10, 0, 77);
  auto* e = new eq_evstore_entry();
  std::snprintf(e->name, sizeof e->name, "%s", "Beam.Current");
  e->data = new EqData_dtype();
  r->entry.push_back(e);
  char name[] = "Beam.Current";
  char other_case[] = "beam.current";
  char empty[] = "";
  EXPECT_EQ(A::find(this->store, 77), r);
  EXPECT_EQ(A::find(this->store, 78), nullptr);
  EXPECT_EQ(A::channel(this->store, r, name), e);
  EXPECT_EQ(A::channel(this->store, r, other_case), nullptr);
  EXPECT_EQ(A::channel(this->store, r, empty), nullptr);
  char prefix[] = "Beam.Curren";
  char longer[] = "Beam.Current2";
  char same_end[] = "Xeam.Current";
  std::string huge(300, 'B');
  EXPECT_EQ(A::channel(this->store, r, prefix), nullptr);
  EXPECT_EQ(A::channel(this->store, r, longer), nullptr);
  EXPECT_EQ(A::channel(this->store, r, same_end), nullptr);
  EXPECT_EQ(A::channel(this->store, r, &huge[0]), nullptr);
  EXPECT_EQ(A::channel(this->store, static_cast<TypeParam*>(nullptr), name), nullptr);
  EXPECT_EQ(A::channel(this->store, static_cast<typename A::EvNum>(77), name), e);
  EXPECT_EQ(A::channel(this->store, static_cast<typename A::EvNum>(77), nullptr), nullptr);
  EXPECT_EQ(A::channel(this->store, static_cast<typename A::EvNum>(78), name), nullptr);
  EXPECT_EQ(A::channel(this->store, time_stamp{10, 40000}, name), e);
  EXPECT_EQ(A::channel(this->store, time_stamp{10, 40000}, empty), nullptr);
}

TEST(NavigationTimes, FirstAndLastTimeFallBackTo2024List) {
  EqEvstore s(10);
  time_stamp tm{123, 456};
  EXPECT_TRUE(s.get_first_time(&tm));
  EXPECT_EQ(tm.timeup, 123u);
  s.AddRecord_2024(make_record<eq_evstore_record_2024>(30, 0, 1));
  s.AddRecord_2024(make_record<eq_evstore_record_2024>(20, 5, 2));
  EXPECT_FALSE(s.get_first_time(&tm));
  EXPECT_EQ(tm.timeup, 20u);
  EXPECT_EQ(tm.timelow, 5u);
  EXPECT_FALSE(s.get_last_time(&tm));
  EXPECT_EQ(tm.timeup, 30u);
  s.AddRecord(make_record<eq_evstore_record>(40, 0, 3));  // the legacy list is asked first
  EXPECT_FALSE(s.get_first_time(&tm));
  EXPECT_EQ(tm.timeup, 40u);
  EXPECT_FALSE(s.get_first_time(nullptr));
}
