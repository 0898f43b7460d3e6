// Slow-data blocks and channel lists: one record per block holding a private copy,
// the block's pattern choosing the list, reuse of a full list's record.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "cache_alloc.h"
#include "cache_api.h"
#include "eq_evstore.h"
#include "orxa_event_builder.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

template <class R>
class SlowConversion : public testing::Test {
 protected:
  using A = Api<R>;
  DAQEqEvstore store{2};

  std::vector<uint64_t> block(uint64_t ev, time_stamp t, int entries = 2) {
    OrxaSlowBlockBuilder b(A::kFormat);
    for (int i = 0; i < entries; ++i)
      b.add("SLOW.CH", ev + i, time_stamp{t.timeup + i, t.timelow}, 1.0f * i);
    size_t n = 0;
    const char* p = b.finish(&n);
    EXPECT_NE(p, nullptr);
    std::vector<uint64_t> out(n / 8 + 1);
    std::memcpy(out.data(), p, n);
    return out;
  }
  static orxa_daq_slow_data_header* head(std::vector<uint64_t>& b) {
    return reinterpret_cast<orxa_daq_slow_data_header*>(b.data());
  }
};
TYPED_TEST_SUITE(SlowConversion, RecordTypes, GenerationName);

TYPED_TEST(SlowConversion, BlockBecomesARecordWithOneNamelessCopy) {
  using A = Api<TypeParam>;
  auto b = this->block(5000000001ull, time_stamp{1700000000, 42});
  ASSERT_EQ(this->store.daq_data_to_cache(this->head(b), 0), 0);
  ASSERT_EQ(A::list(this->store).size(), 1u);
  TypeParam* r = A::list(this->store)[0];
  EXPECT_EQ(r->time.timeup, 1700000000u);
  EXPECT_EQ(r->time.timelow, 42u);
  EXPECT_EQ(r->event_number, static_cast<decltype(r->event_number)>(5000000001ull));
  ASSERT_EQ(r->entry.size(), 1u);
  EXPECT_EQ(r->entry[0]->name[0], '\0');
  EqData_dtype* d = r->entry[0]->data;
  EXPECT_EQ(d->data, nullptr);
  EXPECT_EQ(d->dtype, 33);
  EXPECT_EQ(d->devtype, 33);
  ASSERT_NE(d->slblock, nullptr);
  EXPECT_NE(static_cast<void*>(d->slblock), static_cast<void*>(b.data()));
  EXPECT_EQ(std::memcmp(d->slblock, b.data(), this->head(b)->data_length), 0);
  EXPECT_EQ(A::channel(this->store, r, const_cast<char*>("")), nullptr);

  CaptureStdout();
  A::print(this->store, r);
  std::string number = sizeof(r->event_number) == 4 ? "705032705" : "5000000001";
  EXPECT_EQ(GetCapturedStdout(),
            "RECORD: Time:1700000000:42 Event#:" + number +
                " Entries:1\nEntry[0]Chan:  Device: 33 Dtype: 33 type:not set\n");
}

TYPED_TEST(SlowConversion, FullListReusesEarliestRecordWithExactlyTheNewBlock) {
  using A = Api<TypeParam>;
  auto first = this->block(1, time_stamp{20, 0});
  auto second = this->block(2, time_stamp{10, 0});
  auto third = this->block(3, time_stamp{30, 0}, 1);
  ASSERT_EQ(this->store.daq_data_to_cache(this->head(first), 0), 0);
  ASSERT_EQ(this->store.daq_data_to_cache(this->head(second), 0), 0);
  TypeParam* earliest = A::list(this->store)[1];
  auto* extra = new eq_evstore_entry();  // whatever the record held before goes
  extra->data = new EqData_dtype();
  earliest->entry.push_back(extra);

  CaptureStdout();
  EXPECT_EQ(this->store.daq_data_to_cache(this->head(third), 0), -4);
  EXPECT_EQ(GetCapturedStdout(), A::kSlowFullMessage);

  ASSERT_EQ(this->store.daq_data_to_cache(this->head(third), EQCACHE_FIND_TIME), 0);
  ASSERT_EQ(A::list(this->store).size(), 2u);
  EXPECT_EQ(A::list(this->store)[1], earliest);
  EXPECT_EQ(earliest->event_number, 3u);
  ASSERT_EQ(earliest->entry.size(), 1u);
  EXPECT_EQ(earliest->entry[0]->data->slblock->data_length, this->head(third)->data_length);
}

TYPED_TEST(SlowConversion, BadBlocksAreRefused) {
  using A = Api<TypeParam>;
  auto b = this->block(1, time_stamp{1, 0});
  EXPECT_EQ(this->store.daq_data_to_cache(static_cast<orxa_daq_slow_data_header*>(nullptr), 0), -2);
  this->head(b)->pattern = 0x12345678u;
  CaptureStdout();
  EXPECT_EQ(this->store.daq_data_to_cache(this->head(b), 0), -4);
  EXPECT_EQ(GetCapturedStdout(), "");
  this->head(b)->pattern = A::kSlowPattern;
  this->head(b)->data_length = 11;
  CaptureStdout();
  EXPECT_EQ(this->store.daq_data_to_cache(this->head(b), 0), -2);
  EXPECT_EQ(GetCapturedStdout(),
            "daq_data_to_cache(slow) block length 11 is shorter than its header, refused\n");
  EXPECT_TRUE(A::empty(this->store));

  this->head(b)->data_length = 12;  // the header alone
  ASSERT_EQ(this->store.daq_data_to_cache(this->head(b), 0), 0);
  EXPECT_EQ(A::list(this->store)[0]->entry[0]->data->slblock->data_length, 12u);
}

// Every block that gets no record counts once as a dropped event; a null header
// and the channel-list overload count nothing.
TYPED_TEST(SlowConversion, EveryRefusedBlockCountsOnce) {
  auto b = this->block(1, time_stamp{1, 0});
  auto unknown = this->block(1, time_stamp{1, 0});
  this->head(unknown)->pattern = 0x12345678u;
  auto shortened = this->block(1, time_stamp{1, 0});
  this->head(shortened)->data_length = 11;
  CaptureStdout();
  this->store.daq_data_to_cache(static_cast<orxa_daq_slow_data_header*>(nullptr), 0);
  EXPECT_EQ(this->store.daq_data_to_cache(this->head(unknown), 0), -4);
  EXPECT_EQ(this->store.daq_data_to_cache(this->head(shortened), 0), -2);
  cache_fail_allocation(1);
  EXPECT_EQ(this->store.daq_data_to_cache(this->head(b), 0), -3);
  cache_fail_allocation(0);
  ASSERT_EQ(this->store.daq_data_to_cache(this->head(b), 0), 0);
  ASSERT_EQ(this->store.daq_data_to_cache(this->head(b), 0), 0);
  EXPECT_EQ(this->store.daq_data_to_cache(this->head(b), 0), -4);  // full
  std::vector<orxa_channel_entry_long*> none;
  this->store.daq_data_to_cache(&none, 0);
  GetCapturedStdout();
  EXPECT_EQ(this->store.get_dropped_events(), 4u);
  EXPECT_EQ(this->store.get_dropped_sub_blocks(), 0u);
}

TYPED_TEST(SlowConversion, AllocationFailureLeavesReusedRecordEmptyAndDropsNewOne) {
  using A = Api<TypeParam>;
  auto b = this->block(9, time_stamp{5, 0});
  for (int nth = 2; nth <= 4; ++nth) {  // entry, dtype, block copy
    cache_fail_allocation(nth);
    EXPECT_EQ(this->store.daq_data_to_cache(this->head(b), 0), -3);
    cache_fail_allocation(0);
    EXPECT_TRUE(A::empty(this->store));
  }
  ASSERT_EQ(this->store.daq_data_to_cache(this->head(b), 0), 0);
  ASSERT_EQ(this->store.daq_data_to_cache(this->head(b), 0), 0);
  cache_fail_allocation(3);
  EXPECT_EQ(this->store.daq_data_to_cache(this->head(b), EQCACHE_FIND_TIME), -3);
  cache_fail_allocation(0);
  ASSERT_EQ(A::list(this->store).size(), 2u);
  EXPECT_EQ(A::list(this->store)[0]->event_number, 9u);
  EXPECT_TRUE(A::list(this->store)[0]->entry.empty());
}

TEST(SlowConversionLists, PatternPicksTheListWhateverTheOtherHolds) {
  DAQEqEvstore s(1);
  s.AddRecord(make_record<eq_evstore_record>(1, 0, 1));
  ASSERT_TRUE(s.IsFull());
  OrxaSlowBlockBuilder b(ORXA_FORMAT_2024);
  b.add("X", 77, time_stamp{3, 0}, 1.0f);
  size_t n = 0;
  const char* p = b.finish(&n);
  std::vector<uint64_t> copy(n / 8 + 1);
  std::memcpy(copy.data(), p, n);
  EXPECT_EQ(s.daq_data_to_cache(reinterpret_cast<orxa_daq_slow_data_header*>(copy.data()), 0), 0);
  ASSERT_EQ(s.cache_2024.size(), 1u);
  EXPECT_EQ(s.cache_2024[0]->event_number, 77u);
  EXPECT_EQ(s.cache.size(), 1u);
}

TEST(ChannelListConversion, AddsOneEmptyRecordPerList) {
  DAQEqEvstore s(1);
  std::vector<orxa_channel_entry_long*> none;
  orxa_channel_entry_long entries[3] = {};
  std::vector<orxa_channel_entry_long*> three{&entries[0], &entries[1], &entries[2]};
  EXPECT_EQ(s.daq_data_to_cache(static_cast<std::vector<orxa_channel_entry_long*>*>(nullptr), 0),
            -2);
  CaptureStdout();
  EXPECT_EQ(s.daq_data_to_cache(&none, 0), -1);
  EXPECT_EQ(GetCapturedStdout(), "daq_data_to_cache() no channels on imput\n");

  ASSERT_EQ(s.daq_data_to_cache(&three, 0), 0);
  ASSERT_EQ(s.cache.size(), 1u);
  EXPECT_EQ(s.cache[0]->time.timeup, 0u);
  EXPECT_EQ(s.cache[0]->event_number, 0u);
  EXPECT_TRUE(s.cache[0]->entry.empty());

  CaptureStdout();
  EXPECT_EQ(s.daq_data_to_cache(&three, 0), -4);
  EXPECT_EQ(GetCapturedStdout(),
            "daq_data_to_cache() !!!! Failed to find first record in FULL cache !!!!!\n");
  s.cache[0]->event_number = 5;
  EXPECT_EQ(s.daq_data_to_cache(&three, EQCACHE_FIND_EVNUM), 0);
  EXPECT_EQ(s.cache[0]->event_number, 0u);
  EXPECT_EQ(s.cache.size(), 1u);
}
