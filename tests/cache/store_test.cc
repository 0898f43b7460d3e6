// The record store: capacity and eviction, removal, cleaning, the seen bit and
// printing, for both lists.
#include <gtest/gtest.h>

#include <string>

#include "cache_api.h"
#include "conversion_fixture.h"
#include "eq_evstore.h"
#include "velmor.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

template <class R>
class RecordStore : public testing::Test {
 protected:
  using A = Api<R>;
  EqEvstore store{3};

  R* add(uint32_t sec, uint64_t ev = 1, uint32_t usec = 0) {
    R* r = make_record<R>(sec, usec, ev);
    EXPECT_FALSE(A::add(store, r));
    return r;
  }
  std::vector<uint32_t> seconds() {
    std::vector<uint32_t> out;
    for (R* r : A::list(store)) out.push_back(r->time.timeup);
    return out;
  }
  static eq_evstore_entry* add_entry(R* r, const char* name, int dtype) {
    auto* e = new eq_evstore_entry();
    std::snprintf(e->name, sizeof e->name, "%s", name);
    e->data = new EqData_dtype();
    e->data->data = new velmor::EqData();
    e->data->data->set_type(dtype);
    e->data->dtype = dtype;
    e->data->devtype = dtype + 100;
    r->entry.push_back(e);
    return e;
  }
};
TYPED_TEST_SUITE(RecordStore, RecordTypes, GenerationName);

TYPED_TEST(RecordStore, NewStoreIsEmptyWithDefaultsAndRejectsNonPositiveDepth) {
  using A = Api<TypeParam>;
  EXPECT_EQ(this->store.GetDepth(), 3);
  EXPECT_EQ(this->store.GetInc(), 1000);
  EXPECT_FLOAT_EQ(this->store.max_time_diff, 101.0f);
  EXPECT_TRUE(A::empty(this->store));
  EXPECT_FALSE(A::full(this->store));
  EXPECT_EQ(A::count(this->store, false), 0);
  EXPECT_TRUE(this->store.SetDepth(0));
  EXPECT_TRUE(this->store.SetDepth(-5));
  EXPECT_EQ(this->store.GetDepth(), 3);
  EXPECT_EQ(this->store.SetInc(7), 7);
  EXPECT_EQ(this->store.GetInc(), 7);
}

TYPED_TEST(RecordStore, FullListEvictsEarliestTimeStampNotOldestArrival) {
  using A = Api<TypeParam>;
  this->add(10);
  this->add(20);
  this->add(30);
  EXPECT_TRUE(A::full(this->store));
  this->add(5);
  EXPECT_EQ(this->seconds(), (std::vector<uint32_t>{20, 30, 5}));
  EXPECT_EQ(A::count(this->store, true), 3);
}

TYPED_TEST(RecordStore, EvictionOrdersByMicrosecondsAndTieRemovesLowerPosition) {
  using A = Api<TypeParam>;
  this->add(10, 1, 500);
  TypeParam* twin = this->add(10, 2, 500);
  this->add(10, 3, 900);
  this->add(40, 4);
  ASSERT_EQ(A::list(this->store).size(), 3u);
  EXPECT_EQ(A::list(this->store)[0], twin);
  this->add(50, 5);
  EXPECT_EQ(A::list(this->store)[0]->event_number, 3u);
}

TYPED_TEST(RecordStore, LoweredDepthKeepsTheSizeOneOutOneIn) {
  using A = Api<TypeParam>;
  this->add(10);
  this->add(20);
  this->add(30);
  EXPECT_FALSE(this->store.SetDepth(2));
  EXPECT_FALSE(A::full(this->store));  // equality, not at-least
  this->add(40);
  EXPECT_EQ(this->seconds(), (std::vector<uint32_t>{20, 30, 40}));
}

TYPED_TEST(RecordStore, AddRecordClearsFlagsAndRefusesWhatItCannotPlace) {
  using A = Api<TypeParam>;
  TypeParam* r = make_record<TypeParam>(1, 0, 1);
  r->flags = 0x800 | 0x1;
  EXPECT_FALSE(A::add(this->store, r));
  EXPECT_EQ(r->flags, 0);
  EXPECT_TRUE(A::add(this->store, nullptr));

  EqEvstore zero(0);  // no earliest record exists to make room
  TypeParam* refused = make_record<TypeParam>(1, 0, 1);
  EXPECT_TRUE(A::add(zero, refused));
  EXPECT_TRUE(A::empty(zero));
  delete refused;  // still the caller's
}

TYPED_TEST(RecordStore, RemovalByPositionAndPointerKeepsOrderAndRejectsStrangers) {
  using A = Api<TypeParam>;
  this->add(10);
  TypeParam* mid = this->add(20);
  this->add(30);
  EXPECT_TRUE(A::rem(this->store, -1, true));
  EXPECT_TRUE(A::rem(this->store, 3, false));
  EXPECT_TRUE(A::rem(this->store, static_cast<TypeParam*>(nullptr), true));
  EqEvstore other(3);
  TypeParam* stranger = make_record<TypeParam>(20, 0, 1);
  ASSERT_FALSE(A::add(other, stranger));
  EXPECT_TRUE(A::rem(this->store, stranger, true));
  EXPECT_EQ(A::list(this->store).size(), 3u);

  this->add_entry(mid, "A", 4);
  EXPECT_FALSE(A::rem(this->store, mid, true));
  EXPECT_EQ(this->seconds(), (std::vector<uint32_t>{10, 30}));
  EXPECT_FALSE(A::rem(this->store, 0, false));
  EXPECT_EQ(this->seconds(), (std::vector<uint32_t>{30}));
}

TYPED_TEST(RecordStore, RemEntryReleasesEntryButLeavesTheDataObject) {
  using A = Api<TypeParam>;
  TypeParam* r = this->add(10);
  eq_evstore_entry* a = this->add_entry(r, "A", 4);
  this->add_entry(r, "B", 5);
  velmor::EqData* object = a->data->data;

  auto* foreign = new eq_evstore_entry();
  EXPECT_TRUE(A::rem_entry(this->store, r, foreign));
  EXPECT_TRUE(A::rem_entry(this->store, nullptr, foreign));
  EXPECT_TRUE(A::rem_entry(this->store, r, nullptr));
  delete foreign;

  EXPECT_FALSE(A::rem_entry(this->store, r, a));
  ASSERT_EQ(r->entry.size(), 1u);
  EXPECT_STREQ(r->entry[0]->name, "B");
  EXPECT_EQ(object->type(), 4);  // still alive: the caller of RemEntry releases it
  delete object;
}

TYPED_TEST(RecordStore, CleanCacheEmptiesBothLists) {
  using A = Api<TypeParam>;
  this->add_entry(this->add(10), "A", 4);
  this->store.AddRecord(make_record<eq_evstore_record>(1, 0, 1));
  this->store.AddRecord_2024(make_record<eq_evstore_record_2024>(1, 0, 1));
  this->store.CleanCache();
  EXPECT_TRUE(A::empty(this->store));
  EXPECT_TRUE(this->store.IsEmpty());
  EXPECT_TRUE(this->store.IsEmpty_2024());
}

TYPED_TEST(RecordStore, SeenBitTouchesOnlyItsBit) {
  using A = Api<TypeParam>;
  TypeParam* r = this->add(10);
  TypeParam* s = this->add(20);
  r->flags = 0x3;
  A::seen(this->store, true, r);
  EXPECT_EQ(r->flags, 0x803);
  A::seen(this->store, true, s);
  A::seen(this->store, false, r);
  EXPECT_EQ(r->flags, 0x3);
  A::seen(this->store, true, r);
  this->store.ClenAllSeen();
  EXPECT_EQ(r->flags, 0x3);
  EXPECT_EQ(s->flags, 0);
}

TYPED_TEST(RecordStore, PrintsRecordsEntriesAndListsExactly) {
  using A = Api<TypeParam>;
  TypeParam* r = this->add(1700000000, 42, 250000);
  this->add_entry(r, "CH1", 1013);
  auto* bare = new eq_evstore_entry();  // an entry without a data object, as slow data makes
  bare->data = new EqData_dtype();
  bare->data->dtype = bare->data->devtype = 33;
  r->entry.push_back(bare);
  this->add(5, 7);

  CaptureStdout();
  A::print(this->store, r);
  A::print(this->store, nullptr);
  this->store.PrintEntry(nullptr);
  EXPECT_EQ(GetCapturedStdout(),
            "RECORD: Time:1700000000:250000 Event#:42 Entries:2\n"
            "Entry[0]Chan: CH1 Device: 1113 Dtype: 1013 type:1013\n"
            "Entry[1]Chan:  Device: 33 Dtype: 33 type:not set\n");

  EqEvstore only(2);
  CaptureStdout();
  only.PrintAll(false);
  EXPECT_EQ(GetCapturedStdout(), "");
  A::add(only, make_record<TypeParam>(5, 1, 9));
  CaptureStdout();
  only.PrintAll(true);
  std::string title = sizeof(TypeParam::event_number) == 4 ? "DAQ CACHE\n" : "DAQ CACHE2024\n";
  EXPECT_EQ(GetCapturedStdout(), title + "[0]RECORD: Time:5:1 Event#:9 Entries:0\n\n");
}

TEST(RecordStorePrinting, LegacyListComesFirstAnd2024NumbersPrintInFull) {
  EqEvstore s(2);
  s.AddRecord_2024(make_record<eq_evstore_record_2024>(1, 0, 5000000000ull));
  s.AddRecord(make_record<eq_evstore_record>(2, 0, 4000000000u));
  CaptureStdout();
  s.PrintAll(false);
  EXPECT_EQ(GetCapturedStdout(),
            "DAQ CACHE\n[0]RECORD: Time:2:0 Event#:-294967296 Entries:0\n\n"
            "DAQ CACHE2024\n[0]RECORD: Time:1:0 Event#:5000000000 Entries:0\n\n");
}

template <class R>
class RemovedRecord : public ConversionTest<R> {
 protected:
  void spectrum(const char* name) {
    float v[2] = {1, 2};
    orxa_spect_input in{0.0f, 1.0f, 2, 1, 0.0f, v, nullptr};
    this->builder.add_spectra(name, ORXA_DT_SPECTRUM, &in, 1, false);
  }
};
TYPED_TEST_SUITE(RemovedRecord, RecordTypes, GenerationName);

// What a removal leaves behind may serve the next conversion; that record must be
// as a new one: the new event's channels only, its own stamp, no seen bit.
TYPED_TEST(RemovedRecord, NextConversionHoldsOnlyItsOwnEvent) {
  using A = Api<TypeParam>;
  for (int round = 0; round < 3; ++round) {
    this->begin(1, time_stamp{100, 7});
    this->spectrum("A");
    this->spectrum("B");
    ASSERT_EQ(this->convert_new(), 0);
    TypeParam* old = this->back();
    A::seen(this->store, true, old);
    ASSERT_FALSE(A::rem(this->store, old, true));
  }
  this->begin(2, time_stamp{200, 5});
  this->spectrum("C");
  ASSERT_EQ(this->convert_new(), 0);
  TypeParam* now = this->back();
  ASSERT_EQ(A::list(this->store).size(), 1u);
  EXPECT_EQ(this->names(now), std::vector<std::string>{"C"});
  EXPECT_EQ(now->flags, 0);
  EXPECT_EQ(now->event_number, 2u);
  EXPECT_EQ(now->time.timeup, 200u);
  EXPECT_EQ(now->time.timelow, 5u);
}
