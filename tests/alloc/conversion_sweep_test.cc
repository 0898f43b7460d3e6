// Allocation-failure sweeps of the conversions into the record cache: an event
// with every kind of sub-block (new record and reused record), a slow-data
// block and a channel list, in both generations. Every run must return a
// documented result, leave the cache lock free, keep the records stored before
// exactly as they were and leak nothing; a success must be the whole event
// unless the store counted a dropped sub-block.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cache_alloc.h"
#include "cache_api.h"
#include "eq_evstore.h"
#include "failing_allocator.h"
#include "orxa_event_builder.h"
#include "velmor.h"

namespace fa = failing_allocator;

namespace {

const fa::Hook kCacheMalloc{cache_fail_allocation, cache_allocation_failure_pending};

using Bytes = std::vector<uint64_t>;  // 8-byte aligned event or block

Bytes copy_out(const char* p, size_t length) {
  Bytes b((length + 7) / 8, 0);
  if (p != nullptr) std::memcpy(b.data(), p, length);
  return b;
}

// An event holding one sub-block of every kind the conversion dispatches on.
Bytes every_kind_event(int format, uint64_t number, uint32_t seconds) {
  OrxaEventBuilder b(format);
  b.begin(number, time_stamp{seconds, 500000});
  b.add_stamp("TRIG", ORXA_DT_STAMP);
  velmor::EqData object;
  const float values[3] = {1.5f, 2.5f, -3.0f};
  object.set_float_array(values, 3);
  b.add_data_object("OBJ", ORXA_DT_EQDATA, object);
  orxa_name_value_channel nv[3] = {};
  for (int i = 0; i < 3; ++i) {
    std::snprintf(nv[i].name, sizeof nv[i].name, "value%d", i);
    nv[i].value = static_cast<float>(i);
  }
  b.add_name_value("NV", ORXA_DT_NAMVAL, 1, "comment", nv, 3);
  orxa_image_ext_frame_head head{};
  head.width = 4;
  head.height = 2;
  head.bpp = 1;
  head.length = 8;
  const unsigned char pixels[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  b.add_image("CAM", ORXA_DT_IMAGE_EXT, head, pixels);
  float v[16];
  for (int i = 0; i < 16; ++i) v[i] = static_cast<float>(i);
  orxa_spect_input one{0.5f, 0.25f, 16, 1, 0, v, nullptr};
  b.add_spectra("A/CHANNEL/NAME/LONG/ENOUGH/TO/LEAVE/THE/SHORT/STRING/BUFFER", ORXA_DT_SPECTRUM,
                &one, 1, false);
  std::vector<orxa_spect_input> multi(ORXA_MULTI_SPECT_B_CHANNELS,
                                      orxa_spect_input{0, 1, 2, 1, 0, v, nullptr});
  b.add_spectra("MS", ORXA_MULTI_SPECT_B, multi.data(), ORXA_MULTI_SPECT_B_CHANNELS, false);
  orxa_spect_input groups[2] = {{0, 1, 2, 3, 0.5f, v, nullptr}, {1, 1, 2, 3, 0.5f, v + 6, nullptr}};
  b.add_spectra("GS", ORXA_DT_GSPECTRUM, groups, 2, true);
  orxa_upd_value_2010 upd[2] = {};
  std::snprintf(upd[0].name, sizeof upd[0].name, "U1");
  std::snprintf(upd[1].name, sizeof upd[1].name, "U2");
  upd[1].value = 7.5f;
  b.add_update("UPD", ORXA_UPD_BLOCK_2010, upd, 2);
  size_t length = 0;
  const char* event = b.finish(&length);
  EXPECT_NE(event, nullptr);
  return copy_out(event, length);
}

Bytes stamp_event(int format, uint64_t number, uint32_t seconds) {
  OrxaEventBuilder b(format);
  b.begin(number, time_stamp{seconds, 0});
  b.add_stamp("TRIG", ORXA_DT_STAMP);
  size_t length = 0;
  const char* event = b.finish(&length);
  EXPECT_NE(event, nullptr);
  return copy_out(event, length);
}

Bytes slow_block(int format, uint64_t number) {
  OrxaSlowBlockBuilder b(format);
  b.add("T1", number, time_stamp{60, 0}, 1.5f);
  b.add("T2", number, time_stamp{60, 0}, 2.5f);
  size_t length = 0;
  const char* block = b.finish(&length);
  EXPECT_NE(block, nullptr);
  return copy_out(block, length);
}

// The cache lock around one conversion, as the receiver thread holds it.
struct Held {
  explicit Held(EqEvstore& s) : store(s) { store.lock(); }
  ~Held() { store.unlock(); }
  EqEvstore& store;
};

// Everything a record holds, as one comparable text.
template <class R>
std::string snapshot(const R* r) {
  if (r == nullptr) return "none";
  std::string s = std::to_string(r->time.timeup) + ":" + std::to_string(r->time.timelow) + "#" +
                  std::to_string(r->event_number) + "\n";
  for (const eq_evstore_entry* e : r->entry) {
    s += std::string(e->name) + " " + std::to_string(e->data->dtype) + "/" +
         std::to_string(e->data->devtype);
    if (e->data->data != nullptr) e->data->data->serialize(s);
    if (e->data->slblock != nullptr)
      s.append(reinterpret_cast<const char*>(e->data->slblock), e->data->slblock->data_length);
    s += "\n";
  }
  return s;
}

template <class R>
class ConversionSweep : public testing::Test {
 protected:
  using A = Api<R>;
  static constexpr int kFormat = A::kFormat;

  // The records stored before the converted one, and what they hold. A reused
  // record holds one channel only, so that the event still makes new entries.
  void prefill(DAQEqEvstore& s, int records, bool small) {
    for (int i = 0; i < records; ++i) {
      Bytes e = small ? stamp_event(kFormat, 10 + i, 1000 + i)
                      : every_kind_event(kFormat, 10 + i, 1000 + i);
      ASSERT_EQ(A::convert(s, reinterpret_cast<char*>(e.data()), nullptr, 0), 0);
    }
  }
  std::vector<std::string> snapshots(DAQEqEvstore& s) {
    std::vector<std::string> out;
    for (R* r : A::list(s)) out.push_back(snapshot(r));
    return out;
  }
  // The cache lock must be free after every conversion.
  static void expect_unlocked(DAQEqEvstore& s, long n) {
    int rc = pthread_mutex_trylock(&s.mlock);
    EXPECT_EQ(rc, 0) << "cache lock held after allocation " << n << " failed";
    // Held by this very thread: released so that the sweep can go on.
    pthread_mutex_unlock(&s.mlock);
  }

  // Converts the every-kind event into a store of depth `depth` prefilled with
  // `records` records; `how` selects the record a full store gives up.
  void sweep_event(fa::Source source, int depth, int records, int how) {
    Bytes event = every_kind_event(kFormat, 99, 2000);
    DAQEqEvstore reference(depth + 1);
    ASSERT_EQ(A::convert(reference, reinterpret_cast<char*>(event.data()), nullptr, 0), 0);
    const std::string converted = snapshot(A::list(reference).back());

    std::unique_ptr<DAQEqEvstore> store;
    std::vector<std::string> before;
    int rc = 0;
    fa::Sweep s;
    s.what = std::string("event conversion ") +
             (records < depth ? "into a new record" : "into a reused record");
    s.setup = [&] {
      store.reset(new DAQEqEvstore(depth));
      prefill(*store, records, records == depth);
      before = snapshots(*store);
    };
    s.op = [&] {
      Held held(*store);
      rc = A::convert(*store, reinterpret_cast<char*>(event.data()), nullptr, how);
    };
    s.check = [&](long n) {
      expect_unlocked(*store, n);
      EXPECT_TRUE(rc == 0 || rc == -2 || rc == -3) << n << ": " << rc;
      // Whatever did not reach the cache is counted: the event, or the sub-block
      // whose value could not be stored.
      EXPECT_EQ(store->get_dropped_events(), rc == 0 ? 0u : 1u) << n;
      std::vector<std::string> after = snapshots(*store);
      if (records < depth) {
        // A new record is added whole or not at all; the others stay as they were.
        ASSERT_EQ(after.size(), before.size() + (rc == 0 ? 1 : 0)) << n;
        for (size_t i = 0; i < before.size(); ++i) {
          EXPECT_EQ(after[i], before[i]) << n;
        }
        if (rc == 0 && store->get_dropped_sub_blocks() == 0) {
          EXPECT_EQ(after.back(), converted) << n;
        }
      } else {
        // The reused record (the earliest) may be left half written on a failure;
        // every other record stays as it was.
        ASSERT_EQ(after.size(), before.size()) << n;
        for (size_t i = 1; i < before.size(); ++i) {
          EXPECT_EQ(after[i], before[i]) << n;
        }
        if (rc == 0 && store->get_dropped_sub_blocks() == 0) {
          EXPECT_EQ(after[0], converted) << n;
        }
      }
    };
    s.teardown = [&] { store.reset(); };
    EXPECT_GT(fa::run(s, source, &kCacheMalloc), 0);
  }

  void sweep_slow_block(fa::Source source) {
    Bytes block = slow_block(kFormat, 77);
    std::unique_ptr<DAQEqEvstore> store;
    std::vector<std::string> before;
    int rc = 0;
    fa::Sweep s;
    s.what = "slow-data conversion";
    s.setup = [&] {
      store.reset(new DAQEqEvstore(5));
      prefill(*store, 1, false);
      before = snapshots(*store);
    };
    s.op = [&] {
      Held held(*store);
      rc = store->daq_data_to_cache(reinterpret_cast<orxa_daq_slow_data_header*>(block.data()), 0);
    };
    s.check = [&](long n) {
      expect_unlocked(*store, n);
      EXPECT_TRUE(rc == 0 || rc == -3) << n << ": " << rc;
      std::vector<std::string> after = snapshots(*store);
      ASSERT_EQ(after.size(), before.size() + (rc == 0 ? 1 : 0)) << n;
      EXPECT_EQ(after[0], before[0]) << n;
      if (rc == 0) {
        const eq_evstore_entry* e = A::list(*store).back()->entry.at(0);
        EXPECT_EQ(std::memcmp(e->data->slblock, block.data(), e->data->slblock->data_length), 0)
            << n;
      }
    };
    s.teardown = [&] { store.reset(); };
    EXPECT_GT(fa::run(s, source, &kCacheMalloc), 0);
  }
};

TYPED_TEST_SUITE(ConversionSweep, RecordTypes, GenerationName);

TYPED_TEST(ConversionSweep, NewRecordFromEveryKindOfSubBlock) {
  this->sweep_event(fa::Source::operator_new, 5, 1, 0);
  this->sweep_event(fa::Source::hook, 5, 1, 0);
}

TYPED_TEST(ConversionSweep, ReusedRecordOfAFullCache) {
  this->sweep_event(fa::Source::operator_new, 2, 2, EQCACHE_FIND_TIME);
  this->sweep_event(fa::Source::hook, 2, 2, EQCACHE_FIND_TIME);
}

TYPED_TEST(ConversionSweep, SlowDataBlock) {
  this->sweep_slow_block(fa::Source::operator_new);
  this->sweep_slow_block(fa::Source::hook);
}

TEST(ConversionSweep, ChannelListRecord) {
  std::vector<orxa_channel_entry_long> elements(2);
  std::vector<orxa_channel_entry_long*> list{&elements[0], &elements[1]};
  std::unique_ptr<DAQEqEvstore> store;
  int rc = 0;
  fa::Sweep s;
  s.what = "channel-list conversion";
  s.setup = [&] { store.reset(new DAQEqEvstore(5)); };
  s.op = [&] {
    Held held(*store);
    rc = store->daq_data_to_cache(&list, 0);
  };
  s.check = [&](long n) {
    EXPECT_TRUE(rc == 0 || rc == -3) << n << ": " << rc;
    EXPECT_EQ(store->cache.size(), rc == 0 ? 1u : 0u) << n;
  };
  s.teardown = [&] { store.reset(); };
  EXPECT_GT(fa::run(s), 0);
}

}  // namespace
