// ChannelWriter: one channel group of the file. The base owns the group, its
// attributes and the two columns every group has (event_number, time_us); each
// kind adds its own columns and fills them from a value. make_channel_writer
// picks the kind from the value's layout.
#ifndef DAQ_HDF5_CHANNEL_WRITER_H
#define DAQ_HDF5_CHANNEL_WRITER_H

#include <hdf5.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "column.h"
#include "h5_handle.h"
#include "value_layout.h"

namespace velmor {
class EqData;
}

// Who the group is: written as its attributes.
struct ChannelInfo {
  std::string group_name;  // escaped name in the file, with its #k suffix
  std::string channel;     // as the server named it
  std::string requested;
  int dtype = 0;
  int devtype = 0;
};

// One value to store: a channel value, or a slow-data entry (data null).
struct ChannelValue {
  uint64_t event = 0;
  int64_t time_us = 0;
  const velmor::EqData* data = nullptr;
  float slow_value = 0;
  int32_t slow_status = 0;
};

class ChannelWriter {
 public:
  ChannelWriter(ChannelInfo info, ValueLayout layout);
  virtual ~ChannelWriter() = default;

  // Creates the group, its attributes and its datasets. True on failure.
  bool create(hid_t file, int gzip);
  // Opens group and datasets again after the file was reopened.
  bool reopen(hid_t file);
  void close();

  void add(const ChannelValue& v);
  // Appends the buffered rows; true on failure.
  bool write();
  size_t pending_bytes() const;

  const ValueLayout& layout() const { return layout_; }
  const ChannelInfo& info() const { return info_; }

 protected:
  Column& column(const std::string& name, hid_t type, std::vector<hsize_t> inner = {},
                 Column::Form form = Column::Form::fixed);
  // The kind's rows for one value (the common columns are done).
  virtual void add_value(const ChannelValue& v) = 0;
  // The kind's own group attributes; true on failure.
  virtual bool attributes(hid_t) { return false; }
  // Rows stored so far plus pending: the row index of the next value.
  uint64_t rows() const { return rows_; }

  ValueLayout layout_;

 private:
  ChannelInfo info_;
  H5Handle group_;
  std::vector<std::unique_ptr<Column>> columns_;
  Column* event_;
  Column* time_;
  uint64_t rows_ = 0;
};

std::unique_ptr<ChannelWriter> make_channel_writer(ChannelInfo info, const ValueLayout& layout);

#endif
