// Hostile sub-blocks: every decoder fails cleanly, and never reads past ldata
// (each block sits in a heap block of exactly its size, so ASan would report it).
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "event_walk.h"
#include "orxa_event_builder.h"
#include "velmor.h"

namespace {

// Runs every decoder on sub and returns how many reported success.
int decode_everything(orxa_serv_block_subhead_2010* sub) {
  int ok = 0;
  float f = 0;
  int i = 0;
  orxa_spect_statistics_2010* stats = nullptr;
  for (int index : {0, 1, 129}) {
    if (!get_spect_params_for_data_type_2010(sub, &f, &f, nullptr, &i, &i, &f, &stats, index)) ++ok;
    if (get_pointer_to_data_2010(sub, index) != nullptr) ++ok;
    orxa_spect_channel_2010 d;
    if (get_spect_channel_2010(sub, index, &d, &stats) != nullptr) ++ok;
    char* name = nullptr;
    time_stamp t;
    if (!get_update_params(sub, index, &name, &i, &t, &f)) ++ok;
  }
  orxa_image_ext_frame_head head;
  unsigned char* bytes = nullptr;
  if (!get_image_ext_params(sub, &head, nullptr, &bytes)) ++ok;
  if (get_number_of_upd_channels_2010(sub) > 0) ++ok;
  int usable = 0;
  if (get_name_value_block_2010(sub, &usable) != nullptr && usable > 0) ++ok;
  if (get_channel_number(sub->dtype, sub) > 0) ++ok;
  velmor::EqData* obj = nullptr;
  if (orxa_daq_to_eqdata(0, nullptr, sub, &obj, 1) == 0) {
    ++ok;
    delete obj;
  }
  return ok;
}

// One valid sub-block of every kind.
std::vector<std::string> valid_blocks() {
  OrxaEventBuilder b(ORXA_FORMAT_LEGACY);
  b.begin(1, time_stamp{1, 1});
  velmor::EqData obj;
  obj.set_string("some text");
  b.add_data_object("OBJ", ORXA_DT_EQDATA, obj);
  orxa_name_value_channel nv[3] = {{"A", 1}, {"B", 2}, {"C", 3}};
  b.add_name_value("NV", ORXA_DT_NAMVAL, 1, "c", nv, 3);
  orxa_image_ext_frame_head ih{};
  ih.width = ih.height = 3;
  ih.bpp = 1;
  ih.length = 9;
  unsigned char px[9] = {};
  b.add_image("IMG", ORXA_DT_IMAGE_EXT, ih, px);
  float v[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  orxa_spect_statistics_2010 st{};
  orxa_spect_input sp[2] = {{0, 1, 4, 2, 1, v, &st}, {0, 1, 2, 1, 1, v, nullptr}};
  b.add_spectra("GS", ORXA_DT_GSPECTRUM, sp, 2, true);
  b.add_spectra("MS", ORXA_MULTI_SPECT_B, sp, 2, false);
  orxa_upd_value_2010 up[2] = {};
  std::strcpy(up[0].name, "U0");
  std::strcpy(up[1].name, "U1");
  b.add_update("UPD", ORXA_UPD_BLOCK_2010, up, 2);
  size_t len = 0;
  const char* ev = b.finish(&len);
  std::vector<std::string> out;
  for (auto* sub : sub_heads(ev, len, false)) {
    out.emplace_back(reinterpret_cast<char*>(sub), static_cast<size_t>(sub->ldata));
  }
  return out;
}

TEST(HostileSubBlock, LdataBelowTheSubHeadFailsEverywhere) {
  for (const std::string& block : valid_blocks()) {
    for (int32_t ldata : {INT_MIN, -1, 0, 4, ORXA_SUBHEAD_SIZE - 1}) {
      ExactBlock b(reinterpret_cast<const orxa_serv_block_subhead_2010*>(block.data()),
                   ORXA_SUBHEAD_SIZE);
      b.set_ldata(ldata);
      EXPECT_EQ(decode_everything(b.sub()) - (get_channel_number(b.sub()->dtype, b.sub()) > 0), 0)
          << b.sub()->chname << " ldata " << ldata;
    }
  }
  EXPECT_EQ(get_pointer_to_data_2010(nullptr, 0), nullptr);
  EXPECT_EQ(get_number_of_upd_channels_2010(nullptr), 0);
  EXPECT_TRUE(get_image_ext_params(nullptr, nullptr, nullptr, nullptr));
}

// Every truncation of every kind: decoders either fail or stay inside the block.
TEST(HostileSubBlock, EveryTruncationStaysInsideLdata) {
  for (const std::string& block : valid_blocks()) {
    const auto* full = reinterpret_cast<const orxa_serv_block_subhead_2010*>(block.data());
    EXPECT_GT(decode_everything(ExactBlock(full).sub()), 0) << full->chname;
    for (size_t size = ORXA_SUBHEAD_SIZE; size < block.size(); ++size) {
      ExactBlock b(full, size);
      b.set_ldata(static_cast<int32_t>(size));
      decode_everything(b.sub());
    }
  }
}

TEST(HostileSubBlock, CountsThatDoNotFitAreRefused) {
  std::string r;
  put(r, orxa_upd_block_2010{INT_MAX, 0});
  EXPECT_EQ(get_number_of_upd_channels_2010(ExactBlock(ORXA_UPD_BLOCK_2010, r).sub()), 0);
  r.clear();
  put(r, orxa_upd_block_2010{-5, 0});
  EXPECT_EQ(get_number_of_upd_channels_2010(ExactBlock(ORXA_UPD_BLOCK_2010, r).sub()), 0);

  for (int32_t nsub : {INT_MAX, -1, 3}) {  // 3 descriptors do not fit in the 32 bytes given
    r.clear();
    put(r, orxa_spect_block_2010{nsub, 0});
    put(r, orxa_spect_channel_2010{0, 1, 0, 1, 0, 32});
    ExactBlock b(ORXA_DT_GSPECTRUM, r);
    EXPECT_EQ(get_channel_number(ORXA_DT_GSPECTRUM, b.sub()), 0) << nsub;
    EXPECT_EQ(get_pointer_to_data_2010(b.sub(), 0), nullptr) << nsub;
    EXPECT_EQ(get_spect_channel_2010(b.sub(), -2, nullptr, nullptr), nullptr) << nsub;
  }

  r.clear();
  put(r, orxa_eqdata_block_2010{1000});
  r.append(16, 'x');
  velmor::EqData* obj = reinterpret_cast<velmor::EqData*>(&r);
  EXPECT_EQ(orxa_daq_to_eqdata(0, nullptr, ExactBlock(ORXA_DT_EQDATA, r).sub(), &obj, 1),
            ORXA_EQDATA_BAD_BLOCK);
  EXPECT_EQ(obj, reinterpret_cast<velmor::EqData*>(&r));  // unchanged on failure

  // ndata larger than the block: only the records inside are usable.
  r.assign(ORXA_NAME_VALUE_BLOCK_HEAD, '\0');
  int32_t ndata = 1000000;
  std::memcpy(&r[offsetof(orxa_name_value_block, ndata)], &ndata, sizeof ndata);
  r.append(2 * sizeof(orxa_name_value_channel) + 5, 'n');
  int usable = -1;
  EXPECT_NE(get_name_value_block_2010(ExactBlock(ORXA_DT_NAMVAL, r).sub(), &usable), nullptr);
  EXPECT_EQ(usable, 2);
  ndata = -7;
  std::memcpy(&r[offsetof(orxa_name_value_block, ndata)], &ndata, sizeof ndata);
  EXPECT_NE(get_name_value_block_2010(ExactBlock(ORXA_DT_NAMVAL, r).sub(), &usable), nullptr);
  EXPECT_EQ(usable, 0);
}

TEST(HostileSubBlock, SpectrumDescriptorsOutsideTheRulesAreRefused) {
  auto spect = [](orxa_spect_channel_2010 d, size_t value_bytes) {
    std::string r;
    put(r, orxa_spect_block_2010{1, 0});
    put(r, d);
    r.append(value_bytes, '\0');
    return r;
  };
  const int32_t first = 8 + 24;  // first byte after the tables
  struct Case {
    const char* what;
    orxa_spect_channel_2010 d;
  } cases[] = {
      {"negative length", {0, 1, -1, 1, 0, first}},
      {"negative groups", {0, 1, 1, -1, 0, first}},
      {"offset inside the tables", {0, 1, 1, 1, 0, 8}},
      {"misaligned offset", {0, 1, 1, 1, 0, first + 2}},
      {"negative offset", {0, 1, 1, 1, 0, -4}},
      {"values past ldata", {0, 1, 5, 1, 0, first}},
      {"length x groups overflows 32 bits", {0, 1, INT_MAX, INT_MAX, 0, first}},
  };
  for (int type : {ORXA_DT_GSPECTRUM, ORXA_DT_SPECTRUM}) {
    for (const Case& c : cases) {
      ExactBlock b(type, spect(c.d, 16));
      float f;
      int i;
      EXPECT_TRUE(
          get_spect_params_for_data_type_2010(b.sub(), &f, &f, nullptr, &i, &i, &f, nullptr, 0))
          << c.what << " " << type;
      EXPECT_EQ(get_pointer_to_data_2010(b.sub(), 0), nullptr) << c.what << " " << type;
      EXPECT_EQ(get_spect_channel_2010(b.sub(), 0, nullptr, nullptr), nullptr)
          << c.what << " " << type;
    }
  }
  // The statistics table is part of the tables: a flagged block must hold it.
  std::string r;
  put(r, orxa_spect_block_2010{1, ORXA_SPECT_HAS_STATISTICS});
  put(r, orxa_spect_channel_2010{0, 1, 0, 1, 0, first});
  r.append(100, '\0');
  EXPECT_EQ(get_pointer_to_data_2010(ExactBlock(ORXA_DT_SPECTRUM, r).sub(), 0), nullptr);
}

TEST(HostileSubBlock, ImageAndUpdateFieldsAreChecked) {
  orxa_image_ext_frame_head h{};
  h.length = 10;
  std::string r;
  put(r, h);
  r.append(9, 'p');  // one byte short
  unsigned char* bytes = nullptr;
  EXPECT_TRUE(get_image_ext_params(ExactBlock(ORXA_DT_IMAGE_EXT, r).sub(), &h, nullptr, &bytes));
  r.push_back('p');
  EXPECT_FALSE(get_image_ext_params(ExactBlock(ORXA_DT_IMAGE_EXT, r).sub(), &h, nullptr, &bytes));
  for (int32_t orxa_image_ext_frame_head::*field :
       {&orxa_image_ext_frame_head::length, &orxa_image_ext_frame_head::width,
        &orxa_image_ext_frame_head::bpp}) {
    orxa_image_ext_frame_head bad = h;
    bad.*field = -1;
    std::string rb;
    put(rb, bad);
    rb.append(10, 'p');
    EXPECT_TRUE(get_image_ext_params(ExactBlock(ORXA_DT_IMAGE_EXT, rb).sub(), &h, nullptr, &bytes));
  }

  orxa_upd_value_2010 v{};
  std::memset(v.name, 'A', sizeof v.name);  // no terminator inside the field
  r.clear();
  put(r, orxa_upd_block_2010{1, 0});
  put(r, v);
  char* name = nullptr;
  ExactBlock upd(ORXA_UPD_BLOCK_2010, r);
  EXPECT_EQ(get_number_of_upd_channels_2010(upd.sub()), 1);
  EXPECT_TRUE(get_update_params(upd.sub(), 0, &name, nullptr, nullptr, nullptr));
  EXPECT_EQ(name, nullptr);
}

TEST(HostileSubBlock, DecodersRefuseBlocksOfAnotherKind) {
  std::string r;
  put(r, orxa_upd_block_2010{1, 0});
  put(r, orxa_upd_value_2010{});
  ExactBlock spectrum_typed(ORXA_DT_SPECTRUM, r);
  EXPECT_EQ(get_number_of_upd_channels_2010(spectrum_typed.sub()), 0);
  velmor::EqData* obj = nullptr;
  EXPECT_EQ(orxa_daq_to_eqdata_2024(0, nullptr, spectrum_typed.sub(), &obj, 1),
            ORXA_EQDATA_BAD_BLOCK);
  ExactBlock unknown(orxa_type_word(99, 4), r);
  EXPECT_EQ(decode_everything(unknown.sub()), 0);
}

TEST(HostileSubBlock, ObjectBytesThatDoNotDeserialiseAllocateNothing) {
  std::string r;
  put(r, orxa_eqdata_block_2010{12});
  r.append("garbage!\xff\xff\xff\xff", 12);
  ExactBlock b(ORXA_DT_EQDATA, r);
  velmor::EqData* obj = nullptr;
  EXPECT_EQ(orxa_daq_to_eqdata(0, nullptr, b.sub(), &obj, 1), ORXA_EQDATA_BAD_OBJECT);
  EXPECT_EQ(obj, nullptr);
  EXPECT_EQ(orxa_daq_to_eqdata(0, nullptr, b.sub(), nullptr, 1), ORXA_EQDATA_BAD_ARGS);
  EXPECT_EQ(orxa_daq_to_eqdata(0, nullptr, nullptr, &obj, 1), ORXA_EQDATA_BAD_ARGS);
}

}  // namespace
