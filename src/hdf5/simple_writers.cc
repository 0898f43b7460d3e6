// Numbers keep their own width (int64, float32, float64). An array's row
// length is fixed by the group's layout, which the sink checked against the
// value before handing it here, so a row never reads past the value.
#include "simple_writers.h"

#include "h5_attributes.h"
#include "velmor.h"

namespace {

class NumberWriter : public ChannelWriter {
 public:
  NumberWriter(ChannelInfo info, const ValueLayout& l) : ChannelWriter(std::move(info), l) {
    int t = l.data_type;
    ints_ = t == velmor::DATA_INT || t == velmor::DATA_A_INT;
    doubles_ = t == velmor::DATA_DOUBLE || t == velmor::DATA_A_DOUBLE;
    hid_t type = ints_ ? H5T_NATIVE_INT64 : doubles_ ? H5T_NATIVE_DOUBLE : H5T_NATIVE_FLOAT;
    n_ = l.length < 0 ? 1 : l.length;
    value_ = &column("value", type,
                     l.length < 0 ? std::vector<hsize_t>{} : std::vector<hsize_t>{hsize_t(n_)});
  }

 private:
  void add_value(const ChannelValue& v) override {
    void* row = value_->grow(1);
    for (int i = 0; i < n_; ++i) {
      if (ints_) {
        static_cast<int64_t*>(row)[i] = v.data->get_int(i);
      } else if (doubles_) {
        static_cast<double*>(row)[i] = v.data->get_double(i);
      } else {
        static_cast<float*>(row)[i] = v.data->get_float(i);
      }
    }
  }
  bool attributes(hid_t g) override {
    return layout_.length >= 0 && h5_attr_i32(g, "length", layout_.length);
  }

  Column* value_;
  int n_;
  bool ints_, doubles_;
};

class TextWriter : public ChannelWriter {
 public:
  TextWriter(ChannelInfo info, const ValueLayout& l) : ChannelWriter(std::move(info), l) {
    if (l.text_array) item_event_ = &column("item_event", H5T_NATIVE_UINT64);
    value_ = &column("value", 0, {}, Column::Form::text);
  }

 private:
  void add_value(const ChannelValue& v) override {
    if (item_event_ == nullptr) {
      value_->add_text(v.data->get_text(0));
      return;
    }
    uint64_t row = rows();
    for (int i = 0; i < v.data->value_count(); ++i) {
      item_event_->add(&row);
      value_->add_text(v.data->get_text(i));
    }
  }

  Column* item_event_ = nullptr;
  Column* value_;
};

class ItemsWriter : public ChannelWriter {
 public:
  ItemsWriter(ChannelInfo info, const ValueLayout& l) : ChannelWriter(std::move(info), l) {
    item_event_ = &column("item_event", H5T_NATIVE_UINT64);
    name_ = &column("name", 0, {}, Column::Form::text);
    value_ = &column("value", H5T_NATIVE_FLOAT);
    status_ = &column("status", H5T_NATIVE_FLOAT);
    number_ = &column("number", H5T_NATIVE_INT32);
    time_ = &column("time", H5T_NATIVE_INT64);
  }

 private:
  void add_value(const ChannelValue& v) override {
    uint64_t row = rows();
    for (int i = 0; i < v.data->ustr_count(); ++i) {
      const velmor::UstrElement* e = v.data->get_ustr(i);
      if (e == nullptr) continue;
      int32_t number = e->i1;
      int64_t tm = e->tm;
      item_event_->add(&row);
      name_->add_text(e->str);
      value_->add(&e->f1);
      status_->add(&e->f2);
      number_->add(&number);
      time_->add(&tm);
    }
  }

  Column *item_event_, *name_, *value_, *status_, *number_, *time_;
};

class SlowWriter : public ChannelWriter {
 public:
  SlowWriter(ChannelInfo info, const ValueLayout& l) : ChannelWriter(std::move(info), l) {
    value_ = &column("value", H5T_NATIVE_FLOAT);
    status_ = &column("status", H5T_NATIVE_INT32);
  }

 private:
  void add_value(const ChannelValue& v) override {
    value_->add(&v.slow_value);
    status_->add(&v.slow_status);
  }

  Column *value_, *status_;
};

class NoneWriter : public ChannelWriter {
 public:
  using ChannelWriter::ChannelWriter;

 private:
  void add_value(const ChannelValue&) override {}
};

}  // namespace

std::unique_ptr<ChannelWriter> make_number_writer(ChannelInfo info, const ValueLayout& layout) {
  return std::make_unique<NumberWriter>(std::move(info), layout);
}
std::unique_ptr<ChannelWriter> make_text_writer(ChannelInfo info, const ValueLayout& layout) {
  return std::make_unique<TextWriter>(std::move(info), layout);
}
std::unique_ptr<ChannelWriter> make_items_writer(ChannelInfo info, const ValueLayout& layout) {
  return std::make_unique<ItemsWriter>(std::move(info), layout);
}
std::unique_ptr<ChannelWriter> make_slow_writer(ChannelInfo info, const ValueLayout& layout) {
  return std::make_unique<SlowWriter>(std::move(info), layout);
}
std::unique_ptr<ChannelWriter> make_none_writer(ChannelInfo info, const ValueLayout& layout) {
  return std::make_unique<NoneWriter>(std::move(info), layout);
}
