// Spectra: one row of S spectra per value, each padded with NaN to the
// group's length L (a value's spectra may be shorter, never longer: the sink
// opens a sibling group for that), with the header fields per spectrum.
#include <cmath>
#include <cstring>
#include <limits>

#include "h5_attributes.h"
#include "spectrum_writer.h"
#include "velmor.h"

namespace {

class SpectrumWriter : public ChannelWriter {
 public:
  SpectrumWriter(ChannelInfo info, const ValueLayout& l) : ChannelWriter(std::move(info), l) {
    hsize_t s = hsize_t(l.spectra), n = hsize_t(l.length);
    value_ = &column("value", H5T_NATIVE_FLOAT,
                     s == 1 ? std::vector<hsize_t>{n} : std::vector<hsize_t>{s, n});
    length_ = &column("length", H5T_NATIVE_UINT32, {s});
    start_ = &column("start", H5T_NATIVE_FLOAT, {s});
    inc_ = &column("inc", H5T_NATIVE_FLOAT, {s});
    status_ = &column("status", H5T_NATIVE_UINT32, {s});
    name_ = &column("name", 0, {s}, Column::Form::text);
    if (!l.group) return;
    id_ = &column("id", H5T_NATIVE_UINT32, {s});
    groups_ = &column("groups", H5T_NATIVE_INT32, {s});
    group_size_ = &column("group_size", H5T_NATIVE_INT32, {s});
    group_inc_ = &column("group_inc", H5T_NATIVE_FLOAT, {s});
    stat_mask_ = &column("stat_mask", H5T_NATIVE_UINT32, {s});
    statistics_ = &column("statistics", H5T_NATIVE_FLOAT, {s, 24});
    timing_ = &column("timing_param", H5T_NATIVE_INT32, {s, 8});
  }

 private:
  void add_value(const ChannelValue& v) override {
    size_t s = size_t(layout_.spectra), n = size_t(layout_.length);
    float* values = static_cast<float*>(value_->grow(1));
    uint32_t* lengths = static_cast<uint32_t*>(length_->grow(1));
    float* starts = static_cast<float*>(start_->grow(1));
    float* incs = static_cast<float*>(inc_->grow(1));
    uint32_t* statuses = static_cast<uint32_t*>(status_->grow(1));
    for (size_t i = 0; i < s * n; ++i) values[i] = std::numeric_limits<float>::quiet_NaN();
    static const velmor::SpectrumElement kEmpty;
    for (size_t i = 0; i < s; ++i) {
      const velmor::SpectrumElement* e = v.data->get_spectrum(int(i));
      if (e == nullptr) e = &kEmpty;
      size_t len = e->data.size() < n ? e->data.size() : n;
      if (len > 0) std::memcpy(values + i * n, e->data.data(), len * sizeof(float));
      lengths[i] = uint32_t(len);
      starts[i] = e->s_start;
      incs[i] = e->s_inc;
      statuses[i] = e->status;
      name_->add_text(e->comment);
      if (!layout_.group) continue;
      int32_t groups = e->groups, group_size = e->group_size;
      id_->add(&e->id);
      groups_->add(&groups);
      group_size_->add(&group_size);
      group_inc_->add(&e->group_inc);
      stat_mask_->add(&e->stat_mask);
      statistics_->add(e->statistics);
      timing_->add(e->timing_param);
    }
  }
  bool attributes(hid_t g) override { return h5_attr_i32(g, "group", layout_.group ? 1 : 0); }

  Column *value_, *length_, *start_, *inc_, *status_, *name_;
  Column *id_ = nullptr, *groups_ = nullptr, *group_size_ = nullptr, *group_inc_ = nullptr,
         *stat_mask_ = nullptr, *statistics_ = nullptr, *timing_ = nullptr;
};

}  // namespace

std::unique_ptr<ChannelWriter> make_spectrum_writer(ChannelInfo info, const ValueLayout& layout) {
  return std::make_unique<SpectrumWriter>(std::move(info), layout);
}
