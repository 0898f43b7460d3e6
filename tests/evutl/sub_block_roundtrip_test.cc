// Every sub-block kind written by the encoder reads back exactly through the
// decoders; each decoded sub-block sits in a block of exactly ldata bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "event_walk.h"
#include "orxa_event_builder.h"

namespace {

// Builds a one-sub-block event with `add` and returns that sub-block alone.
template <class Add>
ExactBlock one_block(Add add, int format = ORXA_FORMAT_LEGACY) {
  OrxaEventBuilder b(format);
  b.begin(1, time_stamp{10, 20});
  EXPECT_FALSE(add(b));
  size_t len = 0;
  const char* ev = b.finish(&len);
  auto subs = sub_heads(ev, len, b.is_2024());
  EXPECT_EQ(subs.size(), 1u);
  return ExactBlock(subs.at(0));
}

std::vector<float> ramp(size_t n, float base) {
  std::vector<float> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = base + static_cast<float>(i);
  return v;
}

TEST(DataTypeTable, KindsCountsAndNames) {
  EXPECT_EQ(get_data_structure_type(ORXA_DT_EQDATA), ORXA_DATA_EQDATA);
  EXPECT_EQ(get_data_structure_type(ORXA_DT_NAMVAL), ORXA_DATA_NAMVAL);
  EXPECT_EQ(get_data_structure_type(ORXA_DT_IMAGE_EXT), ORXA_DATA_IMAGE_EXT);
  EXPECT_EQ(get_data_structure_type(ORXA_DT_SPECTRUM), ORXA_DATA_SPECTRUM);
  EXPECT_EQ(get_data_structure_type(ORXA_MULTI_SPECT_A), ORXA_DATA_SPECTRUM);
  EXPECT_EQ(get_data_structure_type(ORXA_MULTI_SPECT_B), ORXA_DATA_SPECTRUM);
  EXPECT_EQ(get_data_structure_type(ORXA_DT_GSPECTRUM), ORXA_DATA_GSPECTRUM);
  EXPECT_EQ(get_data_structure_type(ORXA_UPD_BLOCK_2010), ORXA_DATA_SLOW);
  EXPECT_EQ(get_data_structure_type(ORXA_DT_STAMP), ORXA_DATA_STAMP);
  for (int unknown : {0, 7, 24, 27, 1013, -1, 0x7FFFFFFF}) {
    EXPECT_LT(get_data_structure_type(unknown), 0) << unknown;
    EXPECT_LT(get_channel_number(unknown, nullptr), 0) << unknown;
    EXPECT_EQ(get_chan_name(unknown, 0), nullptr) << unknown;
  }
  // A device type in the high bits does not change the data type.
  EXPECT_EQ(get_data_structure_type(orxa_type_word(ORXA_MULTI_SPECT_A, 300)), ORXA_DATA_SPECTRUM);
  EXPECT_EQ(orxa_device_type_of(orxa_type_word(ORXA_DT_NAMVAL, 300)), 300);
  EXPECT_EQ(orxa_device_type_of(ORXA_DT_NAMVAL), ORXA_DT_NAMVAL);

  EXPECT_EQ(get_channel_number(ORXA_MULTI_SPECT_A, nullptr), 130);
  EXPECT_EQ(get_channel_number(ORXA_MULTI_SPECT_B, nullptr), 4);
  EXPECT_EQ(get_channel_number(ORXA_DT_SPECTRUM, nullptr), 1);
  EXPECT_EQ(get_channel_number(ORXA_DT_GSPECTRUM, nullptr), -1);
  EXPECT_STREQ(get_chan_name(ORXA_MULTI_SPECT_A, 0), "IN000");
  EXPECT_STREQ(get_chan_name(ORXA_MULTI_SPECT_A, 129), "IN129");
  EXPECT_EQ(get_chan_name(ORXA_MULTI_SPECT_A, 130), nullptr);
  EXPECT_STREQ(get_chan_name(ORXA_MULTI_SPECT_B, 2), "CHARGE");
  EXPECT_EQ(get_chan_name(ORXA_MULTI_SPECT_B, -1), nullptr);
  EXPECT_STREQ(get_chan_name(ORXA_DT_SPECTRUM, 0), "");
}

TEST(NameValueBlock, TwoHundredValuesReadBackInPlace) {
  std::vector<orxa_name_value_channel> values(200);
  for (int i = 0; i < 200; ++i) {
    std::snprintf(values[i].name, sizeof values[i].name, "V%d", i);
    values[i].value = static_cast<float>(i) * 0.5f;
  }
  std::memset(values[7].name, 'x', sizeof values[7].name);  // unterminated source name
  values[9].name[0] = '\0';
  ExactBlock block = one_block([&](OrxaEventBuilder& b) {
    return b.add_name_value("NV", ORXA_DT_NAMVAL, 42, "comment", values.data(), 200, -3);
  });
  EXPECT_EQ(block.sub()->error, -3);
  int usable = -1;
  orxa_name_value_block* nv = get_name_value_block_2010(block.sub(), &usable);
  ASSERT_NE(nv, nullptr);
  EXPECT_EQ(usable, 200);
  EXPECT_EQ(nv->id, 42);
  EXPECT_STREQ(nv->comment, "comment");
  EXPECT_EQ(nv->ndata, 200);
  const orxa_name_value_channel* rec = nv->data;
  EXPECT_STREQ(rec[199].name, "V199");
  EXPECT_EQ(rec[199].value, 99.5f);
  EXPECT_EQ(std::strlen(rec[7].name), 79u);
  EXPECT_EQ(rec[9].name[0], '\0');
  EXPECT_EQ(get_pointer_to_data_2010(block.sub(), 199), static_cast<void*>(&nv->data[199]));
  EXPECT_EQ(get_pointer_to_data_2010(block.sub(), 200), nullptr);
}

TEST(ImageBlock, FrameHeadAndBytesRoundTripForSeveralPixelSizes) {
  for (int bpp : {1, 2, 3, 4, 8}) {
    orxa_image_ext_frame_head head{};
    head.width = 7;
    head.height = 5;
    head.aoi_width = 7;
    head.aoi_height = 5;
    head.bpp = bpp;
    head.ebitpp = bpp * 8 - 2;
    head.frame = 11;
    head.event = 12;
    head.scale_x = 0.25f;
    head.length = head.width * head.height * bpp;
    std::vector<unsigned char> pixels(static_cast<size_t>(head.length));
    for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<unsigned char>(i * 7 + bpp);
    ExactBlock block = one_block(
        [&](OrxaEventBuilder& b) {
          return b.add_image("CAM", orxa_type_word(ORXA_DT_IMAGE_EXT, 5), head, pixels.data());
        },
        ORXA_FORMAT_2024);
    orxa_image_ext_frame_head got{};
    orxa_image_ext_frame_head* in_event = nullptr;
    unsigned char* bytes = nullptr;
    ASSERT_FALSE(get_image_ext_params(block.sub(), &got, &in_event, &bytes)) << bpp;
    EXPECT_EQ(std::memcmp(&got, &head, sizeof head), 0);
    EXPECT_EQ(reinterpret_cast<char*>(in_event), reinterpret_cast<char*>(block.sub()) + 268);
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(std::memcmp(bytes, pixels.data(), pixels.size()), 0);
    EXPECT_EQ(get_pointer_to_data_2010(block.sub(), 0), static_cast<void*>(bytes));
  }
}

TEST(UpdateBlock, ValuesRoundTripAndIndicesAreBounded) {
  orxa_upd_value_2010 in[3] = {};
  for (int i = 0; i < 3; ++i) {
    std::snprintf(in[i].name, sizeof in[i].name, "UPD.%d", i);
    in[i].status = i - 1;
    in[i].time = time_stamp{100u + i, 200u + i};
    in[i].value = 3.25f * i;
  }
  ExactBlock block =
      one_block([&](OrxaEventBuilder& b) { return b.add_update("", ORXA_UPD_BLOCK_2010, in, 3); });
  ASSERT_EQ(get_number_of_upd_channels_2010(block.sub()), 3);
  for (int i = 0; i < 3; ++i) {
    char* name = nullptr;
    int status = 0;
    time_stamp t{};
    float value = 0;
    ASSERT_FALSE(get_update_params(block.sub(), i, &name, &status, &t, &value));
    EXPECT_STREQ(name, in[i].name);
    EXPECT_EQ(status, i - 1);
    EXPECT_EQ(t.timeup, 100u + i);
    EXPECT_EQ(t.timelow, 200u + i);
    EXPECT_EQ(value, 3.25f * i);
  }
  char* name = nullptr;
  EXPECT_TRUE(get_update_params(block.sub(), 3, &name, nullptr, nullptr, nullptr));
  EXPECT_TRUE(get_update_params(block.sub(), -1, &name, nullptr, nullptr, nullptr));
  EXPECT_EQ(name, nullptr);
}

TEST(SpectrumBlock, SingleSpectrumReadsAsOneSubChannel) {
  std::vector<float> v = ramp(1000, -5);
  orxa_spect_input in{1.0f, 0.5f, 1000, 0, 0, v.data(), nullptr};
  ExactBlock block = one_block(
      [&](OrxaEventBuilder& b) { return b.add_spectra("SP", ORXA_DT_SPECTRUM, &in, 1, false); });
  float start = 0, inc = 0, ginc = -1;
  int length = 0, groups = 0;
  orxa_spect_statistics_2010* stats = reinterpret_cast<orxa_spect_statistics_2010*>(&start);
  ASSERT_FALSE(get_spect_params_for_data_type_2010(block.sub(), &start, &inc, nullptr, &length,
                                                   &groups, &ginc, &stats, 0));
  EXPECT_EQ(start, 1.0f);
  EXPECT_EQ(inc, 0.5f);
  EXPECT_EQ(length, 1000);
  EXPECT_EQ(groups, 1);
  EXPECT_EQ(stats, nullptr);
  int nsub = get_channel_number(ORXA_DT_SPECTRUM, nullptr);
  auto* data = static_cast<float*>(get_pointer_to_data_2010(block.sub(), 0));
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(std::memcmp(data, v.data(), sizeof(float) * static_cast<size_t>(nsub * length)), 0);
  EXPECT_TRUE(get_spect_params_for_data_type_2010(block.sub(), &start, &inc, nullptr, &length,
                                                  &groups, &ginc, &stats, 1));
}

TEST(SpectrumBlock, MultiSpectrumOf130SubChannelsWithEmptyOnes) {
  std::vector<std::vector<float>> values(130);
  std::vector<orxa_spect_input> in(130);
  for (int j = 0; j < 130; ++j) {
    int length = j % 10 == 3 ? 0 : 1 + j % 17;
    values[j] = ramp(static_cast<size_t>(length), 1000.0f * j);
    in[j] = orxa_spect_input{0.1f * j, 1.0f + j, length, 1, 0, values[j].data(), nullptr};
  }
  ExactBlock block = one_block(
      [&](OrxaEventBuilder& b) {
        return b.add_spectra("DIGI", ORXA_MULTI_SPECT_A, in.data(), 130, false);
      },
      ORXA_FORMAT_2024);
  ASSERT_EQ(get_channel_number(ORXA_MULTI_SPECT_A, nullptr), 130);
  for (int j = 0; j < 130; ++j) {
    float start = 0, inc = 0, ginc = 0;
    int length = -1, groups = 0;
    orxa_spect_statistics_2010* stats = nullptr;
    ASSERT_FALSE(get_spect_params_for_data_type_2010(block.sub(), &start, &inc, nullptr, &length,
                                                     &groups, &ginc, &stats, j));
    EXPECT_EQ(start, 0.1f * j);
    EXPECT_EQ(inc, 1.0f + j);
    ASSERT_EQ(length, in[j].length);
    auto* data = static_cast<float*>(get_pointer_to_data_2010(block.sub(), j));
    ASSERT_NE(data, nullptr) << j;
    if (length > 0) {
      EXPECT_EQ(std::memcmp(data, values[j].data(), sizeof(float) * length), 0);
    }
    // Located once, the same descriptor and values.
    orxa_spect_channel_2010 d{};
    EXPECT_EQ(get_spect_channel_2010(block.sub(), j, &d, &stats), data) << j;
    EXPECT_EQ(d.start, start);
    EXPECT_EQ(d.length, length);
  }
  EXPECT_EQ(get_spect_channel_2010(block.sub(), 130, nullptr, nullptr), nullptr);
}

TEST(SpectrumBlock, GroupSpectraCarryPerSubChannelStatistics) {
  std::vector<float> v0 = ramp(12, 0), v2 = ramp(6, 50);
  orxa_spect_statistics_2010 st{};
  st.mask = 0xA5u;
  for (int k = 0; k < 32; ++k) st.val[k] = static_cast<float>(k) + 0.5f;
  orxa_spect_input in[3] = {
      {1, 2, 4, 3, 0.75f, v0.data(), nullptr},
      {3, 4, 0, 0, 0, nullptr, nullptr},  // zero-length sub-channel
      {5, 6, 2, 3, 1.5f, v2.data(), &st},
  };
  ExactBlock block = one_block(
      [&](OrxaEventBuilder& b) { return b.add_spectra("GS", ORXA_DT_GSPECTRUM, in, 3, true); });
  ASSERT_EQ(get_channel_number(ORXA_DT_GSPECTRUM, block.sub()), 3);
  for (int j = 0; j < 3; ++j) {
    float start = 0, inc = 0, ginc = 0;
    int group_size = -1, groups = -1;
    orxa_spect_statistics_2010* stats = nullptr;
    ASSERT_FALSE(get_spect_params_for_data_type_2010(block.sub(), &start, &inc, nullptr,
                                                     &group_size, &groups, &ginc, &stats, j));
    EXPECT_EQ(group_size, in[j].length);
    EXPECT_EQ(groups, in[j].groups);
    EXPECT_EQ(ginc, in[j].group_inc);
    ASSERT_NE(stats, nullptr);
    auto* data = static_cast<float*>(get_pointer_to_data_2010(block.sub(), j));
    ASSERT_NE(data, nullptr);
    size_t n = static_cast<size_t>(group_size * groups);
    if (n > 0) {
      EXPECT_EQ(std::memcmp(data, in[j].values, n * sizeof(float)), 0);
    }
    if (j == 2) {
      EXPECT_EQ(std::memcmp(&stats[j], &st, sizeof st), 0);
    } else {
      EXPECT_EQ(stats[j].mask, 0u);  // sub-channels without statistics read as zero
    }
  }
}

TEST(StampBlock, HasNoDataAndAcceptsAnEmptyRegion) {
  ExactBlock block =
      one_block([&](OrxaEventBuilder& b) { return b.add_stamp("T", ORXA_DT_STAMP); });
  block.set_ldata(ORXA_SUBHEAD_SIZE);
  EXPECT_EQ(get_pointer_to_data_2010(block.sub(), 0), nullptr);
  EXPECT_EQ(get_data_structure_type(orxa_data_type_of(block.sub()->dtype)), ORXA_DATA_STAMP);
}

}  // namespace
