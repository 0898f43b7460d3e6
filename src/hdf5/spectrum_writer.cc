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
  // Rows are made whole first and filled per spectrum: each column's row
  // holds S entries (of 24 or 8 for the statistics and timing).
  template <typename T>
  static T* row(Column* c) {
    return c != nullptr ? static_cast<T*>(c->grow(1)) : nullptr;
  }

  void add_value(const ChannelValue& v) override {
    size_t s = size_t(layout_.spectra), n = size_t(layout_.length);
    float* values = row<float>(value_);
    uint32_t* lengths = row<uint32_t>(length_);
    float* starts = row<float>(start_);
    float* incs = row<float>(inc_);
    uint32_t* statuses = row<uint32_t>(status_);
    uint32_t* ids = row<uint32_t>(id_);
    int32_t* groups = row<int32_t>(groups_);
    int32_t* group_sizes = row<int32_t>(group_size_);
    float* group_incs = row<float>(group_inc_);
    uint32_t* masks = row<uint32_t>(stat_mask_);
    float* statistics = row<float>(statistics_);
    int32_t* timing = row<int32_t>(timing_);
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
      ids[i] = e->id;
      groups[i] = e->groups;
      group_sizes[i] = e->group_size;
      group_incs[i] = e->group_inc;
      masks[i] = e->stat_mask;
      std::memcpy(statistics + i * 24, e->statistics, sizeof e->statistics);
      std::memcpy(timing + i * 8, e->timing_param, sizeof e->timing_param);
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
