// Event framing of both generations, and complete data objects carried in events.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "event_walk.h"
#include "orxa_event_builder.h"
#include "velmor.h"

namespace {

template <class T>
class EventFraming : public ::testing::Test {};
using Generations = ::testing::Types<LegacyEvents, Events2024>;
TYPED_TEST_SUITE(EventFraming, Generations);

TYPED_TEST(EventFraming, LengthsCountsAndTailDescribeTheEvent) {
  using Header = typename TypeParam::Header;
  using ServHead = typename TypeParam::ServHead;
  using Tail = typename TypeParam::Tail;
  OrxaEventBuilder b(TypeParam::kFormat);
  b.begin(77, time_stamp{1700000000u, 250000u}, ORXA_EV_NORMAL, "SRV.A");
  ASSERT_FALSE(b.add_stamp("TRIG", ORXA_DT_STAMP));
  const char odd[5] = {1, 2, 3, 4, 5};
  ASSERT_FALSE(b.add_raw("RAW", ORXA_DT_STAMP, odd, sizeof odd, -9));
  size_t len = 0;
  const char* ev = b.finish(&len);
  ASSERT_NE(ev, nullptr);

  Header h;
  std::memcpy(&h, ev, sizeof h);
  ServHead s;
  std::memcpy(&s, ev + sizeof h, sizeof s);
  Tail t;
  std::memcpy(&t, ev + len - sizeof t, sizeof t);
  EXPECT_EQ(h.pattern,
            TypeParam::kFormat == ORXA_FORMAT_2024 ? ORXA_EVENT_PATTERN_2024 : ORXA_EVENT_PATTERN);
  EXPECT_EQ(static_cast<size_t>(h.event_length), len);
  EXPECT_EQ(static_cast<size_t>(t.event_length), len);
  EXPECT_EQ(h.event_number, 77u);
  EXPECT_EQ(h.event_type, static_cast<uint32_t>(ORXA_EV_NORMAL));
  EXPECT_EQ(h.event_time.timeup, 1700000000u);
  EXPECT_EQ(h.event_time.timelow, 250000u);
  EXPECT_EQ(h.num_svr_block, 1);
  EXPECT_EQ(s.nchan, 2);
  EXPECT_EQ(static_cast<size_t>(s.ltotal), len - sizeof h - sizeof t);
  EXPECT_EQ(s.mpulse, 77);
  EXPECT_STREQ(s.server, "SRV.A");

  auto subs = sub_heads(ev, len - sizeof t, b.is_2024());
  ASSERT_EQ(subs.size(), 2u);
  EXPECT_STREQ(subs[0]->chname, "TRIG");
  EXPECT_EQ(subs[0]->ldata % 8, 0);
  EXPECT_EQ(subs[1]->error, -9);
  EXPECT_EQ(std::memcmp(reinterpret_cast<char*>(subs[1]) + ORXA_SUBHEAD_SIZE, odd, sizeof odd), 0);
  EXPECT_EQ(reinterpret_cast<const char*>(subs[1]) + subs[1]->ldata, ev + len - sizeof t);
  // finish() is idempotent: the tail is not appended twice.
  size_t again = 0;
  EXPECT_EQ(b.finish(&again), ev);
  EXPECT_EQ(again, len);
}

TYPED_TEST(EventFraming, EmptyEventIsHeadsAndTail) {
  OrxaEventBuilder b(TypeParam::kFormat);
  b.begin(1, time_stamp{1, 2});
  size_t len = 0;
  ASSERT_NE(b.finish(&len), nullptr);
  EXPECT_EQ(len, sizeof(typename TypeParam::Header) + sizeof(typename TypeParam::ServHead) +
                     sizeof(typename TypeParam::Tail));
}

TYPED_TEST(EventFraming, BadSubBlockFailsTheEventUntilNextBegin) {
  OrxaEventBuilder b(TypeParam::kFormat);
  EXPECT_TRUE(b.add_stamp("EARLY", ORXA_DT_STAMP));  // not begun
  b.begin(5, time_stamp{0, 0});
  orxa_spect_input bad{0, 1, -4, 1, 0, nullptr, nullptr};
  EXPECT_TRUE(b.add_spectra("S", ORXA_DT_SPECTRUM, &bad, 1, false));
  EXPECT_TRUE(b.add_stamp("LATER", ORXA_DT_STAMP));
  EXPECT_EQ(b.finish(nullptr), nullptr);
  EXPECT_TRUE(b.add_update("U", ORXA_UPD_BLOCK_2010, nullptr, 2));
  b.begin(6, time_stamp{0, 0});
  EXPECT_FALSE(b.add_stamp("OK", ORXA_DT_STAMP));
  EXPECT_NE(b.finish(nullptr), nullptr);
  EXPECT_TRUE(b.add_stamp("AFTER", ORXA_DT_STAMP));  // finished events are closed
}

TYPED_TEST(EventFraming, DataObjectRoundTripsThroughBothDecoders) {
  velmor::EqData in;
  const float values[3] = {1.5f, -2.0f, 1e30f};
  in.set_float_array(values, 3);
  in.time(1700000001, 7);
  in.mpnum(123456789012LL);
  OrxaEventBuilder b(TypeParam::kFormat);
  b.begin(9, time_stamp{3, 4});
  ASSERT_FALSE(b.add_data_object("OBJ", orxa_type_word(ORXA_DT_EQDATA, 12), in));
  size_t len = 0;
  const char* ev = b.finish(&len);
  auto subs = sub_heads(ev, len, b.is_2024());
  ASSERT_EQ(subs.size(), 1u);
  ExactBlock block(subs[0]);
  std::string want;
  ASSERT_FALSE(in.serialize(want));
  for (auto decode : {orxa_daq_to_eqdata, orxa_daq_to_eqdata_2024}) {
    velmor::EqData* out = nullptr;
    ASSERT_EQ(decode(0, const_cast<char*>(ev), block.sub(), &out, 1), 0);
    ASSERT_NE(out, nullptr);
    std::string got;
    ASSERT_FALSE(out->serialize(got));
    EXPECT_EQ(got, want);
    EXPECT_EQ(out->get_mpnum(), 123456789012LL);
    delete out;
  }
  velmor::EqData existing;
  velmor::EqData* target = &existing;
  ASSERT_EQ(orxa_daq_to_eqdata(0, nullptr, block.sub(), &target, 0), 0);
  EXPECT_EQ(target, &existing);
  EXPECT_EQ(existing.get_float(2), 1e30f);
}

TEST(EventNumbers, LegacyKeepsLow32BitsAnd2024KeepsAll64) {
  const uint64_t big = 0x123456789ull;
  OrxaEventBuilder legacy(ORXA_FORMAT_LEGACY);
  legacy.begin(big, time_stamp{0, 0});
  orxa_eventheader h;
  std::memcpy(&h, legacy.finish(nullptr), sizeof h);
  EXPECT_EQ(h.event_number, 0x23456789u);
  OrxaEventBuilder modern(ORXA_FORMAT_2024);
  modern.begin(big, time_stamp{0, 0});
  const char* ev = modern.finish(nullptr);
  orxa_eventheader_2024 h2;
  std::memcpy(&h2, ev, sizeof h2);
  orxa_serv_block_head_2024 s2;
  std::memcpy(&s2, ev + sizeof h2, sizeof s2);
  EXPECT_EQ(h2.event_number, big);
  EXPECT_EQ(s2.mpulse, static_cast<int64_t>(big));
  EXPECT_EQ(s2.pattern, ORXA_SERV_BLOCK_PATTERN_2024);
}

TEST(DataFormatSwitch, SelectsTheDefaultGenerationOfBuilders) {
  set_data_format_2024(1);
  EXPECT_EQ(get_data_format_2024(), 1);
  EXPECT_TRUE(OrxaEventBuilder().is_2024());
  EXPECT_TRUE(OrxaSlowBlockBuilder().is_2024());
  EXPECT_FALSE(OrxaEventBuilder(ORXA_FORMAT_LEGACY).is_2024());
  set_data_format_2024(0);
  EXPECT_FALSE(OrxaEventBuilder().is_2024());
  EXPECT_TRUE(OrxaSlowBlockBuilder(ORXA_FORMAT_2024).is_2024());
}

}  // namespace
