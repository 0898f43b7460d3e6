// Spectrum sub-blocks: one spectrum per channel, one per sub-channel for the
// multi-sub-channel types, and group spectra. The value arrays are handed to the
// data object where they lie in the event (the setter copies them), after a check
// that the whole array lies inside the sub-block.
#ifndef DAQ_CACHE_SUB_BLOCK_SPECTRA_H
#define DAQ_CACHE_SUB_BLOCK_SPECTRA_H

#include <cstdio>
#include <cstring>

#include "channel_target.h"
#include "daq_diag.h"
#include "daq_text.h"
#include "sub_block.h"
#include "sub_block_values.h"
#include "velmor.h"

// Room for "<channel>_<sub-channel>"; longer comments are cut to fit.
enum { SPECTRUM_COMMENT_SIZE = 256, SHORT_COMMENT_CHARS = 79 };

// "<channel>_<sub-channel>", cut to fit the buffer.
inline void sub_channel_comment(char (&out)[SPECTRUM_COMMENT_SIZE], const char* channel,
                                const char* sub_name) {
  copy_text(out, channel);
  std::size_t n = std::strlen(out);
  if (n + 1 >= sizeof out) return;
  out[n] = '_';
  copy_text(out + n + 1, sizeof out - n - 1, sub_name != nullptr ? sub_name : "");
}

inline bool is_multi_spectrum(int data_type) {
  return data_type == ORXA_MULTI_SPECT_A || data_type == ORXA_MULTI_SPECT_B;
}

// The sub-channel's values when all count of them lie inside the sub-block.
inline float* spectrum_values(const SubBlock& b, int index, long long count) {
  void* p = get_pointer_to_data_2010(b.head, index);
  return lies_inside<float>(p, count, b) ? static_cast<float*>(p) : nullptr;
}

inline void report_bad_parameters(const SubBlock& b) {
  daq_print("daq_data_to_cache() Failed to get spectrum parameters for %s skipping\n",
            shown(b.name).text);
}
inline void report_bad_data(const char* comment) {
  daq_print("daq_data_to_cache() Failed to obtain pointer to data for %s !!!skipping\n",
            shown(comment).text);
}

// A comment of at most the first 79 characters of the channel name. The name is
// used where it lies when it is short enough (the setter copies it); only a
// longer one is cut into `room`. Returns the text and sets its length.
inline const char* short_comment(const SubBlock& b, char (&room)[SHORT_COMMENT_CHARS + 1],
                                 std::size_t* length) {
  std::size_t n = ::strnlen(b.name, SHORT_COMMENT_CHARS + 1);
  if (n <= SHORT_COMMENT_CHARS) {
    *length = n;
    return b.name;
  }
  copy_text(room, b.name);
  *length = SHORT_COMMENT_CHARS;
  return room;
}

// Stores spectrum index of the channel: header fields from the event, the values
// where they lie in the event (the setter copies them). comment_chars is the
// comment's length without the NUL. True when the setter could not store it
// (memory ran out).
inline bool store_spectrum(velmor::EqData* d, const EventStamp& stamp, const char* comment,
                           std::size_t comment_chars, float start, float inc, float* values,
                           long long count, int index) {
  velmor::SPECTRUM s{};
  // The record's field is not const; the setter only reads it.
  s.comment.comment_val = const_cast<char*>(comment);
  s.comment.comment_len = static_cast<uint32_t>(comment_chars + 1);
  s.tm = static_cast<time_t>(stamp.time.timeup);
  s.s_start = start;
  s.s_inc = inc;
  s.status = stamp.low32();
  s.d_spect_array.d_spect_array_len = static_cast<uint32_t>(count);
  s.d_spect_array.d_spect_array_val = values;
  return d->set_ts_spect(stamp.time.timeup, stamp.millis(), stamp.low16(), &s, index);
}

template <class Gen>
void convert_single_spectrum(ChannelTarget<Gen>& target, const SubBlock& b, const EventStamp& stamp,
                             int nsub) {
  float start = 0, inc = 0, group_inc = 0;
  int length = 0, groups = 0;
  orxa_spect_statistics_2010* stats = nullptr;
  if (get_spect_params_for_data_type_2010(b.head, &start, &inc, nullptr, &length, &groups,
                                          &group_inc, &stats, 0)) {
    report_bad_parameters(b);
    target.take_out();
    return;
  }
  char room[SHORT_COMMENT_CHARS + 1];
  std::size_t comment_chars = 0;
  const char* comment = short_comment(b, room, &comment_chars);
  long long count = static_cast<long long>(nsub) * length;
  float* values = spectrum_values(b, 0, count);
  if (values == nullptr) {
    report_bad_data(comment);
    target.take_out();
    return;
  }
  if (store_spectrum(target.data(), stamp, comment, comment_chars, start, inc, values, count, 0))
    target.mark_lost();
}

template <class Gen>
void convert_multi_spectrum(ChannelTarget<Gen>& target, const SubBlock& b, const EventStamp& stamp,
                            int nsub) {
  if (nsub > MAX_ELEMENTS_PER_CHANNEL)
    daq_line("daq_data_to_cache() WARNING not all subchannels will be put !!!");
  for (int j = 0; j < nsub && j < MAX_ELEMENTS_PER_CHANNEL; ++j) {
    const char* sub_name = get_chan_name(b.data_type, j);
    char comment[SPECTRUM_COMMENT_SIZE];
    sub_channel_comment(comment, b.name, sub_name);
    float start = 0, inc = 0, group_inc = 0;
    int length = 0, groups = 0;
    orxa_spect_statistics_2010* stats = nullptr;
    if (get_spect_params_for_data_type_2010(b.head, &start, &inc, nullptr, &length, &groups,
                                            &group_inc, &stats, j)) {
      report_bad_parameters(b);
      target.take_out();
      continue;
    }
    float* values = nullptr;
    if (length != 0) {
      values = spectrum_values(b, j, length);
      if (values == nullptr) {
        report_bad_data(comment);
        target.mark_lost();
        continue;
      }
    }
    if (store_spectrum(target.data(), stamp, comment, std::strlen(comment), start, inc, values,
                       length, j))
      target.mark_lost();
  }
}

template <class Gen>
void convert_spectrum(ChannelTarget<Gen>& target, const SubBlock& b, const EventStamp& stamp) {
  target.data()->set_type(velmor::DATA_A_TS_SPECTRUM);
  int nsub = get_channel_number(b.data_type, nullptr);
  if (is_multi_spectrum(b.data_type))
    convert_multi_spectrum(target, b, stamp, nsub);
  else
    convert_single_spectrum(target, b, stamp, nsub);
}

template <class Gen>
void convert_group_spectrum(ChannelTarget<Gen>& target, const SubBlock& b,
                            const EventStamp& stamp) {
  velmor::EqData* d = target.data();
  d->set_type(velmor::DATA_A_TS_GSPECTRUM);
  int nsub = get_channel_number(b.data_type, b.head);
  d->length(nsub);
  char room[SHORT_COMMENT_CHARS + 1];
  std::size_t comment_chars = 0;
  const char* comment = short_comment(b, room, &comment_chars);
  // Statistics are left as the previous sub-channel set them when a block has none.
  velmor::GSPECTRUM g{};
  for (int j = 0; j < nsub && j < MAX_ELEMENTS_PER_CHANNEL; ++j) {
    float start = 0, inc = 0, group_inc = 0;
    int group_size = 0, groups = 0;
    orxa_spect_statistics_2010* stats = nullptr;
    if (get_spect_params_for_data_type_2010(b.head, &start, &inc, nullptr, &group_size, &groups,
                                            &group_inc, &stats, j)) {
      report_bad_parameters(b);
      target.take_out();
      continue;
    }
    long long count = static_cast<long long>(group_size) * groups;
    float* values = spectrum_values(b, j, count);
    if (values == nullptr) {
      report_bad_data(comment);
      target.take_out();
      continue;
    }
    g.comment.comment_val = const_cast<char*>(comment);
    g.comment.comment_len = static_cast<uint32_t>(comment_chars + 1);
    g.id = stamp.low32();
    g.tm = static_cast<time_t>(stamp.time.timeup);
    g.s_start = start;
    g.s_inc = inc;
    g.status = stamp.low32();
    g.groups = groups;
    g.group_size = group_size;
    g.group_inc = group_inc;
    g.d_gspect_array.d_gspect_array_len = static_cast<uint32_t>(count);
    g.d_gspect_array.d_gspect_array_val = values;
    if (stats != nullptr && lies_inside<orxa_spect_statistics_2010>(stats, j + 1LL, b)) {
      const char* entry =
          reinterpret_cast<const char*>(stats) + static_cast<std::size_t>(j) * sizeof *stats;
      std::memcpy(&g.stat_mask, entry + offsetof(orxa_spect_statistics_2010, mask),
                  sizeof g.stat_mask);
      const char* vals = entry + offsetof(orxa_spect_statistics_2010, val);
      // The 32 values fill statistics then timing_param, bit for bit.
      std::memcpy(g.statistics, vals, sizeof g.statistics);
      std::memcpy(g.timing_param, vals + sizeof g.statistics, sizeof g.timing_param);
    }
    if (d->set_ts_gspect(stamp.time.timeup, stamp.millis(), stamp.low16(), &g, j))
      target.mark_lost();
  }
}

#endif
