// An image row is the value's pixel bytes copied as they are: the layout
// checked width * height * bpp against the byte count before a value gets
// here. The header is one compound row, so readers get its fields by name.
#include "image_writer.h"

#include <cstddef>
#include <cstring>

#include "h5_attributes.h"
#include "velmor.h"

namespace {

hid_t header_type() {
  hid_t t = H5Tcreate(H5T_COMPOUND, sizeof(velmor::IMH));
#define DAQ_IMH_FIELD(f, type) H5Tinsert(t, #f, offsetof(velmor::IMH, f), type)
  DAQ_IMH_FIELD(width, H5T_NATIVE_INT);
  DAQ_IMH_FIELD(height, H5T_NATIVE_INT);
  DAQ_IMH_FIELD(aoi_width, H5T_NATIVE_INT);
  DAQ_IMH_FIELD(aoi_height, H5T_NATIVE_INT);
  DAQ_IMH_FIELD(x_start, H5T_NATIVE_INT);
  DAQ_IMH_FIELD(y_start, H5T_NATIVE_INT);
  DAQ_IMH_FIELD(bpp, H5T_NATIVE_INT);
  DAQ_IMH_FIELD(ebitpp, H5T_NATIVE_INT);
  DAQ_IMH_FIELD(hbin, H5T_NATIVE_INT);
  DAQ_IMH_FIELD(vbin, H5T_NATIVE_INT);
  DAQ_IMH_FIELD(source_format, H5T_NATIVE_INT);
  DAQ_IMH_FIELD(image_format, H5T_NATIVE_INT);
  DAQ_IMH_FIELD(frame, H5T_NATIVE_UINT32);
  DAQ_IMH_FIELD(event, H5T_NATIVE_UINT32);
  DAQ_IMH_FIELD(scale_x, H5T_NATIVE_FLOAT);
  DAQ_IMH_FIELD(scale_y, H5T_NATIVE_FLOAT);
  DAQ_IMH_FIELD(image_rotation, H5T_NATIVE_FLOAT);
  DAQ_IMH_FIELD(fspare2, H5T_NATIVE_FLOAT);
  DAQ_IMH_FIELD(fspare3, H5T_NATIVE_FLOAT);
  DAQ_IMH_FIELD(fspare4, H5T_NATIVE_FLOAT);
  DAQ_IMH_FIELD(image_flags, H5T_NATIVE_INT);
  DAQ_IMH_FIELD(ispare2, H5T_NATIVE_INT);
  DAQ_IMH_FIELD(ispare3, H5T_NATIVE_INT);
  DAQ_IMH_FIELD(ispare4, H5T_NATIVE_INT);
  DAQ_IMH_FIELD(length, H5T_NATIVE_INT);
#undef DAQ_IMH_FIELD
  return t;
}

// Header and comment columns, shared by images and raw images.
class HeaderColumns {
 public:
  void declare(Column& header, Column& comment) {
    header_ = &header;
    comment_ = &comment;
  }
  void add(const velmor::EqData& d) {
    const velmor::IMH* h = d.get_image_header();
    void* row = header_->grow(1);  // zero-filled when there is no header
    if (h != nullptr) std::memcpy(row, h, sizeof *h);
    comment_->add_text(d.get_image_comm());
  }

 private:
  Column* header_ = nullptr;
  Column* comment_ = nullptr;
};

class ImageWriter : public ChannelWriter {
 public:
  ImageWriter(ChannelInfo info, const ValueLayout& l) : ChannelWriter(std::move(info), l) {
    H5Handle t = h5_type(header_type());
    image_ = &column("image", l.bpp == 1 ? H5T_NATIVE_UINT8 : H5T_NATIVE_UINT16,
                     {hsize_t(l.height), hsize_t(l.width)});
    headers_.declare(column("header", t.get()), column("comment", 0, {}, Column::Form::text));
  }

 private:
  void add_value(const ChannelValue& v) override {
    const unsigned char* bytes = v.data->get_image_data();
    void* row = image_->grow(1);
    if (bytes != nullptr) std::memcpy(row, bytes, image_->row_bytes());
    headers_.add(*v.data);
  }

  Column* image_;
  HeaderColumns headers_;
};

class RawWriter : public ChannelWriter {
 public:
  RawWriter(ChannelInfo info, const ValueLayout& l) : ChannelWriter(std::move(info), l) {
    data_ = &column("data", 0, {}, Column::Form::bytes);
    if (!l.raw_image) return;
    H5Handle t = h5_type(header_type());
    headers_.declare(column("header", t.get()), column("comment", 0, {}, Column::Form::text));
  }

 private:
  void add_value(const ChannelValue& v) override {
    if (layout_.raw_image) {
      int n = v.data->get_image_length();
      const unsigned char* bytes = v.data->get_image_data();
      data_->add_bytes(bytes, bytes != nullptr && n > 0 ? size_t(n) : 0);
      headers_.add(*v.data);
      return;
    }
    std::string out;
    v.data->serialize(out);  // too large: an empty row, the value cannot be kept whole
    data_->add_bytes(out.data(), out.size());
  }
  bool attributes(hid_t g) override { return h5_attr_text(g, "raw_reason", layout_.raw_reason); }

  Column* data_;
  HeaderColumns headers_;
};

}  // namespace

std::unique_ptr<ChannelWriter> make_image_writer(ChannelInfo info, const ValueLayout& layout) {
  return std::make_unique<ImageWriter>(std::move(info), layout);
}

std::unique_ptr<ChannelWriter> make_raw_writer(ChannelInfo info, const ValueLayout& layout) {
  return std::make_unique<RawWriter>(std::move(info), layout);
}
