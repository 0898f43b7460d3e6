// EqData: every stored form survives copy_from and the serialised form, and
// hostile serialised input is refused without reading outside its buffer.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "velmor.h"

using velmor::EqData;

namespace {

// One object per stored form, each with time and a 64-bit event number.
std::vector<EqData> all_forms() {
  std::vector<EqData> forms;
  auto stamped = [] {
    EqData d;
    d.time(1700000000, 123456);
    d.mpnum(5000000000L);
    return d;
  };
  {
    EqData d = stamped();
    d.set_xml("<DAQREQ a=\"1\"/>");
    forms.push_back(d);
  }
  {
    EqData d = stamped();
    d.set_string("plain text");
    forms.push_back(d);
  }
  {
    EqData d = stamped();
    d.set_int(-42);
    forms.push_back(d);
  }
  {
    EqData d = stamped();
    d.set_double(3.25);
    forms.push_back(d);
  }
  {
    EqData d = stamped();
    const float v[] = {1.5f, -2.5f, 1e30f};
    d.set_float_array(v, 3);
    forms.push_back(d);
  }
  {
    EqData d = stamped();
    const long v[] = {1, -1, 9000000000L};
    d.set_int_array(v, 3);
    forms.push_back(d);
  }
  {
    EqData d = stamped();
    d.set_string_array({"a", "", "DAQ.REP1"});
    forms.push_back(d);
  }
  {
    EqData d = stamped();
    d.set_type(velmor::DATA_A_USTR);
    d.length(2);
    d.set(7, 1.5f, 2.0f, 1700000001, "CHAN:NAME", 0);
    d.set(8, -1.0f, 0.0f, 1700000002, std::string("with\0nul", 8), 1);
    forms.push_back(d);
  }
  {
    EqData d = stamped();
    d.set_type(velmor::DATA_A_TS_SPECTRUM);
    float values[4] = {1, 2, 3, 4};
    char comment[] = "SPECTRUM.CHAN";
    velmor::SPECTRUM s{};
    s.comment.comment_len = sizeof comment;
    s.comment.comment_val = comment;
    s.tm = 1700000000;
    s.s_start = 0.5f;
    s.s_inc = 0.25f;
    s.status = 77;
    s.d_spect_array.d_spect_array_len = 4;
    s.d_spect_array.d_spect_array_val = values;
    d.set_ts_spect(1700000000, 123, 0xBEEF, &s, 0);
    s.d_spect_array.d_spect_array_len = 0;
    s.d_spect_array.d_spect_array_val = nullptr;
    d.set_ts_spect(1700000000, 124, 1, &s, 2);  // leaves element 1 empty
    forms.push_back(d);
  }
  {
    EqData d = stamped();
    d.set_type(velmor::DATA_A_TS_GSPECTRUM);
    d.length(1);
    float values[6] = {1, 2, 3, 4, 5, 6};
    char comment[] = "GSPEC";
    velmor::GSPECTRUM g{};
    g.comment.comment_len = sizeof comment;
    g.comment.comment_val = comment;
    g.id = 99;
    g.tm = 1700000000;
    g.s_start = 1;
    g.s_inc = 2;
    g.status = 3;
    g.groups = 2;
    g.group_size = 3;
    g.group_inc = 0.5f;
    g.stat_mask = 0xF0F0;
    for (int i = 0; i < 24; ++i) g.statistics[i] = static_cast<float>(i) / 3;
    for (int i = 0; i < 8; ++i) g.timing_param[i] = -i;
    g.d_gspect_array.d_gspect_array_len = 6;
    g.d_gspect_array.d_gspect_array_val = values;
    d.set_ts_gspect(1700000000, 5, 6, &g, 0);
    forms.push_back(d);
  }
  {
    EqData d = stamped();
    velmor::IMH h{};
    h.width = 4;
    h.height = 2;
    h.bpp = 1;
    h.frame = 12;
    h.event = 34;
    h.scale_x = 1.5f;
    h.length = 8;
    const unsigned char bytes[8] = {0, 1, 2, 3, 250, 251, 252, 253};
    d.set_image(bytes, 8, &h, velmor::no);
    d.set_image_comm("CAMERA.ONE");
    forms.push_back(d);
  }
  {
    EqData d;
    d.set_error(velmor::EQ_ERR_TIMEOUT, "timeout: /A/B/C");
    forms.push_back(d);
  }
  forms.push_back(EqData());
  return forms;
}

std::string bytes_of(const EqData& d) {
  std::string s;
  EXPECT_FALSE(d.serialize(s));
  return s;
}

// Two objects are equal when their serialised forms are: the form carries every field.
void expect_same(const EqData& a, const EqData& b) {
  EXPECT_EQ(bytes_of(a), bytes_of(b));
  EXPECT_EQ(a.type(), b.type());
  EXPECT_EQ(a.get_mpnum(), b.get_mpnum());
  EXPECT_STREQ(a.get_xml(), b.get_xml());
}

}  // namespace

TEST(EqData, EveryFormRoundTripsThroughCopyFromAndSerialisation) {
  for (const EqData& original : all_forms()) {
    SCOPED_TRACE(original.type());
    auto source = std::make_unique<EqData>(original);
    EqData copy;
    copy.set_string("stale content");
    ASSERT_FALSE(copy.copy_from(source.get()));
    source.reset();  // the copy must not depend on the source
    expect_same(copy, original);

    EqData parsed;
    parsed.set_ts_spect(0, 0, 0, nullptr, 0);
    parsed.set(1, 2, 3, 4, "left over", 3);  // must not survive the replacement
    std::string wire = bytes_of(original);
    ASSERT_FALSE(parsed.deserialize(wire.data(), wire.size()));
    expect_same(parsed, original);

    copy.init();  // keeps buffers, drops every value
    EXPECT_EQ(bytes_of(copy), bytes_of(EqData()));
  }
}

TEST(EqData, ReadSideGivesBackWhatWasStored) {
  std::vector<EqData> forms = all_forms();
  const EqData& ustr = forms[7];
  ASSERT_EQ(ustr.ustr_count(), 2);
  EXPECT_EQ(ustr.get_ustr(1)->str, std::string("with\0nul", 8));
  EXPECT_EQ(ustr.get_ustr(0)->tm, 1700000001);
  EXPECT_EQ(ustr.get_ustr(2), nullptr);
  EXPECT_EQ(ustr.get_time_seconds(), 1700000000);
  EXPECT_EQ(ustr.get_time_microseconds(), 123456);
  EXPECT_EQ(ustr.get_mpnum(), 5000000000L);

  const EqData& spect = forms[8];
  ASSERT_EQ(spect.spectrum_count(), 3);
  EXPECT_EQ(spect.get_length(), 3);
  const velmor::SpectrumElement* s = spect.get_spectrum(0);
  EXPECT_EQ(s->comment, "SPECTRUM.CHAN");
  EXPECT_EQ(s->ts_millis, 123);
  EXPECT_EQ(s->ts_status, 0xBEEF);
  ASSERT_EQ(s->data.size(), 4u);
  EXPECT_EQ(s->data[3], 4.0f);
  EXPECT_TRUE(spect.get_spectrum(1)->data.empty());

  const EqData& gspect = forms[9];
  const velmor::SpectrumElement* g = gspect.get_spectrum(0);
  EXPECT_TRUE(g->group);
  EXPECT_EQ(g->stat_mask, 0xF0F0u);
  EXPECT_EQ(g->timing_param[7], -7);
  EXPECT_EQ(g->statistics[23], 23.0f / 3);
  EXPECT_EQ(g->data.size(), 6u);

  const EqData& image = forms[10];
  ASSERT_NE(image.get_image_header(), nullptr);
  EXPECT_EQ(image.get_image_header()->event, 34u);  // `no` keeps the frame's own event
  EXPECT_EQ(image.get_image_length(), 8);
  EXPECT_EQ(image.get_image_data()[4], 250);
  EXPECT_STREQ(image.get_image_comm(), "CAMERA.ONE");

  char buf[80];
  EXPECT_STREQ(forms[2].get_string(buf, sizeof buf), "-42");
  EXPECT_EQ(forms[5].get_int(2), 9000000000L);
  EXPECT_STREQ(forms[11].get_string(buf, sizeof buf), "timeout: /A/B/C");
  EXPECT_EQ(forms[11].error(), velmor::EQ_ERR_TIMEOUT);
}

TEST(EqData, IntegerReadOfRealsOutsideLongIsBounded) {
  const double values[4] = {std::nan(""), 1e300, -1e300, -2.75};
  EqData d;
  d.set_double_array(values, 4);
  EXPECT_EQ(d.get_int(0), 0);
  EXPECT_EQ(d.get_int(1), LONG_MAX);
  EXPECT_EQ(d.get_int(2), LONG_MIN);
  EXPECT_EQ(d.get_int(3), -2);
  const float huge = -1e30f;
  EqData f;
  f.set_float_array(&huge, 1);
  EXPECT_EQ(f.get_int(0), LONG_MIN);
}

TEST(EqData, StoringCopiesTheCallersBuffers) {
  float values[3] = {1, 2, 3};
  char comment[] = "CH";
  velmor::SPECTRUM s{};
  s.comment.comment_len = 3;
  s.comment.comment_val = comment;
  s.d_spect_array.d_spect_array_len = 3;
  s.d_spect_array.d_spect_array_val = values;
  unsigned char pixels[2] = {9, 9};
  velmor::IMH h{};
  EqData d;
  d.set_ts_spect(1, 2, 3, &s, 0);
  EqData image;
  image.mpnum(0x100000005L);
  image.set_image(pixels, 2, &h, velmor::yes);
  values[0] = 100;
  comment[0] = 'X';
  pixels[0] = 0;
  EXPECT_EQ(d.get_spectrum(0)->data[0], 1.0f);
  EXPECT_EQ(d.get_spectrum(0)->comment, "CH");
  EXPECT_EQ(image.get_image_data()[0], 9);
  EXPECT_EQ(image.get_image_header()->event, 5u);  // `yes` stamps the low 32 bits
  EXPECT_EQ(image.get_mpnum(), 0x100000005L);
}

TEST(EqData, RefusesBadIndicesAndNullRecordsWithoutStoring) {
  EqData d;
  EXPECT_TRUE(d.set(1, 0, 0, 0, "x", -1));
  EXPECT_TRUE(d.set(1, 0, 0, 0, "x", velmor::kMaxElements));
  EXPECT_TRUE(d.set_ts_spect(0, 0, 0, nullptr, 0));
  velmor::SPECTRUM s{};
  s.d_spect_array.d_spect_array_len = 5;  // a length without an array
  EXPECT_TRUE(d.set_ts_spect(0, 0, 0, &s, 0));
  velmor::IMH h{};
  EXPECT_TRUE(d.set_image(nullptr, 4, &h, velmor::no));
  EXPECT_TRUE(d.set_image(nullptr, 0, nullptr, velmor::no));
  EXPECT_EQ(d.ustr_count(), 0);
  EXPECT_EQ(d.spectrum_count(), 0);
  EXPECT_EQ(d.get_image_header(), nullptr);
  EXPECT_TRUE(d.copy_from(nullptr));
  char small[4];
  d.set_string("longer than the buffer");
  EXPECT_STREQ(d.get_string(small, sizeof small), "lon");
  EXPECT_EQ(d.get_string(nullptr, 10), nullptr);
}

TEST(EqDataWire, RefusesEveryTruncationAndCorruptionOfAValidForm) {
  for (const EqData& original : all_forms()) {
    std::string wire = bytes_of(original);
    for (size_t cut = 0; cut < wire.size(); ++cut) {
      // A heap copy of exactly `cut` bytes: ASan catches any read past it.
      std::unique_ptr<char[]> part(new char[cut + 1]);
      std::memcpy(part.get(), wire.data(), cut);
      EqData d;
      d.set_int(5);
      ASSERT_TRUE(d.deserialize(part.get(), cut)) << "cut at " << cut;
      EXPECT_EQ(bytes_of(d), bytes_of(EqData()));  // refused input leaves it empty
    }
    std::string longer = wire + "x";
    EqData d;
    EXPECT_TRUE(d.deserialize(longer.data(), longer.size()));
  }
}

TEST(EqDataWire, RefusesBadHeadsAndHostileCounts) {
  EqData value;
  value.set_string_array({"abc"});
  std::string wire = bytes_of(value);
  auto refused = [](std::string bytes) {
    EqData d;
    return d.deserialize(bytes.data(), bytes.size());
  };
  std::string bad = wire;
  bad[0] = 'X';
  EXPECT_TRUE(refused(bad));
  bad = wire;
  bad[4] = 2;  // version 2
  EXPECT_TRUE(refused(bad));
  bad = wire;
  bad[36] = '\xff';  // element count beyond the limit
  bad[37] = '\xff';
  bad[38] = '\xff';
  bad[39] = '\x7f';
  EXPECT_TRUE(refused(bad));
  bad = wire;
  bad[52] = '\xff';  // text count of 0xffffffff inside the strings section
  bad[53] = '\xff';
  bad[54] = '\xff';
  bad[55] = '\xff';
  EXPECT_TRUE(refused(bad));
  // A section of a later version is skipped; a repeated one is refused.
  std::string later = wire;
  later[40] = 2;
  later += std::string("\x20\x00\x00\x00\x01\x00\x00\x00Z", 9);
  EXPECT_FALSE(refused(later));
  std::string twice = wire;
  twice[40] = 2;
  twice += wire.substr(44);
  EXPECT_TRUE(refused(twice));
  EXPECT_TRUE(refused(std::string()));
  EqData d;
  EXPECT_TRUE(d.deserialize(nullptr, 100));
}

TEST(EqAdr, SplitsServerPartsAndProperty) {
  velmor::EqAdr a;
  EXPECT_FALSE(a.adr("/LUMAR/DAQSRV1/DAQ.REQ"));
  EXPECT_EQ(a.facility(), "LUMAR");
  EXPECT_EQ(a.device(), "DAQSRV1");
  EXPECT_EQ(a.location(), "");
  EXPECT_EQ(a.property(), "DAQ.REQ");
  EXPECT_FALSE(a.adr("F/D/L/DAQ.REP12"));
  EXPECT_EQ(a.location(), "L");
  EXPECT_EQ(a.property(), "DAQ.REP12");
  for (const char* bad : {"", "/", "DAQ.REQ", "/F//P", "/F/D/", "/A/B/C/D/E"}) {
    EXPECT_TRUE(a.adr(bad)) << bad;
    EXPECT_FALSE(a.valid());
  }
}
