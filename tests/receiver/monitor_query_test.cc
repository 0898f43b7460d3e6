// Monitor queries on a receiver whose thread runs (idle on a real link) or has
// ended. Records are put into the cache with the real conversion, under the cache
// lock, so each query meets exactly the records it is about.
#include <gtest/gtest.h>

#include "orxa_evutl.h"
#include "receiver_test_support.h"

namespace {

using namespace rtest;

template <class G>
class MonitorQuery : public ::testing::Test {
 protected:
  using Record = typename G::Record;
  using Result = std::vector<EqData_dtype*>;

  MonitorQuery() : server(G::k2024), r(3, 0), maker(G::kFormat) {}
  void SetUp() override {
    ASSERT_TRUE(server.AttachReceiver(r));
    ASSERT_FALSE(r.start_receiver(false));
  }

  void Add(const Bytes& ev) {
    DAQEqEvstore* c = r.get_cache();
    c->lock();
    ASSERT_EQ(convert<G>(*c, ev), 0);
    c->unlock();
  }
  // Event n stamped at `sec` seconds with channels A and B.
  void AddAt(uint64_t n, uint32_t sec) { Add(maker.channels(n, time_stamp{sec, 0}, {"A", "B"})); }
  void AddSlowBlock(uint64_t n) {
    OrxaSlowBlockBuilder slow(G::kFormat);
    slow.add("T1", n, time_stamp{50, 0}, 1.5f);
    slow.add("T2", n, time_stamp{50, 0}, 2.5f);
    size_t len = 0;
    const char* block = slow.finish(&len);
    DAQEqEvstore* c = r.get_cache();
    c->lock();
    ASSERT_EQ(c->daq_data_to_cache(
                  reinterpret_cast<orxa_daq_slow_data_header*>(const_cast<char*>(block)), 0),
              0);
    c->unlock();
  }
  std::vector<Record*>& List() { return G::list(*r.get_cache()); }
  bool Seen(size_t i) { return (List()[i]->flags & EQCACHE_FIND_NOTSEEN) != 0; }
  void EndThread() {
    r.stop_receiver();
    ASSERT_TRUE(r.if_thread_is_over());
  }

  // The record query with everything the caller can pass.
  int Query(typename G::QueryNumber evnum, time_stamp* tm, const char* chan, int how, int rem,
            Result** out = nullptr, Record** rc = nullptr) {
    return r.get_monitor(evnum, tm, out, const_cast<char*>(chan), how, rem, rc);
  }
  // The value of channel k of the delivered element.
  static float Value(const EqData_dtype* d) { return d->data->get_spectrum(0)->data[0]; }

  StreamServer server;
  typename G::Receiver r;
  EventMaker maker;
};

using Generations = ::testing::Types<Legacy, Gen2024>;
TYPED_TEST_SUITE(MonitorQuery, Generations);

constexpr int kFirstByTime = DAQ_GET_FIRST + EQCACHE_FIND_TIME;

TYPED_TEST(MonitorQuery, StatusQueryFoldsCacheFillAndThreadState) {
  auto& r = this->r;
  int ent = -1;
  EXPECT_EQ(r.get_monitor(&ent), 2);
  EXPECT_EQ(ent, 0);
  r.set_done(true);
  EXPECT_EQ(r.get_monitor(&ent), 34);
  r.set_done(false);
  this->AddAt(1, 10);
  EXPECT_EQ(r.get_monitor(&ent), 1);
  EXPECT_EQ(ent, 1);
  r.set_done(true);
  EXPECT_EQ(r.get_monitor(nullptr), 33);
  r.set_done(false);
  this->AddAt(2, 20);
  this->AddAt(3, 30);
  EXPECT_EQ(r.get_monitor(&ent), 9);  // depth 3 holding 3 records
  EXPECT_EQ(ent, 3);
  this->EndThread();  // the thread sets done as it ends
  EXPECT_EQ(r.get_monitor(&ent), 57);
  r.set_done(false);
  EXPECT_EQ(r.get_monitor(&ent), 25);
  EXPECT_EQ(this->Query(0, nullptr, nullptr, kFirstByTime, DAQ_GET_REMOVE), 17);
  EXPECT_EQ(r.get_monitor(&ent), 17);
  EXPECT_EQ(ent, 2);
  r.set_done(true);
  EXPECT_EQ(r.get_monitor(&ent), 49);
  EXPECT_EQ(this->Query(0, nullptr, nullptr, kFirstByTime, DAQ_GET_REMOVE), 49);
  EXPECT_EQ(this->Query(0, nullptr, nullptr, kFirstByTime, DAQ_GET_REMOVE), 49);
  EXPECT_EQ(r.get_monitor(&ent), 50);
  EXPECT_EQ(ent, 0);
  r.set_done(false);
  EXPECT_EQ(r.get_monitor(&ent), 18);
}

TYPED_TEST(MonitorQuery, RecordQueryResultsWithAndWithoutThread) {
  auto& r = this->r;
  const int notseen = kFirstByTime + EQCACHE_FIND_NOTSEEN;
  EXPECT_EQ(this->Query(0, nullptr, nullptr, kFirstByTime, 0), 2);  // empty
  r.set_done(true);
  EXPECT_EQ(this->Query(0, nullptr, nullptr, kFirstByTime, 0), 34);
  r.set_done(false);
  this->AddAt(1, 10);
  EXPECT_EQ(this->Query(0, nullptr, "NOPE", kFirstByTime, 0), 1024);
  EXPECT_EQ(this->Query(0, nullptr, nullptr, kFirstByTime, 0), 1);
  EXPECT_EQ(this->Query(0, nullptr, nullptr, notseen, 0), 1024);  // all seen
  r.set_done(true);
  EXPECT_EQ(this->Query(0, nullptr, nullptr, notseen, 0), 1056);
  EXPECT_EQ(this->Query(0, nullptr, nullptr, kFirstByTime, 0), 33);
  this->EndThread();
  r.set_done(false);
  EXPECT_EQ(this->Query(0, nullptr, "NOPE", kFirstByTime, 0), 1040);
  EXPECT_EQ(this->Query(0, nullptr, nullptr, notseen, 0), 20);
  EXPECT_EQ(this->Query(0, nullptr, nullptr, kFirstByTime, 0), 17);
  r.set_done(true);
  EXPECT_EQ(this->Query(0, nullptr, "NOPE", kFirstByTime, 0), 1072);
  EXPECT_EQ(this->Query(0, nullptr, nullptr, notseen, 0), 52);
  EXPECT_EQ(this->Query(0, nullptr, nullptr, kFirstByTime, DAQ_GET_REMOVE), 49);
  EXPECT_EQ(this->Query(0, nullptr, nullptr, kFirstByTime, 0), 52);  // empty now
  r.set_done(false);
  EXPECT_EQ(this->Query(0, nullptr, nullptr, kFirstByTime, 0), 20);
}

TYPED_TEST(MonitorQuery, OptionsFormWithoutOptionsTakesTheEarliestRecordByTime) {
  this->AddAt(1, 30);
  this->AddAt(2, 10);
  this->AddAt(3, 20);
  std::vector<EqData_dtype*>* out = nullptr;
  typename TypeParam::Record* rc = nullptr;
  typename TypeParam::Record* earliest = this->List()[1];
  EXPECT_EQ(this->r.get_monitor(&out, nullptr, &rc), DAQ_MON_DATA);
  EXPECT_EQ(rc, earliest);  // an identity only: the record is gone
  ASSERT_NE(out, nullptr);
  ASSERT_EQ(out->size(), 2u);
  EXPECT_EQ(this->Value((*out)[0]), 20.0f);  // event 2, channel A
  EXPECT_EQ(this->Value((*out)[1]), 21.0f);  // event 2, channel B
  EXPECT_EQ((*out)[0]->data->get_mpnum(), 2);
  EXPECT_EQ((*out)[0]->slblock, nullptr);
  EXPECT_EQ((*out)[0]->dtype, ORXA_DT_SPECTRUM);
  release_query_result(out);
  ASSERT_EQ(this->List().size(), 2u);
  EXPECT_EQ(this->List()[0]->event_number, 1u);
  EXPECT_EQ(this->List()[1]->event_number, 3u);
}

TYPED_TEST(MonitorQuery, OptionsFormSearchesNamesAndRemovesByAccessBits) {
  this->AddAt(1, 10);
  this->AddAt(2, 20);
  typename TypeParam::Options op{};
  op.evnum = 2;
  copy_text(op.chan, "B");
  op.access = DAQ_GET_THIS + DAQ_GET_REMOVE;
  std::vector<EqData_dtype*>* out = nullptr;
  EXPECT_EQ(this->r.get_monitor(&out, &op, nullptr), DAQ_MON_DATA);
  ASSERT_EQ(out->size(), 1u);
  EXPECT_EQ(this->Value((*out)[0]), 21.0f);
  release_query_result(out);
  ASSERT_EQ(this->List().size(), 1u);
  // A name that fills the whole field without a NUL matches nothing.
  std::memset(op.chan, 'A', sizeof op.chan);
  op.evnum = 1;
  EXPECT_EQ(this->r.get_monitor(&out, &op, nullptr), DAQ_MON_NOT_FOUND);
  // By time, with an empty name: all channels, marked seen.
  std::memset(&op, 0, sizeof op);
  op.time = time_stamp{10, 0};
  op.access = DAQ_GET_THIS;
  out = nullptr;
  EXPECT_EQ(this->r.get_monitor(&out, &op, nullptr), DAQ_MON_DATA);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(out->size(), 2u);
  release_query_result(out);
  EXPECT_TRUE(this->Seen(0));
}

TYPED_TEST(MonitorQuery, FirstWithoutAnOrderFindsNothingAndMarksNothing) {
  this->AddAt(1, 10);
  EXPECT_EQ(this->Query(0, nullptr, nullptr, DAQ_GET_FIRST, 0), DAQ_MON_NOT_FOUND);
  EXPECT_FALSE(this->Seen(0));
}

TYPED_TEST(MonitorQuery, NotSeenIterationDeliversEachRecordOnceInTimeOrder) {
  this->AddAt(1, 30);
  this->AddAt(2, 10);
  this->AddAt(3, 20);
  const int how = kFirstByTime + EQCACHE_FIND_NOTSEEN;
  std::vector<float> order;
  for (int i = 0; i < 3; ++i) {
    std::vector<EqData_dtype*>* out = nullptr;
    ASSERT_EQ(this->Query(0, nullptr, "A", how, 0, &out), DAQ_MON_DATA);
    order.push_back(this->Value((*out)[0]));
    release_query_result(out);
  }
  EXPECT_EQ(order, (std::vector<float>{20.0f, 30.0f, 10.0f}));
  EXPECT_EQ(this->Query(0, nullptr, nullptr, how, 0), DAQ_MON_NOT_FOUND);
  EXPECT_EQ(this->List().size(), 3u);  // seen, not removed
  this->EndThread();
  EXPECT_EQ(this->Query(0, nullptr, nullptr, how, 0), 52);
}

TYPED_TEST(MonitorQuery, DirectionsByEventNumberAndByTime) {
  this->AddAt(5, 10);
  this->AddAt(6, 20);
  this->AddAt(7, 30);
  auto value_of = [this](typename TypeParam::QueryNumber ev, time_stamp* tm, const char* chan,
                         int how) {
    std::vector<EqData_dtype*>* out = nullptr;
    int rc = this->Query(ev, tm, chan, how, 0, &out);
    float v = rc == DAQ_MON_DATA && !out->empty() ? this->Value((*out)[0]) : -1.0f;
    release_query_result(out);
    return v;
  };
  time_stamp t15{15, 0};
  EXPECT_EQ(value_of(0, &t15, "B", DAQ_GET_NEXT), 61.0f);  // after 15 s: event 6, channel B
  EXPECT_EQ(value_of(0, &t15, nullptr, DAQ_GET_PREV), 50.0f);
  EXPECT_EQ(value_of(6, nullptr, nullptr, DAQ_GET_NEXT), 70.0f);
  EXPECT_EQ(value_of(6, nullptr, "B", DAQ_GET_PREV), 51.0f);
  EXPECT_EQ(value_of(7, nullptr, nullptr, DAQ_GET_THIS), 70.0f);
  EXPECT_EQ(value_of(0, nullptr, nullptr, DAQ_GET_LAST + EQCACHE_FIND_EVNUM), 70.0f);
  EXPECT_EQ(value_of(6, nullptr, nullptr, 0), 60.0f);  // no direction: that event
  time_stamp t20{20, 0};
  EXPECT_EQ(value_of(0, &t20, nullptr, 0), 60.0f);
  // A mode that needs a time, given neither number nor time, finds nothing.
  for (int mode : {DAQ_GET_THIS, DAQ_GET_NEXT, DAQ_GET_PREV})
    EXPECT_EQ(this->Query(0, nullptr, nullptr, mode, 0), DAQ_MON_NOT_FOUND) << mode;
  // Without out and rc the record is still delivered and marked.
  EXPECT_EQ(this->Query(5, nullptr, nullptr, DAQ_GET_THIS, 0), DAQ_MON_DATA);
  EXPECT_TRUE(this->Seen(0));
}

TYPED_TEST(MonitorQuery, UnknownChannelChangesNothing) {
  this->AddAt(1, 10);
  EXPECT_EQ(this->Query(1, nullptr, "a", DAQ_GET_THIS, DAQ_GET_REMOVE), DAQ_MON_NOT_FOUND);
  ASSERT_EQ(this->List().size(), 1u);
  EXPECT_FALSE(this->Seen(0));
}

TYPED_TEST(MonitorQuery, SlowBlockIsHandedOutAsAPrivateCopy) {
  this->AddSlowBlock(9);
  auto& list = this->List();
  ASSERT_EQ(list.size(), 1u);
  orxa_daq_slow_data_header* stored = list[0]->entry[0]->data->slblock;
  int length = orxa_slow_block_get_length(stored);
  ASSERT_GT(length, 12);
  std::vector<EqData_dtype*>* out = nullptr;
  // Slow entries carry no name, so only an all-channels query delivers them.
  EXPECT_EQ(this->Query(0, nullptr, nullptr, kFirstByTime, 0, &out), DAQ_MON_DATA);
  ASSERT_EQ(out->size(), 1u);
  EqData_dtype* d = (*out)[0];
  EXPECT_EQ(d->data, nullptr);
  ASSERT_NE(d->slblock, nullptr);
  EXPECT_NE(d->slblock, stored);
  EXPECT_EQ(std::memcmp(d->slblock, stored, static_cast<size_t>(length)), 0);
  EXPECT_EQ(d->dtype, 33);
  EXPECT_EQ(d->devtype, 33);
  release_query_result(out);
}

TYPED_TEST(MonitorQuery, BadSlowBlockLengthIsACopyFailureThatChangesNothing) {
  this->AddAt(1, 10);
  this->AddSlowBlock(2);
  this->List()[1]->entry[0]->data->slblock->data_length = 0;
  std::vector<EqData_dtype*>* out = nullptr;
  typename TypeParam::Record* rc = nullptr;
  testing::internal::CaptureStdout();
  int result =
      this->Query(0, nullptr, nullptr, DAQ_GET_LAST + EQCACHE_FIND_TIME, DAQ_GET_REMOVE, &out, &rc);
  std::string printed = testing::internal::GetCapturedStdout();
  EXPECT_EQ(result, DAQ_MON_BAD_RESULT);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(rc, nullptr);
  const std::string plus(63, '+');
  EXPECT_EQ(printed, "Invalig length for slow data block: -1\n" + plus + " bad res\n" + plus +
                         " delete res\n");
  ASSERT_EQ(this->List().size(), 2u);
  EXPECT_FALSE(this->Seen(1));
  this->EndThread();
  this->r.set_done(false);
  testing::internal::CaptureStdout();
  EXPECT_EQ(this->Query(0, nullptr, nullptr, DAQ_GET_LAST + EQCACHE_FIND_TIME, 0), 2064);
  testing::internal::GetCapturedStdout();
}

// A removed record is destroyed right after the query, so it gives its own
// objects away instead of copies; the cache must then release none of them.
TYPED_TEST(MonitorQuery, RemovalHandsOutTheRecordsOwnObjects) {
  this->AddAt(1, 10);
  this->AddSlowBlock(2);  // stamped at 50 s
  this->AddAt(3, 60);
  auto& list = this->List();
  velmor::EqData* channel_a = list[0]->entry[0]->data->data;
  orxa_daq_slow_data_header* block = list[1]->entry[0]->data->slblock;
  velmor::EqData* channel_b = list[2]->entry[1]->data->data;
  std::vector<EqData_dtype*>* out = nullptr;
  ASSERT_EQ(this->Query(1, nullptr, nullptr, DAQ_GET_THIS, DAQ_GET_REMOVE, &out), DAQ_MON_DATA);
  ASSERT_EQ(out->size(), 2u);
  EXPECT_EQ((*out)[0]->data, channel_a);
  EXPECT_EQ(this->Value((*out)[0]), 10.0f);
  EXPECT_EQ(this->Value((*out)[1]), 11.0f);
  EXPECT_EQ((*out)[0]->dtype, ORXA_DT_SPECTRUM);
  release_query_result(out);
  ASSERT_EQ(this->Query(0, nullptr, nullptr, kFirstByTime, DAQ_GET_REMOVE, &out), DAQ_MON_DATA);
  ASSERT_EQ(out->size(), 1u);
  EXPECT_EQ((*out)[0]->slblock, block);
  EXPECT_EQ((*out)[0]->data, nullptr);
  EXPECT_EQ((*out)[0]->dtype, 33);
  release_query_result(out);
  // One channel of a removed record: the other is released with the record.
  ASSERT_EQ(this->Query(3, nullptr, "B", DAQ_GET_THIS, DAQ_GET_REMOVE, &out), DAQ_MON_DATA);
  ASSERT_EQ(out->size(), 1u);
  EXPECT_EQ((*out)[0]->data, channel_b);
  EXPECT_EQ(this->Value((*out)[0]), 31.0f);
  release_query_result(out);
  EXPECT_TRUE(list.empty());
  // Without out the objects are released with the result, once.
  this->AddAt(4, 40);
  EXPECT_EQ(this->Query(4, nullptr, nullptr, DAQ_GET_THIS, DAQ_GET_REMOVE), DAQ_MON_DATA);
  EXPECT_TRUE(list.empty());
  // A record of many channels hands them all out, in order.
  this->Add(this->maker.channels(5, time_stamp{70, 0},
                                 {"C0", "C1", "C2", "C3", "C4", "C5", "C6", "C7", "C8", "C9", "C10",
                                  "C11", "C12", "C13", "C14", "C15", "C16", "C17", "C18"}));
  ASSERT_EQ(this->Query(5, nullptr, nullptr, DAQ_GET_THIS, DAQ_GET_REMOVE, &out), DAQ_MON_DATA);
  ASSERT_EQ(out->size(), 19u);
  for (size_t k = 0; k < out->size(); ++k) EXPECT_EQ(this->Value((*out)[k]), 50.0f + k) << k;
  release_query_result(out);
  EXPECT_TRUE(list.empty());
}

// All or nothing: a channel that fails after one that could be handed out leaves
// the record whole, every object still in place.
TYPED_TEST(MonitorQuery, FailedRemovalTakesNothingFromTheRecord) {
  this->AddAt(1, 10);
  this->AddSlowBlock(2);
  auto& list = this->List();
  // The slow entry joins the event's record after its two channels, spoilt.
  eq_evstore_entry* slow = list[1]->entry[0];
  list[1]->entry.clear();
  list[0]->entry.push_back(nullptr);  // delivers nothing, fails nothing
  list[0]->entry.push_back(slow);
  const uint32_t whole = slow->data->slblock->data_length;
  slow->data->slblock->data_length = 0;
  velmor::EqData* channel_a = list[0]->entry[0]->data->data;
  std::vector<EqData_dtype*>* out = nullptr;
  testing::internal::CaptureStdout();
  EXPECT_EQ(this->Query(1, nullptr, nullptr, DAQ_GET_THIS, DAQ_GET_REMOVE, &out),
            DAQ_MON_BAD_RESULT);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, nullptr);
  ASSERT_EQ(list.size(), 2u);
  ASSERT_EQ(list[0]->entry.size(), 4u);
  EXPECT_EQ(list[0]->entry[0]->data->data, channel_a);
  EXPECT_EQ(this->Value(list[0]->entry[1]->data), 11.0f);
  EXPECT_NE(slow->data->slblock, nullptr);
  EXPECT_FALSE(this->Seen(0));
  // Mended, the record is handed out whole, the null entry skipped.
  slow->data->slblock->data_length = whole;
  testing::internal::CaptureStdout();
  ASSERT_EQ(this->Query(1, nullptr, nullptr, DAQ_GET_THIS, DAQ_GET_REMOVE, &out), DAQ_MON_DATA);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Entry pointer NULL\n");
  ASSERT_EQ(out->size(), 3u);
  EXPECT_EQ((*out)[0]->data, channel_a);
  EXPECT_NE((*out)[2]->slblock, nullptr);
  release_query_result(out);
  EXPECT_EQ(list.size(), 1u);
}

TYPED_TEST(MonitorQuery, BoundsOfTimeAndEventNumber) {
  auto& r = this->r;
  time_stamp tm{};
  typename TypeParam::BoundNumber ev = 0;
  EXPECT_TRUE(r.get_monitor(&tm, 0));
  EXPECT_TRUE(r.get_monitor(&ev, 1));
  EXPECT_TRUE(r.get_monitor(static_cast<time_stamp*>(nullptr), 0));
  this->AddAt(8, 20);
  this->AddAt(4, 30);
  this->AddAt(6, 10);
  EXPECT_FALSE(r.get_monitor(&tm, 0));
  EXPECT_EQ(tm.timeup, 10u);
  EXPECT_FALSE(r.get_monitor(&tm, 1));
  EXPECT_EQ(tm.timeup, 30u);
  EXPECT_FALSE(r.get_monitor(&ev, 0));
  EXPECT_EQ(ev, 4u);
  EXPECT_FALSE(r.get_monitor(&ev, 1));
  EXPECT_EQ(ev, 8u);
}

}  // namespace
