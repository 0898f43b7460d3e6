// Synthetic event content. Buffers are kept between events, so a stream of equal
// events allocates nothing after its first event. Values follow the pulse so that
// consecutive events differ and a reader can tell them apart.
//
// A sampled channel carries exactly the values the whole channel would carry at
// the sampled indices, and its sub-heads say where they lie on the sample axis.
#include "event_synth.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "daq_generation.h"
#include "daq_text.h"

namespace {

// Where sample 0 of a synthetic spectrum lies on its axis, and the axis steps.
struct SpectrumAxis {
  float start;
  float inc;
  float group_inc;
};

SpectrumAxis spectrum_axis(ChannelKind kind) {
  if (kind == ChannelKind::group_spectrum) return {0.0f, 0.5f, 10.0f};
  return {0.0f, 1.0f, 0.0f};
}

int spectrum_subs(const CatalogChannel& c) {
  switch (c.kind) {
    case ChannelKind::multi_a:
      return ORXA_MULTI_SPECT_A_CHANNELS;
    case ChannelKind::multi_b:
      return ORXA_MULTI_SPECT_B_CHANNELS;
    case ChannelKind::group_spectrum:
      return c.subs;
    default:
      return 1;
  }
}

int spectrum_groups(const CatalogChannel& c) {
  return c.kind == ChannelKind::group_spectrum ? c.groups : 1;
}

void set_object(velmor::EqData& object, const float* values, int count, time_stamp time,
                uint64_t event_number) {
  object.init();
  object.set_float_array(values, count);
  object.time(time.timeup, static_cast<int>(time.timelow));
  object.mpnum(static_cast<long>(event_number));
}

// The serialised size does not depend on the values, the time or the number.
uint64_t object_bytes(int count) {
  std::vector<float> zeros(static_cast<size_t>(count));
  velmor::EqData object;
  set_object(object, zeros.data(), count, time_stamp{0, 0}, 0);
  std::string bytes;
  if (object.serialize(bytes)) return UINT64_MAX / 4;  // refused wherever it is checked
  return bytes.size();
}

uint64_t pad8(uint64_t n) { return (n + 7u) & ~static_cast<uint64_t>(7u); }

}  // namespace

uint64_t synth_block_bytes(const CatalogChannel& c) {
  uint64_t region = 0;
  switch (c.kind) {
    case ChannelKind::spectrum:
    case ChannelKind::multi_a:
    case ChannelKind::multi_b:
    case ChannelKind::group_spectrum: {
      uint64_t nsub = static_cast<uint64_t>(spectrum_subs(c));
      uint64_t values = nsub * static_cast<uint64_t>(spectrum_groups(c)) *
                        static_cast<uint64_t>(channel_samples(c));
      region = sizeof(orxa_spect_block_2010) + nsub * sizeof(orxa_spect_channel_2010) +
               values * sizeof(float);
      if (c.kind == ChannelKind::group_spectrum)
        region += nsub * sizeof(orxa_spect_statistics_2010);
      break;
    }
    case ChannelKind::image:
      region = sizeof(orxa_image_ext_frame_head) + static_cast<uint64_t>(c.width) *
                                                       static_cast<uint64_t>(c.height) *
                                                       static_cast<uint64_t>(c.bpp);
      break;
    case ChannelKind::name_value:
      region = ORXA_NAME_VALUE_BLOCK_HEAD +
               static_cast<uint64_t>(c.values) * sizeof(orxa_name_value_channel);
      break;
    case ChannelKind::update:
      region = sizeof(orxa_upd_block_2010) +
               static_cast<uint64_t>(c.values) * sizeof(orxa_upd_value_2010);
      break;
    case ChannelKind::data_object:
      region = sizeof(orxa_eqdata_block_2010) + object_bytes(c.length);
      break;
    case ChannelKind::stamp:
      break;
    case ChannelKind::slow:
      return 0;
  }
  return pad8(ORXA_SUBHEAD_SIZE + region);
}

uint64_t synth_event_bytes(bool gen_2024, const std::vector<const CatalogChannel*>& channels) {
  uint64_t bytes = gen_2024 ? sizeof(orxa_eventheader_2024) + sizeof(orxa_serv_block_head_2024) +
                                  sizeof(orxa_eventtail_2024)
                            : sizeof(orxa_eventheader) + sizeof(orxa_serv_block_head_2010) +
                                  sizeof(orxa_eventtail);
  for (const CatalogChannel* c : channels) bytes += synth_block_bytes(*c);
  return bytes;
}

EventSynth::EventSynth(bool gen_2024, std::vector<const CatalogChannel*> event_channels,
                       std::vector<const CatalogChannel*> slow_channels, const char* server_name)
    : gen_2024_(gen_2024),
      event_channels_(std::move(event_channels)),
      slow_channels_(std::move(slow_channels)),
      server_name_(server_name),
      builder_(gen_2024 ? ORXA_FORMAT_2024 : ORXA_FORMAT_LEGACY),
      slow_builder_(gen_2024 ? ORXA_FORMAT_2024 : ORXA_FORMAT_LEGACY) {}

// A sine over a slope whose phase moves with the pulse, along the channel's
// blocks (sub-channels, groups) of `length` values each, at the sampled indices.
void EventSynth::fill_samples(const CatalogChannel& c, size_t blocks, uint64_t event_number,
                              float scale) {
  size_t n = static_cast<size_t>(channel_samples(c));
  size_t length = static_cast<size_t>(c.length);
  size_t first = static_cast<size_t>(c.sample_start);
  size_t step = static_cast<size_t>(c.sample_inc);
  values_.resize(blocks * n);
  float phase = static_cast<float>(event_number % 628) * 0.01f;
  for (size_t b = 0; b < blocks; ++b) {
    for (size_t k = 0; k < n; ++k) {
      float x = static_cast<float>(b * length + first + k * step);
      values_[b * n + k] = scale * (std::sin(x * 0.05f + phase) + 0.001f * x);
    }
  }
}

bool EventSynth::add_channel(const CatalogChannel& c, uint64_t event_number, time_stamp time) {
  const char* name = c.name.c_str();
  int32_t word = channel_type_word(c);
  float pulse = static_cast<float>(event_number % 1000);
  switch (c.kind) {
    case ChannelKind::spectrum:
    case ChannelKind::multi_a:
    case ChannelKind::multi_b:
    case ChannelKind::group_spectrum: {
      int nsub = spectrum_subs(c);
      int groups = spectrum_groups(c);
      int n = channel_samples(c);
      bool group_form = c.kind == ChannelKind::group_spectrum;
      size_t per = static_cast<size_t>(n) * static_cast<size_t>(groups);
      fill_samples(c, static_cast<size_t>(nsub) * static_cast<size_t>(groups), event_number,
                   group_form ? 2.0f : 1.0f);
      SpectrumAxis axis = spectrum_axis(c.kind);
      float start = axis.start + axis.inc * static_cast<float>(c.sample_start);
      float inc = axis.inc * static_cast<float>(c.sample_inc);
      subs_.assign(nsub, orxa_spect_input{});
      stats_.assign(group_form ? nsub : 0, orxa_spect_statistics_2010{});
      for (int j = 0; j < nsub; ++j) {
        const float* v = values_.data() + per * j;
        subs_[j] = {start, inc, n, groups, axis.group_inc, v, nullptr};
        if (!group_form) continue;
        double sum = 0;
        float low = per > 0 ? v[0] : 0.0f;
        float high = low;
        for (size_t i = 0; i < per; ++i) {
          sum += v[i];
          low = std::fmin(low, v[i]);
          high = std::fmax(high, v[i]);
        }
        stats_[j].mask = 0x7;  // mean, minimum, maximum
        stats_[j].val[0] = per > 0 ? static_cast<float>(sum / static_cast<double>(per)) : 0.0f;
        stats_[j].val[1] = low;
        stats_[j].val[2] = high;
        subs_[j].statistics = &stats_[j];
      }
      return builder_.add_spectra(name, word, subs_.data(), nsub, group_form);
    }
    case ChannelKind::image: {
      orxa_image_ext_frame_head head{};
      head.width = head.aoi_width = c.width;
      head.height = head.aoi_height = c.height;
      head.bpp = c.bpp;
      head.ebitpp = c.bpp * 8 > 12 ? 12 : c.bpp * 8;
      head.hbin = head.vbin = 1;
      head.frame = static_cast<uint32_t>(event_number);
      head.event = static_cast<uint32_t>(event_number);
      head.scale_x = head.scale_y = 1.0f;
      head.length = c.width * c.height * c.bpp;
      pixels_.resize(static_cast<size_t>(head.length));
      size_t shift = static_cast<size_t>(event_number % 256);
      for (size_t i = 0; i < pixels_.size(); ++i) {
        size_t pixel = i / static_cast<size_t>(c.bpp);
        pixels_[i] = static_cast<unsigned char>(pixel % static_cast<size_t>(c.width) + shift);
      }
      return builder_.add_image(name, word, head, pixels_.data());
    }
    case ChannelKind::name_value: {
      names_.assign(c.values, orxa_name_value_channel{});
      for (int i = 0; i < c.values; ++i) {
        std::snprintf(names_[i].name, sizeof names_[i].name, "VALUE%02d", i);
        names_[i].value = pulse * 0.1f + static_cast<float>(i);
      }
      return builder_.add_name_value(name, word, static_cast<int32_t>(event_number % 100000),
                                     "synthetic", names_.data(), c.values);
    }
    case ChannelKind::update: {
      updates_.assign(c.values, orxa_upd_value_2010{});
      for (int i = 0; i < c.values; ++i) {
        std::snprintf(updates_[i].name, sizeof updates_[i].name, "%s.%d", name, i);
        updates_[i].status = 0;
        updates_[i].time = time;
        updates_[i].value = 1e-7f * (1.0f + static_cast<float>(i) + pulse * 0.001f);
      }
      return builder_.add_update(name, word, updates_.data(), c.values);
    }
    case ChannelKind::data_object: {
      fill_samples(c, 1, event_number, 100.0f);
      set_object(object_, values_.data(), c.length, time, event_number);
      return builder_.add_data_object(name, word, object_);
    }
    case ChannelKind::stamp:
      return builder_.add_stamp(name, word);
    case ChannelKind::slow:
      return false;
  }
  return false;
}

const char* EventSynth::event(uint64_t event_number, time_stamp time, size_t* length) {
  builder_.begin(event_number, time, ORXA_EV_HB, server_name_);
  for (const CatalogChannel* c : event_channels_) {
    if (add_channel(*c, event_number, time)) return nullptr;
  }
  return builder_.finish(length);
}

const char* EventSynth::malformed_event(uint64_t event_number, time_stamp time, size_t* length) {
  builder_.begin(event_number, time, ORXA_EV_HB, server_name_);
  builder_.add_stamp("MALFORMED/SUB/BLOCK", ORXA_DT_STAMP);
  size_t n = 0;
  const char* ev = builder_.finish(&n);
  if (ev == nullptr) return nullptr;
  scratch_.assign(ev, ev + n);
  size_t header = gen_2024_ ? sizeof(orxa_eventheader_2024) : sizeof(orxa_eventheader);
  size_t block = gen_2024_ ? sizeof(orxa_serv_block_head_2024) : sizeof(orxa_serv_block_head_2010);
  size_t nchan_at = gen_2024_ ? offsetof(orxa_serv_block_head_2024, nchan)
                              : offsetof(orxa_serv_block_head_2010, nchan);
  int32_t nchan = 2;
  std::memcpy(scratch_.data() + header + nchan_at, &nchan, sizeof nchan);
  int32_t ldata = 0x40000000;
  std::memcpy(scratch_.data() + header + block + offsetof(orxa_serv_block_subhead_2010, ldata),
              &ldata, sizeof ldata);
  *length = scratch_.size();
  return scratch_.data();
}

const char* EventSynth::slow_block(uint64_t event_number, time_stamp time, size_t* length) {
  if (slow_channels_.empty()) return nullptr;
  slow_builder_.clear();
  float second = static_cast<float>(time.timeup % 3600);
  for (size_t i = 0; i < slow_channels_.size(); ++i) {
    float value = 20.0f + static_cast<float>(i) + 0.5f * std::sin(second * 0.01f);
    if (slow_builder_.add(slow_channels_[i]->name.c_str(), event_number, time, value)) {
      return nullptr;
    }
  }
  return slow_builder_.finish(length);
}

const char* EventSynth::end_of_stream(time_stamp time, size_t* length) {
  if (gen_2024_) {
    orxa_eventheader_2024 h{};
    h.pattern = ORXA_EVENT_PATTERN_2024;
    h.event_length = sizeof h + sizeof(orxa_eventtail_2024);
    h.event_number = Gen2024::kEndOfStream;
    h.event_time = time;
    orxa_eventtail_2024 t{static_cast<uint64_t>(h.event_length)};
    scratch_.resize(sizeof h + sizeof t);
    std::memcpy(scratch_.data(), &h, sizeof h);
    std::memcpy(scratch_.data() + sizeof h, &t, sizeof t);
  } else {
    orxa_eventheader h{};
    h.pattern = ORXA_EVENT_PATTERN;
    h.event_length = sizeof h + sizeof(orxa_eventtail);
    h.event_number = LegacyGen::kEndOfStream;
    h.event_time = time;
    orxa_eventtail t{h.event_length};
    scratch_.resize(sizeof h + sizeof t);
    std::memcpy(scratch_.data(), &h, sizeof h);
    std::memcpy(scratch_.data() + sizeof h, &t, sizeof t);
  }
  *length = scratch_.size();
  return scratch_.data();
}
