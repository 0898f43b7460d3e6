// Event conversion of both generations: every sub-block kind, record reuse in a
// full cache, and the failure paths with their messages and results.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cache_alloc.h"
#include "conversion_fixture.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

template <class R>
using EventConversion = ConversionTest<R>;
TYPED_TEST_SUITE(EventConversion, RecordTypes, GenerationName);

TYPED_TEST(EventConversion, StampOnlyChannelCarriesTimeNumberAndSplitTypeWord) {
  this->begin(7);
  this->builder.add_stamp("TRIG", ORXA_DT_STAMP);
  this->builder.add_stamp("DEV", orxa_type_word(ORXA_DT_STAMP, 12));
  ASSERT_EQ(this->convert_new(), 0);
  TypeParam* r = this->back();
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->time.timeup, 1700000000u);
  EXPECT_EQ(r->time.timelow, 250000u);
  EXPECT_EQ(r->event_number, 7u);
  ASSERT_EQ(this->names(r), (std::vector<std::string>{"TRIG", "DEV"}));
  EXPECT_EQ(r->entry[0]->data->dtype, ORXA_DT_STAMP);
  EXPECT_EQ(r->entry[0]->data->devtype, ORXA_DT_STAMP);
  EXPECT_EQ(r->entry[1]->data->dtype, ORXA_DT_STAMP);
  EXPECT_EQ(r->entry[1]->data->devtype, 12);
  velmor::EqData* d = r->entry[0]->data->data;
  EXPECT_EQ(d->get_time_seconds(), 1700000000);
  EXPECT_EQ(d->get_time_microseconds(), 250000);
  EXPECT_EQ(d->get_mpnum(), 7);
  EXPECT_EQ(r->entry[0]->data->slblock, nullptr);
}

TYPED_TEST(EventConversion, CompleteDataObjectIsCopied) {
  velmor::EqData obj;
  const float values[3] = {1.5f, 2.5f, -3.0f};
  obj.set_float_array(values, 3);
  this->begin(8);
  this->builder.add_data_object("OBJ", ORXA_DT_EQDATA, obj);
  ASSERT_EQ(this->convert_new(), 0);
  velmor::EqData* d = this->object(this->back(), "OBJ");
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->type(), velmor::DATA_A_FLOAT);
  EXPECT_EQ(d->value_count(), 3);
  EXPECT_FLOAT_EQ(d->get_float(2), -3.0f);
}

TYPED_TEST(EventConversion, NameValueBlockStoresAtMost128LabelledValues) {
  std::vector<orxa_name_value_channel> values(200);
  for (int i = 0; i < 200; ++i) {
    std::snprintf(values[i].name, sizeof values[i].name, "v%d", i);
    values[i].value = static_cast<float>(i) / 2;
  }
  values[3].name[0] = '\0';
  std::memset(values[4].name, 'x', sizeof values[4].name);  // unterminated: first 79 characters
  this->begin(9);
  this->builder.add_name_value("NV", ORXA_DT_NAMVAL, 1, "comment", values.data(), 200, 5);
  CaptureStdout();
  ASSERT_EQ(this->convert_new(), 0);
  EXPECT_EQ(GetCapturedStdout(), "");
  velmor::EqData* d = this->object(this->back(), "NV");
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->type(), velmor::DATA_A_USTR);
  EXPECT_EQ(d->ustr_count(), 128);
  const velmor::UstrElement* e0 = d->get_ustr(0);
  ASSERT_NE(e0, nullptr);
  EXPECT_EQ(e0->str, "NV:v0");
  EXPECT_EQ(e0->i1, 9);
  EXPECT_FLOAT_EQ(e0->f2, 5.0f);
  EXPECT_EQ(e0->tm, 1700000000);
  EXPECT_FLOAT_EQ(d->get_ustr(127)->f1, 63.5f);
  EXPECT_EQ(d->get_ustr(3)->str, "NV:UNKNOWN");
  EXPECT_EQ(d->get_ustr(4)->str, "NV:" + std::string(79, 'x'));
  EXPECT_EQ(d->get_ustr(5)->str, "NV:v5");  // a short label after a long one
  EXPECT_EQ(d->get_ustr(128), nullptr);
}

TYPED_TEST(EventConversion, ImageIsStoredWithFrameHeadAndComment) {
  orxa_image_ext_frame_head head{};
  head.width = 4;
  head.height = 2;
  head.aoi_width = 4;
  head.aoi_height = 2;
  head.bpp = 1;
  head.event = 99;
  head.length = 8;
  const unsigned char bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  this->begin(10);
  this->builder.add_image("CAM", ORXA_DT_IMAGE_EXT, head, bytes);
  ASSERT_EQ(this->convert_new(), 0);
  velmor::EqData* d = this->object(this->back(), "CAM");
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->type(), velmor::DATA_IMAGE);
  ASSERT_EQ(d->get_image_length(), 8);
  EXPECT_EQ(std::memcmp(d->get_image_data(), bytes, 8), 0);
  EXPECT_EQ(d->get_image_header()->width, 4);
  EXPECT_EQ(d->get_image_header()->event, 99u);  // stored as given
  EXPECT_STREQ(d->get_image_comm(), "CAM");
}

TYPED_TEST(EventConversion, SpectrumCarriesParametersStampAndValues) {
  std::vector<float> v(1000);
  for (int i = 0; i < 1000; ++i) v[i] = static_cast<float>(i);
  orxa_spect_input in{0.5f, 0.25f, 1000, 1, 0, v.data(), nullptr};
  this->begin(0x12345);
  this->builder.add_spectra("SPECTRUM.CH", ORXA_DT_SPECTRUM, &in, 1, false);
  ASSERT_EQ(this->convert_new(), 0);
  velmor::EqData* d = this->object(this->back(), "SPECTRUM.CH");
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->type(), velmor::DATA_A_TS_SPECTRUM);
  const velmor::SpectrumElement* s = d->get_spectrum(0);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->comment, "SPECTRUM.CH");
  EXPECT_EQ(s->comment_len, 12u);
  EXPECT_EQ(s->ts_seconds, 1700000000u);
  EXPECT_EQ(s->ts_millis, 250);
  EXPECT_EQ(s->ts_status, 0x2345);
  EXPECT_EQ(s->status, 0x12345u);
  EXPECT_FLOAT_EQ(s->s_start, 0.5f);
  EXPECT_FLOAT_EQ(s->s_inc, 0.25f);
  EXPECT_EQ(s->data, v);
}

TYPED_TEST(EventConversion, MultiSubChannelSpectrumWarnsOnceAndStoresFirst128) {
  std::vector<float> v(4, 1.0f);
  std::vector<orxa_spect_input> in(ORXA_MULTI_SPECT_A_CHANNELS,
                                   orxa_spect_input{0, 1, 4, 1, 0, v.data(), nullptr});
  in[5].length = 0;
  in[5].values = nullptr;
  this->begin(11);
  this->builder.add_spectra("MS", ORXA_MULTI_SPECT_A, in.data(), static_cast<int>(in.size()),
                            false);
  CaptureStdout();
  ASSERT_EQ(this->convert_new(), 0);
  EXPECT_EQ(GetCapturedStdout(),
            "daq_data_to_cache() WARNING not all subchannels will be put !!!\n");
  velmor::EqData* d = this->object(this->back(), "MS");
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->spectrum_count(), 128);
  EXPECT_EQ(d->get_spectrum(0)->comment, "MS_IN000");
  EXPECT_EQ(d->get_spectrum(127)->comment, "MS_IN127");
  EXPECT_EQ(d->get_spectrum(0)->comment_len, 9u);
  EXPECT_EQ(d->get_spectrum(0)->data.size(), 4u);
  EXPECT_TRUE(d->get_spectrum(5)->data.empty());
  EXPECT_EQ(d->get_spectrum(128), nullptr);
}

TYPED_TEST(EventConversion, MultiSpectrumCommentIsCutToFitItsBuffer) {
  std::string longname(255, 'N');
  std::vector<float> v(2, 1.0f);
  std::vector<orxa_spect_input> in(ORXA_MULTI_SPECT_B_CHANNELS,
                                   orxa_spect_input{0, 1, 2, 1, 0, v.data(), nullptr});
  this->begin(12);
  this->builder.add_spectra(longname.c_str(), ORXA_MULTI_SPECT_B, in.data(), 4, false);
  ASSERT_EQ(this->convert_new(), 0);
  velmor::EqData* d = this->back()->entry.at(0)->data->data;
  ASSERT_EQ(d->spectrum_count(), 4);
  EXPECT_EQ(d->get_spectrum(0)->comment, longname);
  EXPECT_EQ(d->get_spectrum(0)->comment_len, 256u);

  this->begin(13);
  this->builder.add_spectra("XS", ORXA_MULTI_SPECT_B, in.data(), 4, false);
  ASSERT_EQ(this->convert_new(), 0);
  d = this->object(this->back(), "XS");
  EXPECT_EQ(d->get_spectrum(2)->comment, "XS_CHARGE");
}

TYPED_TEST(EventConversion, GroupSpectrumCopiesStatisticsBitForBit) {
  std::vector<float> v(10);
  for (int i = 0; i < 10; ++i) v[i] = static_cast<float>(i * i);
  orxa_spect_statistics_2010 st[3];
  for (int j = 0; j < 3; ++j) {
    st[j].mask = 0xA0u + j;
    for (int k = 0; k < 32; ++k) st[j].val[k] = static_cast<float>(j * 100 + k);
  }
  std::vector<orxa_spect_input> in(3);
  for (int j = 0; j < 3; ++j)
    in[j] = orxa_spect_input{1.0f * j, 0.5f, 5, 2, 7.5f, v.data(), &st[j]};
  this->begin(0x1FFFF);
  this->builder.add_spectra("GS", ORXA_DT_GSPECTRUM, in.data(), 3, true);
  ASSERT_EQ(this->convert_new(), 0);
  velmor::EqData* d = this->object(this->back(), "GS");
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->type(), velmor::DATA_A_TS_GSPECTRUM);
  EXPECT_EQ(d->spectrum_count(), 3);
  const velmor::SpectrumElement* g = d->get_spectrum(2);
  ASSERT_NE(g, nullptr);
  EXPECT_TRUE(g->group);
  EXPECT_EQ(g->id, 0x1FFFFu);
  EXPECT_EQ(g->ts_status, 0xFFFF);
  EXPECT_EQ(g->groups, 2);
  EXPECT_EQ(g->group_size, 5);
  EXPECT_FLOAT_EQ(g->group_inc, 7.5f);
  EXPECT_FLOAT_EQ(g->s_start, 2.0f);
  EXPECT_EQ(g->data, v);
  EXPECT_EQ(g->stat_mask, 0xA2u);
  EXPECT_FLOAT_EQ(g->statistics[23], 223.0f);
  float timing0;
  std::memcpy(&timing0, &g->timing_param[0], sizeof timing0);
  EXPECT_FLOAT_EQ(timing0, 224.0f);
}

TYPED_TEST(EventConversion, SpectrumCommentsKeepTheFirst79CharactersOfTheName) {
  std::vector<float> v(4, 3.0f);
  orxa_spect_input in{0, 1, 4, 1, 0, v.data(), nullptr};
  orxa_spect_input gin{0, 1, 2, 2, 0, v.data(), nullptr};
  const std::string exact(79, 'E'), longer = std::string(79, 'L') + "TAIL";
  this->begin(14);
  this->builder.add_spectra(exact.c_str(), ORXA_DT_SPECTRUM, &in, 1, false);
  this->builder.add_spectra(longer.c_str(), ORXA_DT_SPECTRUM, &in, 1, false);
  this->builder.add_spectra(("G" + longer).c_str(), ORXA_DT_GSPECTRUM, &gin, 1, true);
  ASSERT_EQ(this->convert_new(), 0);
  const velmor::SpectrumElement* s = this->object(this->back(), exact.c_str())->get_spectrum(0);
  EXPECT_EQ(s->comment, exact);
  EXPECT_EQ(s->comment_len, 80u);
  s = this->object(this->back(), longer.c_str())->get_spectrum(0);
  EXPECT_EQ(s->comment, longer.substr(0, 79));
  EXPECT_EQ(s->comment_len, 80u);
  s = this->object(this->back(), ("G" + longer).c_str())->get_spectrum(0);
  EXPECT_EQ(s->comment, ("G" + longer).substr(0, 79));
  EXPECT_EQ(s->comment_len, 80u);
  EXPECT_EQ(s->data, v);
}

TYPED_TEST(EventConversion, ReusedRecordTakesShorterAndLongerSpectraExactly) {
  ASSERT_FALSE(this->store.SetDepth(1));
  const int lengths[] = {1000, 3, 0, 2500};
  for (int n = 0; n < 4; ++n) {
    std::vector<float> v(lengths[n]);
    for (int i = 0; i < lengths[n]; ++i) v[i] = static_cast<float>(n * 10000 + i);
    orxa_spect_input in{0.5f * n, 1, lengths[n], 1, 0, v.empty() ? nullptr : v.data(), nullptr};
    std::vector<orxa_spect_input> multi(ORXA_MULTI_SPECT_B_CHANNELS, in);
    this->begin(100 + n, time_stamp{static_cast<uint32_t>(100 + n), 0});
    this->builder.add_spectra("S", ORXA_DT_SPECTRUM, &in, 1, false);
    // The same channel switches between one and several sub-channels.
    if (n % 2 == 0)
      this->builder.add_spectra("M", ORXA_MULTI_SPECT_B, multi.data(), 4, false);
    else
      this->builder.add_spectra("M", ORXA_DT_SPECTRUM, &in, 1, false);
    ASSERT_EQ(this->convert_new(EQCACHE_FIND_TIME), 0);
    SCOPED_TRACE(n);
    const velmor::SpectrumElement* s = this->object(this->back(), "S")->get_spectrum(0);
    EXPECT_EQ(s->data, v);
    EXPECT_FLOAT_EQ(s->s_start, 0.5f * n);
    EXPECT_EQ(s->status, static_cast<uint32_t>(100 + n));
    velmor::EqData* m = this->object(this->back(), "M");
    EXPECT_EQ(m->get_spectrum(0)->comment, n % 2 == 0 ? "M_X" : "M");
    EXPECT_EQ(m->get_spectrum(0)->data, v);
    // The entry is reused without a reset: the first event's other sub-channels stay.
    EXPECT_EQ(m->spectrum_count(), 4);
  }
}

TYPED_TEST(EventConversion, UpdateBlockMakesOneEntryPerValueAndNoneForItself) {
  orxa_upd_value_2010 u[2] = {};
  std::snprintf(u[0].name, sizeof u[0].name, "%s", "MAGNET.I");
  u[0].status = 3;
  u[0].time = time_stamp{1600000000, 5};
  u[0].value = 12.5f;
  std::snprintf(u[1].name, sizeof u[1].name, "%s", "MAGNET.U");
  u[1].value = -1.0f;
  this->begin(14);
  this->builder.add_update("UPD", ORXA_UPD_BLOCK_2010, u, 2);
  this->builder.add_update("UPD2", orxa_type_word(ORXA_UPD_BLOCK_2010, 7), u,
                           1);  // same name again
  ASSERT_EQ(this->convert_new(), 0);
  TypeParam* r = this->back();
  EXPECT_EQ(this->names(r), (std::vector<std::string>{"MAGNET.I", "MAGNET.U"}));
  EXPECT_EQ(r->entry[0]->data->dtype, 33);
  EXPECT_EQ(r->entry[0]->data->devtype, 7);  // the later block wrote it last
  const velmor::UstrElement* e = r->entry[0]->data->data->get_ustr(0);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->i1, 14);
  EXPECT_FLOAT_EQ(e->f1, 12.5f);
  EXPECT_FLOAT_EQ(e->f2, 3.0f);
  EXPECT_EQ(e->tm, 1600000000);
  EXPECT_EQ(e->str, "MAGNET.I");
}

TYPED_TEST(EventConversion, OtherEventTypesAndEmptyEventsMakeRecordsWithoutEntries) {
  this->begin(15, time_stamp{5, 6}, ORXA_EV_NORMAL);
  this->builder.add_stamp("TRIG", ORXA_DT_STAMP);
  CaptureStdout();
  ASSERT_EQ(this->convert_new(), 0);
  EXPECT_EQ(GetCapturedStdout(), "Uknonwn Event Type\n");
  ASSERT_NE(this->back(), nullptr);
  EXPECT_EQ(this->back()->event_number, 15u);
  EXPECT_TRUE(this->back()->entry.empty());

  this->begin(16);
  ASSERT_EQ(this->convert_new(), 0);
  EXPECT_EQ(this->back()->event_number, 16u);
  EXPECT_TRUE(this->back()->entry.empty());
}

TYPED_TEST(EventConversion, RepeatedChannelNameGivesOneEntryOverwritten) {
  std::vector<float> a(3, 1.0f), b(5, 2.0f);
  orxa_spect_input ia{0, 1, 3, 1, 0, a.data(), nullptr};
  orxa_spect_input ib{0, 1, 5, 1, 0, b.data(), nullptr};
  this->begin(17);
  this->builder.add_spectra("S", ORXA_DT_SPECTRUM, &ia, 1, false);
  this->builder.add_spectra("S", ORXA_DT_SPECTRUM, &ib, 1, false);
  ASSERT_EQ(this->convert_new(), 0);
  ASSERT_EQ(this->back()->entry.size(), 1u);
  EXPECT_EQ(this->object(this->back(), "S")->get_spectrum(0)->data, b);
}

TYPED_TEST(EventConversion, FullCacheReusesEarliestRecordKeepingAbsentChannels) {
  using A = Api<TypeParam>;
  ASSERT_FALSE(this->store.SetDepth(2));
  velmor::EqData one, two;
  one.set_int(1);
  two.set_int(2);
  this->begin(1, time_stamp{20, 0});
  this->builder.add_data_object("A", ORXA_DT_EQDATA, one);
  ASSERT_EQ(this->convert_new(), 0);
  this->begin(2, time_stamp{10, 0});
  this->builder.add_data_object("A", ORXA_DT_EQDATA, one);
  this->builder.add_data_object("B", ORXA_DT_EQDATA, one);
  ASSERT_EQ(this->convert_new(), 0);
  TypeParam* earliest = A::list(this->store)[1];
  A::seen(this->store, true, earliest);

  this->begin(3, time_stamp{30, 0});
  this->builder.add_data_object("A", ORXA_DT_EQDATA, two);
  ASSERT_EQ(this->convert_new(EQCACHE_FIND_TIME), 0);
  ASSERT_EQ(A::list(this->store).size(), 2u);
  EXPECT_EQ(A::list(this->store)[1], earliest);  // reused in place
  EXPECT_EQ(earliest->event_number, 3u);
  EXPECT_EQ(earliest->time.timeup, 30u);
  EXPECT_EQ(earliest->flags, EQCACHE_FIND_NOTSEEN);  // flags stay
  EXPECT_EQ(this->object(earliest, "A")->get_int(), 2);
  EXPECT_EQ(this->object(earliest, "B")->get_int(), 1);  // absent from the new event: old data
  EXPECT_EQ(A::list(this->store)[0]->event_number, 1u);
}

// A reused record is searched from the entry after the previous channel's: a
// guess that shares a prefix, or channels in another order, must not mislead it.
TYPED_TEST(EventConversion, ReusedRecordFindsItsChannelsInAnyOrder) {
  using A = Api<TypeParam>;
  ASSERT_FALSE(this->store.SetDepth(1));
  velmor::EqData v[4];
  for (int i = 0; i < 4; ++i) v[i].set_int(i);
  this->begin(1, time_stamp{10, 0});
  this->builder.add_data_object("A", ORXA_DT_EQDATA, v[0]);
  this->builder.add_data_object("AB", ORXA_DT_EQDATA, v[0]);
  ASSERT_EQ(this->convert_new(), 0);
  this->begin(2, time_stamp{20, 0});
  this->builder.add_data_object("AB", ORXA_DT_EQDATA, v[1]);
  this->builder.add_data_object("A", ORXA_DT_EQDATA, v[2]);
  this->builder.add_data_object("A", ORXA_DT_EQDATA, v[3]);
  ASSERT_EQ(this->convert_new(EQCACHE_FIND_TIME), 0);
  TypeParam* r = A::list(this->store)[0];
  EXPECT_EQ(this->names(r), (std::vector<std::string>{"A", "AB"}));
  EXPECT_EQ(this->object(r, "A")->get_int(), 3);
  EXPECT_EQ(this->object(r, "AB")->get_int(), 1);

  // Names that differ only past their first eight bytes: a longer, then a shorter guess.
  const char *x8 = "ABCDEFGH", *x9 = "ABCDEFGHI";
  this->begin(3, time_stamp{30, 0});
  this->builder.add_data_object(x8, ORXA_DT_EQDATA, v[0]);
  this->builder.add_data_object(x9, ORXA_DT_EQDATA, v[0]);
  ASSERT_EQ(this->convert_new(EQCACHE_FIND_TIME), 0);
  this->begin(4, time_stamp{40, 0});
  this->builder.add_data_object(x8, ORXA_DT_EQDATA, v[1]);
  this->builder.add_data_object(x8, ORXA_DT_EQDATA, v[3]);
  this->builder.add_data_object("AB", ORXA_DT_EQDATA, v[0]);
  this->builder.add_data_object(x9, ORXA_DT_EQDATA, v[2]);
  ASSERT_EQ(this->convert_new(EQCACHE_FIND_TIME), 0);
  r = A::list(this->store)[0];
  EXPECT_EQ(this->names(r), (std::vector<std::string>{"A", "AB", x8, x9}));
  EXPECT_EQ(this->object(r, x8)->get_int(), 3);
  EXPECT_EQ(this->object(r, x9)->get_int(), 2);
}

TYPED_TEST(EventConversion, FullCacheWithoutSelectorRefusesTheEvent) {
  using A = Api<TypeParam>;
  ASSERT_FALSE(this->store.SetDepth(1));
  this->begin(1);
  this->builder.add_stamp("A", ORXA_DT_STAMP);
  ASSERT_EQ(this->convert_new(), 0);
  this->begin(2);
  this->builder.add_stamp("B", ORXA_DT_STAMP);
  CaptureStdout();
  EXPECT_EQ(this->convert_new(0), -4);
  EXPECT_EQ(GetCapturedStdout(), A::kFullMessage);
  EXPECT_EQ(this->back()->event_number, 1u);
  EXPECT_EQ(this->names(this->back()), (std::vector<std::string>{"A"}));
}

TYPED_TEST(EventConversion, FailingImageMidEventIsReportedAndTheRestConverted) {
  const char garbage[40] = "not a frame head";
  this->begin(20);
  this->builder.add_stamp("BEFORE", ORXA_DT_STAMP);
  this->builder.add_raw("BADIMG", ORXA_DT_IMAGE_EXT, garbage, sizeof garbage);
  this->builder.add_stamp("AFTER", ORXA_DT_STAMP);
  CaptureStdout();
  ASSERT_EQ(this->convert_new(), 0);
  EXPECT_EQ(
      GetCapturedStdout(),
      "daq_data_to_cache() Failed to get image_ext parameters for BADIMG skipping error: 1\n");
  EXPECT_EQ(this->names(this->back()), (std::vector<std::string>{"BEFORE", "AFTER"}));
}

TYPED_TEST(EventConversion, UnknownTypesAndBadSpectraAreTakenOutOfTheRecord) {
  const char garbage[16] = {};
  this->begin(21);
  this->builder.add_stamp("UNKNOWN", 99);
  this->builder.add_raw("BADSPEC", ORXA_DT_SPECTRUM, garbage, sizeof garbage);
  this->builder.add_raw("BADGROUP", ORXA_DT_GSPECTRUM, garbage, sizeof garbage);
  this->builder.add_raw("BADNV", ORXA_DT_NAMVAL, garbage, 8);
  this->builder.add_stamp("KEPT", ORXA_DT_STAMP);
  CaptureStdout();
  ASSERT_EQ(this->convert_new(), 0);
  EXPECT_EQ(GetCapturedStdout(),
            "daq_data_to_cache() Failed to get spectrum parameters for BADSPEC skipping\n"
            "daq_data_to_cache() name/value block of BADNV does not fit its sub-block, skipping\n");
  EXPECT_EQ(this->names(this->back()), (std::vector<std::string>{"BADGROUP", "KEPT"}));
  EXPECT_EQ(this->object(this->back(), "BADGROUP")->get_length(), 0);  // no sub-channels
}

TYPED_TEST(EventConversion, FailingDataObjectAbortsTheEventAndDropsTheNewRecord) {
  using A = Api<TypeParam>;
  const char garbage[12] = {4, 0, 0, 0, 'j', 'u', 'n', 'k'};
  this->begin(22);
  this->builder.add_stamp("FIRST", ORXA_DT_STAMP);
  this->builder.add_raw("OBJ", ORXA_DT_EQDATA, garbage, sizeof garbage);
  this->builder.add_stamp("NEVER", ORXA_DT_STAMP);
  CaptureStdout();
  EXPECT_EQ(this->convert_new(), -2);
  char expected[80];
  std::snprintf(expected, sizeof expected, A::kDecodeFailure, ORXA_EQDATA_BAD_OBJECT);
  EXPECT_EQ(GetCapturedStdout(), expected);
  EXPECT_TRUE(A::empty(this->store));
}

TYPED_TEST(EventConversion, AllocationFailuresReturnMinus3WithoutLeaks) {
  using A = Api<TypeParam>;
  // Counted allocations of a new record's event: record, then entry, dtype, data object.
  for (int nth = 1; nth <= 4; ++nth) {
    this->begin(23);
    this->builder.add_stamp("A", ORXA_DT_STAMP);
    EventBytes e = this->finish();
    CaptureStdout();
    cache_fail_allocation(nth);
    EXPECT_EQ(this->convert(e), -3) << nth;
    cache_fail_allocation(0);
    EXPECT_EQ(GetCapturedStdout(), nth == 1
                                       ? "daq_data_to_cache() Failed to allocate a record\n"
                                       : "daq_data_to_cache() Failed to allocate EqData_dtype\n");
    EXPECT_TRUE(A::empty(this->store));
  }
  orxa_upd_value_2010 u{};
  std::snprintf(u.name, sizeof u.name, "%s", "V");
  this->begin(24);
  this->builder.add_update("UPD", ORXA_UPD_BLOCK_2010, &u, 1);
  EventBytes e = this->finish();
  CaptureStdout();
  cache_fail_allocation(3);
  EXPECT_EQ(this->convert(e), -3);
  cache_fail_allocation(0);
  EXPECT_EQ(GetCapturedStdout(), "daq_data_to_cache() Failed to allocate EqData_dtype for UPD\n");
  EXPECT_TRUE(A::empty(this->store));
}

TYPED_TEST(EventConversion, DataMayLieApartFromTheHeader) {
  this->begin(25);
  this->builder.add_stamp("APART", ORXA_DT_STAMP);
  EventBytes e = this->finish();
  typename Api<TypeParam>::Header head;
  std::memcpy(&head, e.data(), sizeof head);
  std::vector<uint64_t> body((e.length - sizeof head) / 8 + 1);
  std::memcpy(body.data(), e.data() + sizeof head, e.length - sizeof head);
  ASSERT_EQ(this->store.daq_data_to_cache(&head, reinterpret_cast<char*>(body.data()), 0), 0);
  EXPECT_EQ(this->names(this->back()), (std::vector<std::string>{"APART"}));
  EXPECT_EQ(this->store.daq_data_to_cache(static_cast<typename Api<TypeParam>::Header*>(nullptr),
                                          nullptr, 0),
            -2);
}

// A producer need not pad: an odd ldata puts every later sub-head and value at an
// odd address, which the walk follows and reads with unaligned-safe copies (the
// sanitizer build turns any misaligned typed read into a failure).
TYPED_TEST(EventConversion, UnpaddedSubBlockKeepsTheRestOfTheEventAtAnyAlignment) {
  const std::vector<float> v{1.5f, -2.5f, 3.25f};
  orxa_spect_statistics_2010 st{};
  st.mask = 0x5;
  st.val[31] = 7.0f;
  orxa_spect_input spect{0.5f, 0.25f, 3, 1, 0, v.data(), nullptr};
  orxa_spect_input group{1.0f, 2.0f, 1, 3, 0.5f, v.data(), &st};
  orxa_name_value_channel nv{"n", 4.5f};
  orxa_upd_value_2010 u{};
  std::snprintf(u.name, sizeof u.name, "%s", "UPD.V");
  u.time = time_stamp{1600000000, 5};
  u.value = 6.5f;
  velmor::EqData obj;
  obj.set_float_array(v.data(), 3);
  const char odd[5] = {1, 2, 3, 4, 5};
  this->begin(30);
  this->builder.add_raw("ODD", ORXA_DT_STAMP, odd, sizeof odd);  // 273 bytes, padded to 280
  this->builder.add_spectra("S", ORXA_DT_SPECTRUM, &spect, 1, false);
  this->builder.add_spectra("G", ORXA_DT_GSPECTRUM, &group, 1, true);
  this->builder.add_name_value("NV", ORXA_DT_NAMVAL, 0, "", &nv, 1);
  this->builder.add_update("U", ORXA_UPD_BLOCK_2010, &u, 1);
  this->builder.add_data_object("OBJ", ORXA_DT_EQDATA, obj);
  EventBytes e = this->finish();
  this->unpad(e, 0, 7);
  ASSERT_EQ(e.get<int32_t>(this->kFirstSub + offsetof(orxa_serv_block_subhead_2010, ldata)), 273);

  CaptureStdout();
  ASSERT_EQ(this->convert(e), 0);
  EXPECT_EQ(GetCapturedStdout(), "");
  TypeParam* r = this->back();
  EXPECT_EQ(this->names(r), (std::vector<std::string>{"ODD", "S", "G", "NV", "UPD.V", "OBJ"}));
  EXPECT_EQ(this->object(r, "ODD")->get_mpnum(), 30);
  EXPECT_EQ(this->object(r, "S")->get_spectrum(0)->data, v);
  const velmor::SpectrumElement* g = this->object(r, "G")->get_spectrum(0);
  ASSERT_NE(g, nullptr);
  EXPECT_EQ(g->data, v);
  EXPECT_EQ(g->stat_mask, 0x5u);
  float last_stat = 0;
  std::memcpy(&last_stat, &g->timing_param[7], sizeof last_stat);
  EXPECT_FLOAT_EQ(last_stat, 7.0f);
  EXPECT_FLOAT_EQ(this->object(r, "NV")->get_ustr(0)->f1, 4.5f);
  EXPECT_FLOAT_EQ(this->object(r, "UPD.V")->get_ustr(0)->f1, 6.5f);
  EXPECT_FLOAT_EQ(this->object(r, "OBJ")->get_float(2), 3.25f);
  EXPECT_EQ(this->dropped_sub_blocks(), 0u);
}

TEST(EventConversion2024, FullEventNumberReachesRecordAndDataObject) {
  DAQEqEvstore store;
  {
    OrxaEventBuilder b(ORXA_FORMAT_2024);
    b.begin(0x123456789ull, time_stamp{1, 2});
    b.add_stamp("BIG", ORXA_DT_STAMP);
    size_t n = 0;
    const char* p = b.finish(&n);
    std::vector<uint64_t> buf(n / 8 + 1);
    std::memcpy(buf.data(), p, n);
    ASSERT_EQ(
        store.daq_data_to_cache(reinterpret_cast<orxa_eventheader_2024*>(buf.data()), nullptr, 0),
        0);
    ASSERT_EQ(store.cache_2024.size(), 1u);
    EXPECT_EQ(store.cache_2024[0]->event_number, 0x123456789ull);
    EXPECT_EQ(store.cache_2024[0]->entry[0]->data->data->get_mpnum(), 0x123456789l);
    EXPECT_TRUE(store.cache.empty());
  }
}
