// The common part of every channel group. Columns are declared by the kinds'
// constructors and created, reopened and written here together, so a group's
// datasets always advance by the same rows at one flush.
#include "channel_writer.h"

#include "daq_type_name.h"
#include "h5_attributes.h"

ChannelWriter::ChannelWriter(ChannelInfo info, ValueLayout layout)
    : layout_(std::move(layout)), info_(std::move(info)) {
  event_ = &column("event_number", H5T_NATIVE_UINT64);
  time_ = &column("time_us", H5T_NATIVE_INT64);
}

Column& ChannelWriter::column(const std::string& name, hid_t type, std::vector<hsize_t> inner,
                              Column::Form form) {
  columns_.push_back(std::make_unique<Column>(name, type, std::move(inner), form));
  return *columns_.back();
}

bool ChannelWriter::create(hid_t file, int gzip) {
  group_ =
      h5_group(H5Gcreate2(file, info_.group_name.c_str(), H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
  if (!group_.valid()) return true;
  hid_t g = group_.get();
  bool bad = h5_attr_text(g, "channel", info_.channel) ||
             h5_attr_text(g, "requested", info_.requested) ||
             h5_attr_text(g, "kind", kind_name(layout_.kind)) ||
             h5_attr_i32(g, "dtype", info_.dtype) || h5_attr_i32(g, "devtype", info_.devtype) ||
             h5_attr_text(g, "type_name",
                          layout_.kind == ValueKind::slow ? "slow" : daq_type_name(info_.dtype));
  if (!bad && layout_.kind != ValueKind::slow) bad = h5_attr_i32(g, "data_type", layout_.data_type);
  if (bad || attributes(g)) return true;
  for (auto& c : columns_)
    if (c->create(g, gzip)) return true;
  return false;
}

bool ChannelWriter::reopen(hid_t file) {
  group_ = h5_group(H5Gopen2(file, info_.group_name.c_str(), H5P_DEFAULT));
  if (!group_.valid()) return true;
  for (auto& c : columns_)
    if (c->open(group_.get())) return true;
  return false;
}

void ChannelWriter::close() {
  for (auto& c : columns_) c->close();
  group_.reset();
}

void ChannelWriter::add(const ChannelValue& v) {
  event_->add(&v.event);
  time_->add(&v.time_us);
  add_value(v);
  ++rows_;
}

bool ChannelWriter::write() {
  for (auto& c : columns_)
    if (c->write()) return true;
  return false;
}

size_t ChannelWriter::pending_bytes() const {
  size_t n = 0;
  for (const auto& c : columns_) n += c->pending_bytes();
  return n;
}
