// Allocation-failure sweeps of the record queries of both receivers: all
// channels or one, with and without removal, of an event record and of a
// slow-data record. Every run must answer with a delivery or the copy-failure
// result, leave the cache lock free, leave the cache untouched after a failure
// and leak nothing; a delivery must hold exactly what the record held.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "eq_daq_data.h"
#include "eq_daq_data_2024.h"
#include "failing_allocator.h"
#include "monitor_copy.h"
#include "orxa_event_builder.h"
#include "receiver_test_support.h"
#include "velmor.h"

namespace fa = failing_allocator;

namespace {

const fa::Hook kSlowCopyMalloc{monitor_fail_allocation, monitor_allocation_failure_pending};

using rtest::Gen2024;
using rtest::Legacy;

// One element or entry value as a comparable text.
std::string value_of(const EqData_dtype* d) {
  std::string s = std::to_string(d->dtype) + "/" + std::to_string(d->devtype) + ":";
  if (d->data != nullptr) d->data->serialize(s);
  if (d->slblock != nullptr)
    s.append(reinterpret_cast<const char*>(d->slblock), d->slblock->data_length);
  return s;
}

template <class R>
std::vector<std::string> values_of(const R* r) {
  std::vector<std::string> out;
  for (const eq_evstore_entry* e : r->entry)
    out.push_back(std::string(e->name) + "=" + value_of(e->data));
  return out;
}

template <class G>
class MonitorSweep : public testing::Test {
 protected:
  using Record = typename G::Record;
  using Result = std::vector<EqData_dtype*>;
  static constexpr int kEvent = 10;
  static constexpr int kSlow = 77;

  void fill(DAQEqEvstore& c) {
    OrxaEventBuilder b(G::kFormat);
    b.begin(kEvent, time_stamp{1000, 0});
    velmor::EqData object;
    object.set_string("a value long enough to need a buffer of its own");
    b.add_data_object("OBJ", ORXA_DT_EQDATA, object);
    float v[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    orxa_spect_input one{0, 1, 8, 1, 0, v, nullptr};
    b.add_spectra("SPECTRUM", ORXA_DT_SPECTRUM, &one, 1, false);
    orxa_image_ext_frame_head head{};
    head.width = 8;
    head.height = 1;
    head.length = 8;
    const unsigned char pixels[8] = {9, 8, 7, 6, 5, 4, 3, 2};
    b.add_image("CAM", ORXA_DT_IMAGE_EXT, head, pixels);
    size_t length = 0;
    const char* event = b.finish(&length);
    ASSERT_NE(event, nullptr);
    std::vector<uint64_t> aligned((length + 7) / 8);
    std::memcpy(aligned.data(), event, length);
    OrxaSlowBlockBuilder slow(G::kFormat);
    slow.add("T1", kSlow, time_stamp{60, 0}, 1.5f);
    const char* block = slow.finish(&length);
    ASSERT_NE(block, nullptr);
    std::vector<uint64_t> block_copy((length + 7) / 8);
    std::memcpy(block_copy.data(), block, length);
    c.lock();
    EXPECT_EQ(
        c.daq_data_to_cache(reinterpret_cast<typename G::Header*>(aligned.data()), nullptr, 0), 0);
    EXPECT_EQ(
        c.daq_data_to_cache(reinterpret_cast<orxa_daq_slow_data_header*>(block_copy.data()), 0), 0);
    c.unlock();
  }

  // Sweeps the query for record `number`, one channel or all, removing or not.
  void sweep(fa::Source source, typename G::QueryNumber number, const char* chan, bool remove) {
    std::unique_ptr<typename G::Receiver> r;
    std::vector<std::vector<std::string>> before;
    std::vector<int> flags_before;
    Result* out = nullptr;
    Record* rc = nullptr;
    int result = 0;
    size_t position = 0;
    fa::Sweep s;
    s.what = std::string("record query ") + (chan ? chan : "all") + (remove ? " removing" : "");
    s.setup = [&] {
      r.reset(new typename G::Receiver(5, 0));
      fill(*r->get_cache());
      before.clear();
      flags_before.clear();
      for (Record* rec : G::list(*r->get_cache())) {
        if (rec->event_number == static_cast<decltype(rec->event_number)>(number))
          position = before.size();
        before.push_back(values_of(rec));
        flags_before.push_back(rec->flags);
      }
      out = nullptr;
      rc = nullptr;
    };
    s.op = [&] {
      result = r->get_monitor(number, nullptr, &out, const_cast<char*>(chan), DAQ_GET_THIS,
                              remove ? DAQ_GET_REMOVE : 0, &rc);
    };
    s.check = [&](long n) {
      DAQEqEvstore* c = r->get_cache();
      int locked = pthread_mutex_trylock(&c->mlock);
      EXPECT_EQ(locked, 0) << "cache lock held after allocation " << n << " failed";
      // Held by this very thread: released so that the sweep can go on.
      pthread_mutex_unlock(&c->mlock);
      std::vector<Record*>& list = G::list(*c);
      if (result == DAQ_MON_BAD_RESULT + DAQ_MON_NO_THREAD) {
        EXPECT_EQ(out, nullptr) << n;
        EXPECT_EQ(rc, nullptr) << n;
        ASSERT_EQ(list.size(), before.size()) << n;
        for (size_t i = 0; i < list.size(); ++i) {
          EXPECT_EQ(values_of(list[i]), before[i]) << n;
          EXPECT_EQ(list[i]->flags, flags_before[i]) << n;
        }
        return;
      }
      ASSERT_EQ(result, DAQ_MON_DATA + DAQ_MON_NO_THREAD) << n;
      ASSERT_NE(out, nullptr) << n;
      std::vector<std::string> delivered;
      for (const EqData_dtype* d : *out) delivered.push_back(value_of(d));
      std::vector<std::string> expected;
      for (const std::string& e : before[position]) {
        std::string name = e.substr(0, e.find('='));
        if (chan == nullptr || name == chan) expected.push_back(e.substr(e.find('=') + 1));
      }
      EXPECT_EQ(delivered, expected) << n;
      EXPECT_EQ(list.size(), before.size() - (remove ? 1 : 0)) << n;
      if (!remove) {
        EXPECT_NE(list[position]->flags & EQCACHE_FIND_NOTSEEN, 0) << n;
      }
    };
    s.teardown = [&] {
      release_query_result(out);
      r.reset();
    };
    EXPECT_GT(fa::run(s, source, &kSlowCopyMalloc), 0) << s.what;
  }
};

using Generations = testing::Types<Legacy, Gen2024>;
TYPED_TEST_SUITE(MonitorSweep, Generations);

TYPED_TEST(MonitorSweep, EventRecordWithAllOrOneChannel) {
  this->sweep(fa::Source::operator_new, this->kEvent, nullptr, false);
  this->sweep(fa::Source::operator_new, this->kEvent, "CAM", false);
}

TYPED_TEST(MonitorSweep, EventRecordRemoved) {
  this->sweep(fa::Source::operator_new, this->kEvent, nullptr, true);
  this->sweep(fa::Source::operator_new, this->kEvent, "OBJ", true);
}

TYPED_TEST(MonitorSweep, SlowDataRecordWithAndWithoutRemoval) {
  for (fa::Source source : {fa::Source::operator_new, fa::Source::hook}) {
    this->sweep(source, this->kSlow, nullptr, false);
    if (source == fa::Source::operator_new) this->sweep(source, this->kSlow, nullptr, true);
  }
}

}  // namespace
