// EqData keeps its element buffers across stores at the same index, across
// init() and across copies, for speed only: what it reads back must be exactly
// what a fresh object storing the same values reads back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

#include "velmor.h"

using velmor::EqData;

namespace {

std::vector<float> ramp(std::size_t n, float from) {
  std::vector<float> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = from + static_cast<float>(i);
  return v;
}

bool store(EqData& d, std::vector<float>& values, std::string comment, int index) {
  velmor::SPECTRUM s{};
  s.comment.comment_val = &comment[0];
  s.comment.comment_len = static_cast<uint32_t>(comment.size() + 1);
  s.tm = 1700000000 + index;
  s.s_start = 0.5f;
  s.s_inc = 0.25f;
  s.status = 40u + static_cast<uint32_t>(index);
  s.d_spect_array.d_spect_array_len = static_cast<uint32_t>(values.size());
  s.d_spect_array.d_spect_array_val = values.empty() ? nullptr : values.data();
  return d.set_ts_spect(1700000000, 7, 8, &s, index);
}

bool store_group(EqData& d, std::vector<float>& values, int index) {
  char comment[] = "GROUPED";
  velmor::GSPECTRUM g{};
  g.comment.comment_val = comment;
  g.comment.comment_len = sizeof comment;
  g.id = 5;
  g.groups = 2;
  g.group_size = static_cast<int>(values.size() / 2);
  g.group_inc = 1.5f;
  g.stat_mask = 0xFF;
  for (int i = 0; i < 24; ++i) g.statistics[i] = 1.0f + static_cast<float>(i);
  for (int i = 0; i < 8; ++i) g.timing_param[i] = 100 + i;
  g.d_gspect_array.d_gspect_array_len = static_cast<uint32_t>(values.size());
  g.d_gspect_array.d_gspect_array_val = values.data();
  return d.set_ts_gspect(1700000000, 7, 8, &g, index);
}

std::string wire(const EqData& d) {
  std::string s;
  EXPECT_FALSE(d.serialize(s));
  return s;
}

}  // namespace

TEST(EqDataReuse, SameIndexTakesShorterThenLongerSpectraExactly) {
  EqData d;
  std::vector<float> long_values = ramp(1000, 1), short_values = ramp(3, -5),
                     longer = ramp(2000, 7);
  ASSERT_FALSE(store(d, long_values, "A FAIRLY LONG COMMENT, PAST ANY SMALL STRING", 0));
  const float* buffer = d.get_spectrum(0)->data.data();

  ASSERT_FALSE(store(d, short_values, "S", 0));
  EXPECT_EQ(d.get_spectrum(0)->data, short_values);
  EXPECT_EQ(d.get_spectrum(0)->data.data(), buffer);  // stored into the buffer it had
  EXPECT_EQ(d.get_spectrum(0)->comment, "S");
  EXPECT_EQ(d.get_spectrum(0)->comment_len, 2u);

  ASSERT_FALSE(store(d, longer, "LONGER", 0));
  EXPECT_EQ(d.get_spectrum(0)->data, longer);
  EXPECT_EQ(d.spectrum_count(), 1);

  EqData fresh;
  ASSERT_FALSE(store(fresh, longer, "LONGER", 0));
  EXPECT_EQ(wire(d), wire(fresh));

  // A comment of the same length, a shorter one and none replace the old text.
  ASSERT_FALSE(store(d, short_values, "LONGEs", 0));
  EXPECT_EQ(d.get_spectrum(0)->comment, "LONGEs");
  ASSERT_FALSE(store(d, short_values, "LONG", 0));
  EXPECT_EQ(d.get_spectrum(0)->comment, "LONG");
  ASSERT_FALSE(store(d, short_values, "", 0));
  EXPECT_EQ(d.get_spectrum(0)->comment, "");
}

TEST(EqDataReuse, PlainSpectrumOverAGroupSpectrumDropsTheGroupPart) {
  std::vector<float> grouped = ramp(6, 0), plain = ramp(4, 9);
  EqData d;
  ASSERT_FALSE(store_group(d, grouped, 1));
  ASSERT_FALSE(store(d, plain, "PLAIN", 1));
  EqData fresh;
  ASSERT_FALSE(store(fresh, plain, "PLAIN", 1));
  EXPECT_EQ(wire(d), wire(fresh));
  const velmor::SpectrumElement* e = d.get_spectrum(1);
  EXPECT_FALSE(e->group);
  EXPECT_EQ(e->stat_mask, 0u);
  EXPECT_EQ(e->timing_param[7], 0);

  ASSERT_FALSE(store_group(d, grouped, 1));
  EXPECT_TRUE(d.get_spectrum(1)->group);
  EXPECT_EQ(d.get_spectrum(1)->statistics[23], 24.0f);
  EXPECT_EQ(d.get_spectrum(1)->data, grouped);
}

TEST(EqDataReuse, InitForgetsElementsButRefillsTheirBuffers) {
  EqData d;
  std::vector<float> values = ramp(500, 2);
  for (int i = 0; i < 3; ++i) ASSERT_FALSE(store(d, values, "CH_" + std::to_string(i), i));
  d.set(1, 2, 3, 4, "a text longer than a short string keeps", 2);
  d.time(10, 20);
  d.mpnum(30);
  const float* buffer = d.get_spectrum(0)->data.data();

  d.init();
  EXPECT_EQ(d.type(), velmor::DATA_NULL);
  EXPECT_EQ(d.get_length(), 0);
  EXPECT_EQ(d.spectrum_count(), 0);
  EXPECT_EQ(d.ustr_count(), 0);
  EXPECT_EQ(d.get_spectrum(0), nullptr);
  EXPECT_EQ(d.get_ustr(2), nullptr);
  EXPECT_EQ(d.get_mpnum(), 0);
  EXPECT_EQ(d.get_time_seconds(), 0);
  EXPECT_EQ(wire(d), wire(EqData()));

  // Index 2 alone: elements 0 and 1 come back empty, not with their old values.
  std::vector<float> few = ramp(2, 100);
  ASSERT_FALSE(store(d, few, "AFTER", 2));
  ASSERT_FALSE(d.set(9, 0, 0, 0, "u", 1));
  EqData fresh;
  ASSERT_FALSE(store(fresh, few, "AFTER", 2));
  ASSERT_FALSE(fresh.set(9, 0, 0, 0, "u", 1));
  EXPECT_EQ(wire(d), wire(fresh));
  EXPECT_TRUE(d.get_spectrum(0)->data.empty());
  EXPECT_EQ(d.get_spectrum(0)->comment, "");
  EXPECT_EQ(d.get_ustr(0)->str, "");

  ASSERT_FALSE(store(d, values, "AGAIN", 0));
  EXPECT_EQ(d.get_spectrum(0)->data.data(), buffer);
  EXPECT_EQ(d.get_spectrum(0)->data, values);
}

TEST(EqDataReuse, RefusedStoreLeavesElementAndCountAsTheyWere) {
  EqData d;
  std::vector<float> values = ramp(8, 1);
  ASSERT_FALSE(store(d, values, "KEEP", 0));
  velmor::SPECTRUM bad{};
  bad.d_spect_array.d_spect_array_len = 4;  // a length without an array
  EXPECT_TRUE(d.set_ts_spect(0, 0, 0, &bad, 0));
  EXPECT_TRUE(d.set_ts_spect(0, 0, 0, &bad, 5));
  EXPECT_EQ(d.spectrum_count(), 1);
  EXPECT_EQ(d.get_length(), 1);
  EXPECT_EQ(d.get_spectrum(0)->data, values);
  EXPECT_EQ(d.get_spectrum(0)->comment, "KEEP");
}

TEST(EqDataReuse, CopiesAndParsesIntoALargerObjectShowOnlyTheSource) {
  std::vector<float> big = ramp(300, 0), small = ramp(5, 50);
  EqData large;
  for (int i = 0; i < 4; ++i) ASSERT_FALSE(store(large, big, "BIG", i));
  for (int i = 0; i < 4; ++i) ASSERT_FALSE(large.set(i, 0, 0, 0, "element text of some length", i));
  EqData source;
  ASSERT_FALSE(store(source, small, "SMALL", 1));
  ASSERT_FALSE(source.set(1, 0, 0, 0, "one", 0));

  EqData copy = large;
  ASSERT_FALSE(copy.copy_from(&source));
  EXPECT_EQ(wire(copy), wire(source));
  EXPECT_EQ(copy.spectrum_count(), 2);
  EXPECT_EQ(copy.ustr_count(), 1);
  EXPECT_TRUE(copy.get_spectrum(0)->data.empty());

  EqData parsed = large;
  std::string bytes = wire(source);
  ASSERT_FALSE(parsed.deserialize(bytes.data(), bytes.size()));
  EXPECT_EQ(wire(parsed), bytes);
  EXPECT_EQ(parsed.get_spectrum(1)->data, small);

  EqData constructed(copy);  // a copy of a reused object carries no spares
  EXPECT_EQ(wire(constructed), bytes);
}

TEST(EqDataReuse, ParsingGivesTheSameValuesAtEveryAlignmentOfTheInput) {
  EqData source;
  std::vector<float> values = ramp(1000, 0.5f);
  ASSERT_FALSE(store(source, values, "odd", 0));
  EqData doubles;
  std::vector<double> d(777);
  for (std::size_t i = 0; i < d.size(); ++i) d[i] = 1.0 / static_cast<double>(i + 1);
  doubles.set_double_array(d.data(), static_cast<int>(d.size()));
  for (const EqData* original : {&source, &doubles}) {
    std::string bytes = wire(*original);
    EqData parsed;
    for (std::size_t shift = 0; shift < 8; ++shift) {
      SCOPED_TRACE(shift);
      std::vector<char> room(bytes.size() + 8);
      std::copy(bytes.begin(), bytes.end(), room.begin() + static_cast<std::ptrdiff_t>(shift));
      ASSERT_FALSE(parsed.deserialize(room.data() + shift, bytes.size()));
      EXPECT_EQ(wire(parsed), bytes);
    }
    EXPECT_EQ(parsed.get_double(776), original->get_double(776));
  }
}

TEST(EqDataReuse, StoringItsOwnElementAtANewIndexCopiesIt) {
  // Growing the element list moves the elements; a text or comment taken from
  // the object itself must be read before that.
  EqData d;
  std::vector<float> values = ramp(6, 3);
  ASSERT_FALSE(store(d, values, "CH", 0));
  const velmor::SpectrumElement* first = d.get_spectrum(0);
  velmor::SPECTRUM s{};
  s.comment.comment_val = const_cast<char*>(first->comment.c_str());
  s.comment.comment_len = 3;
  s.d_spect_array.d_spect_array_len = static_cast<uint32_t>(first->data.size());
  s.d_spect_array.d_spect_array_val = const_cast<float*>(first->data.data());
  ASSERT_FALSE(d.set_ts_spect(1, 2, 3, &s, 40));
  EXPECT_EQ(d.get_spectrum(40)->comment, "CH");
  EXPECT_EQ(d.get_spectrum(40)->data, values);
  // Its own values and comment into the same element again, at the same length.
  first = d.get_spectrum(0);  // the list grew
  s.comment.comment_val = const_cast<char*>(first->comment.c_str());
  s.d_spect_array.d_spect_array_val = const_cast<float*>(first->data.data());
  ASSERT_FALSE(d.set_ts_spect(1, 2, 3, &s, 0));
  EXPECT_EQ(d.get_spectrum(0)->comment, "CH");
  EXPECT_EQ(d.get_spectrum(0)->data, values);

  ASSERT_FALSE(d.set(1, 0, 0, 0, "own", 0));
  ASSERT_FALSE(d.set(2, 0, 0, 0, d.get_ustr(0)->str, 40));
  EXPECT_EQ(d.get_ustr(40)->str, "own");

  // Texts too long to live inside their element, stored again while the list grows.
  const std::string long_text(40, 'L');
  ASSERT_FALSE(store(d, values, long_text, 0));
  first = d.get_spectrum(0);
  s.comment.comment_val = const_cast<char*>(first->comment.c_str());
  s.comment.comment_len = static_cast<uint32_t>(long_text.size() + 1);
  s.d_spect_array.d_spect_array_val = const_cast<float*>(first->data.data());
  ASSERT_FALSE(d.set_ts_spect(1, 2, 3, &s, 100));
  EXPECT_EQ(d.get_spectrum(100)->comment, long_text);
  EXPECT_EQ(d.get_spectrum(100)->data, values);
  ASSERT_FALSE(d.set(1, 0, 0, 0, long_text, 0));
  ASSERT_FALSE(d.set(2, 0, 0, 0, d.get_ustr(0)->str, 100));
  EXPECT_EQ(d.get_ustr(100)->str, long_text);
}
