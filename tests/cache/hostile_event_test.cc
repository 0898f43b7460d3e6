// Events that lie about their sizes: the walk stays inside event_length, keeps
// what it converted before a bad sub-block, and leaks nothing (run under ASan).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "cache_alloc.h"
#include "conversion_fixture.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

template <class R>
class HostileEvent : public ConversionTest<R> {
 protected:
  static constexpr std::size_t kLdata = offsetof(orxa_serv_block_subhead_2010, ldata);

  // Three stamp-only channels A, B, C in event 7.
  EventBytes three_channels() {
    this->begin(7);
    this->builder.add_stamp("A", ORXA_DT_STAMP);
    this->builder.add_stamp("B", ORXA_DT_STAMP);
    this->builder.add_stamp("C", ORXA_DT_STAMP);
    return this->finish();
  }
  void set_nchan(EventBytes& e, int32_t n) {
    e.put<int32_t>(sizeof(typename Api<R>::Header) + Api<R>::kNchan, n);
  }
  std::string convert_quietly(EventBytes& e, int expected_result = 0) {
    CaptureStdout();
    EXPECT_EQ(this->convert(e), expected_result);
    return GetCapturedStdout();
  }
};
TYPED_TEST_SUITE(HostileEvent, RecordTypes, GenerationName);

TYPED_TEST(HostileEvent, BadLdataStopsTheWalkAndKeepsEarlierChannels) {
  for (int32_t ldata : {0, -268, 100, 0x7FFFFFF8}) {
    EventBytes e = this->three_channels();
    e.put<int32_t>(this->sub_offset(e, 1) + this->kLdata, ldata);
    EXPECT_EQ(this->convert_quietly(e),
              "daq_data_to_cache() event 7: sub-block 1 has a bad length " + std::to_string(ldata) +
                  ", rest skipped\n");
    EXPECT_EQ(this->names(this->back()), (std::vector<std::string>{"A"})) << ldata;
  }
}

TYPED_TEST(HostileEvent, NchanBeyondTheEventStopsAtItsEnd) {
  EventBytes e = this->three_channels();
  this->set_nchan(e, 1000000);
  EXPECT_EQ(
      this->convert_quietly(e),
      "daq_data_to_cache() event 7: sub-block 3 runs past the end of the event, rest skipped\n");
  EXPECT_EQ(this->names(this->back()), (std::vector<std::string>{"A", "B", "C"}));

  EventBytes neg = this->three_channels();
  this->set_nchan(neg, -3);
  neg.put(offsetof(typename Api<TypeParam>::Header, event_number),
          static_cast<typename Api<TypeParam>::EvNum>(8));
  EXPECT_EQ(this->convert_quietly(neg, -2),
            "daq_data_to_cache() event 8: channel count -3 is negative, refused\n");
  EXPECT_EQ(this->back()->event_number, 7u);
  EXPECT_EQ(Api<TypeParam>::list(this->store).size(), 1u);
}

TYPED_TEST(HostileEvent, EventLengthBoundsTheWalk) {
  EventBytes e = this->three_channels();
  // Cut the event inside the last sub-block: C no longer lies wholly inside it.
  this->set_event_length(e, static_cast<int64_t>(this->sub_offset(e, 2) + 100));
  std::string out = this->convert_quietly(e);
  EXPECT_EQ(
      out,
      "daq_data_to_cache() event 7: sub-block 2 runs past the end of the event, rest skipped\n");
  EXPECT_EQ(this->names(this->back()), (std::vector<std::string>{"A", "B"}));

  EventBytes at_head = this->three_channels();
  this->set_event_length(at_head, static_cast<int64_t>(this->sub_offset(at_head, 1) + 268));
  this->set_nchan(at_head, 2);
  EXPECT_NE(this->convert_quietly(at_head).find("sub-block 1 has a bad length"), std::string::npos);
}

TYPED_TEST(HostileEvent, OtherEventTypeIsReadNoFurtherThanItsHeader) {
  using Header = typename Api<TypeParam>::Header;
  std::unique_ptr<Header> alone(new Header());  // nothing after it: ASan reports any read past
  alone->event_type = ORXA_EV_BOR;
  alone->event_number = 5;
  CaptureStdout();
  EXPECT_EQ(this->store.daq_data_to_cache(alone.get(), nullptr, 0), 0);
  EXPECT_EQ(GetCapturedStdout(), "Uknonwn Event Type\n");
  EXPECT_EQ(this->back()->event_number, 5u);
}

TYPED_TEST(HostileEvent, EventShorterThanItsHeadersIsRefusedAndTouchesNoRecord) {
  using A = Api<TypeParam>;
  ASSERT_FALSE(this->store.SetDepth(1));
  EventBytes good = this->three_channels();
  ASSERT_EQ(this->convert(good), 0);
  TypeParam* kept = this->back();
  const int64_t headers = static_cast<int64_t>(sizeof(typename A::Header) + A::kServerHead);
  std::vector<int64_t> lengths{0, headers - 1};
  if (sizeof(typename A::Header) == sizeof(orxa_eventheader_2024)) lengths.push_back(-1);
  for (int64_t length : lengths) {
    EventBytes e = this->three_channels();
    e.put(offsetof(typename A::Header, event_number), static_cast<typename A::EvNum>(8));
    this->set_event_length(e, length);
    std::string out = this->convert_quietly(e, -2);
    EXPECT_EQ(out, "daq_data_to_cache() event 8: event_length " + std::to_string(length) +
                       " is shorter than its headers (" + std::to_string(headers) + "), refused\n");
    EXPECT_EQ(this->back(), kept);
    EXPECT_EQ(kept->event_number, 7u);
    EXPECT_EQ(kept->entry.size(), 3u);
  }
}

TYPED_TEST(HostileEvent, UnterminatedChannelNameIsCutTo255) {
  this->begin(7);
  this->builder.add_stamp("X", ORXA_DT_STAMP);
  EventBytes e = this->finish();
  std::memset(e.data() + this->kFirstSub, 'Q', 256);
  ASSERT_EQ(this->convert(e), 0);
  ASSERT_EQ(this->back()->entry.size(), 1u);
  EXPECT_EQ(std::string(this->back()->entry[0]->name), std::string(255, 'Q'));
}

TYPED_TEST(HostileEvent, NameValueCountBeyondTheBlockIsBounded) {
  orxa_name_value_channel v[3] = {{"a", 1}, {"b", 2}, {"c", 3}};
  this->begin(7);
  this->builder.add_name_value("NV", ORXA_DT_NAMVAL, 0, "", v, 3);
  EventBytes e = this->finish();
  e.put<int32_t>(this->kFirstSub + 268 + offsetof(orxa_name_value_block, ndata), 1000000);
  EXPECT_EQ(this->convert_quietly(e),
            "daq_data_to_cache() name/value block of NV holds 3 of its 1000000 values\n");
  EXPECT_EQ(this->object(this->back(), "NV")->ustr_count(), 3);
}

// A peer's channel name reaches a diagnostic only as one line; the record keeps
// the name as sent.
TYPED_TEST(HostileEvent, ControlCharactersOfANameCannotSplitADiagnosticLine) {
  orxa_name_value_channel v[1] = {{"a", 1}};
  this->begin(7);
  this->builder.add_name_value("NV\nforged line\r", ORXA_DT_NAMVAL, 0, "", v, 1);
  EventBytes e = this->finish();
  e.put<int32_t>(this->kFirstSub + 268 + offsetof(orxa_name_value_block, ndata), 9);
  EXPECT_EQ(this->convert_quietly(e),
            "daq_data_to_cache() name/value block of NV?forged line? holds 1 of its 9 values\n");
  EXPECT_NE(this->object(this->back(), "NV\nforged line\r"), nullptr);
}

TYPED_TEST(HostileEvent, BadSubChannelOfMultiSpectrumReleasesTheRemovedChannel) {
  std::vector<float> v(4, 1.0f);
  std::vector<orxa_spect_input> in(ORXA_MULTI_SPECT_B_CHANNELS,
                                   orxa_spect_input{0, 1, 4, 1, 0, v.data(), nullptr});
  this->begin(7);
  this->builder.add_spectra("MS", ORXA_MULTI_SPECT_B, in.data(), 4, false);
  this->builder.add_stamp("NEXT", ORXA_DT_STAMP);
  EventBytes e = this->finish();
  // Descriptor 1's length turns negative: its parameters fail, the channel is taken
  // out, and sub-channels 2 and 3 are still written into its (orphaned) data object.
  std::size_t desc1 =
      this->kFirstSub + 268 + sizeof(orxa_spect_block_2010) + sizeof(orxa_spect_channel_2010);
  e.put<int32_t>(desc1 + offsetof(orxa_spect_channel_2010, length), -5);
  EXPECT_EQ(this->convert_quietly(e),
            "daq_data_to_cache() Failed to get spectrum parameters for MS skipping\n");
  EXPECT_EQ(this->names(this->back()), (std::vector<std::string>{"NEXT"}));
}

TYPED_TEST(HostileEvent, SpectrumValuesPastTheSubBlockAreNotRead) {
  std::vector<float> v(8, 1.0f);
  orxa_spect_input in{0, 1, 8, 1, 0, v.data(), nullptr};
  this->begin(7);
  this->builder.add_spectra("S", ORXA_DT_SPECTRUM, &in, 1, false);
  EventBytes e = this->finish();
  std::size_t desc0 = this->kFirstSub + 268 + sizeof(orxa_spect_block_2010);
  e.put<int32_t>(desc0 + offsetof(orxa_spect_channel_2010, length), 1 << 20);
  std::string out = this->convert_quietly(e);
  EXPECT_TRUE(out == "daq_data_to_cache() Failed to get spectrum parameters for S skipping\n" ||
              out == "daq_data_to_cache() Failed to obtain pointer to data for S !!!skipping\n")
      << out;
  EXPECT_TRUE(this->back()->entry.empty());
}

// Every event that gets no record counts once, whatever refused it; a good event
// and a null header count nothing.
TYPED_TEST(HostileEvent, EveryRefusedEventCountsOnce) {
  const char garbage[12] = {4, 0, 0, 0, 'j', 'u', 'n', 'k'};
  this->begin(7);
  this->builder.add_raw("OBJ", ORXA_DT_EQDATA, garbage, sizeof garbage);
  EventBytes bad_object = this->finish();
  EventBytes short_event = this->three_channels();
  this->set_event_length(short_event, 40);
  EventBytes negative = this->three_channels();
  this->set_nchan(negative, -1);

  this->convert_quietly(bad_object, -2);
  this->convert_quietly(short_event, -2);
  this->convert_quietly(negative, -2);
  EventBytes good = this->three_channels();
  cache_fail_allocation(1);
  this->convert_quietly(good, -3);
  cache_fail_allocation(0);
  EXPECT_EQ(this->dropped_events(), 4u);

  ASSERT_FALSE(this->store.SetDepth(1));
  this->convert_quietly(good, 0);
  this->convert_quietly(good, -4);  // full, and how = 0 selects nothing to reuse
  EXPECT_EQ(this->store.daq_data_to_cache(static_cast<typename Api<TypeParam>::Header*>(nullptr),
                                          nullptr, 0),
            -2);
  EXPECT_EQ(this->dropped_events(), 5u);
  EXPECT_EQ(this->dropped_sub_blocks(), 0u);
  this->store.reset_dropped_counts();
  EXPECT_EQ(this->dropped_events(), 0u);
}

// A sub-block counts once when its channel is lost in whole or in part; the rest
// of a broken walk counts as many sub-blocks as the event could still hold.
TYPED_TEST(HostileEvent, EverySkippedSubBlockCountsOnce) {
  const char garbage[16] = {};
  orxa_upd_value_2010 u[2] = {{"U.OK", 0, {0, 0}, 1.0f}, {"U.LOST", 0, {0, 0}, 2.0f}};
  std::vector<float> v(4, 1.0f);
  std::vector<orxa_spect_input> in(ORXA_MULTI_SPECT_B_CHANNELS,
                                   orxa_spect_input{0, 1, 4, 1, 0, v.data(), nullptr});
  this->begin(9);
  this->builder.add_stamp("UNKNOWN", 99);
  this->builder.add_raw("BADSPEC", ORXA_DT_SPECTRUM, garbage, sizeof garbage);
  this->builder.add_raw("BADNV", ORXA_DT_NAMVAL, garbage, 8);
  this->builder.add_raw("BADIMG", ORXA_DT_IMAGE_EXT, garbage, sizeof garbage);
  this->builder.add_update("UPD", ORXA_UPD_BLOCK_2010, u, 2);
  this->builder.add_spectra("MS", ORXA_MULTI_SPECT_B, in.data(), 4, false);
  this->builder.add_stamp("KEPT", ORXA_DT_STAMP);
  EventBytes e = this->finish();
  std::size_t lost_name =
      this->sub_offset(e, 4) + 268 + sizeof(orxa_upd_block_2010) + sizeof(orxa_upd_value_2010);
  std::memset(e.data() + lost_name, 'x', sizeof u[1].name);  // unterminated: this value is lost
  // One bad sub-channel takes the multi-spectrum out; it counts once, not per sub-channel.
  std::size_t desc1 = this->sub_offset(e, 5) + 268 + sizeof(orxa_spect_block_2010) +
                      sizeof(orxa_spect_channel_2010);
  e.put<int32_t>(desc1 + offsetof(orxa_spect_channel_2010, length), -5);
  this->convert_quietly(e);
  EXPECT_EQ(this->names(this->back()), (std::vector<std::string>{"U.OK", "KEPT"}));
  EXPECT_EQ(this->dropped_sub_blocks(), 6u);

  EventBytes broken = this->three_channels();
  broken.put<int32_t>(this->sub_offset(broken, 1) + this->kLdata, 100);
  this->convert_quietly(broken);  // B and C unread
  EventBytes lying = this->three_channels();
  this->set_nchan(lying, 1000000);
  this->convert_quietly(lying);  // only the tail is left after C: one more
  EXPECT_EQ(this->dropped_sub_blocks(), 9u);
  EXPECT_EQ(this->dropped_events(), 0u);
}
