// Classification reads only the value's read side. Image sizes are multiplied
// in 64 bits after each factor is checked positive and bounded, so a hostile
// header can neither overflow nor claim more bytes than the value holds.
#include "value_layout.h"

#include <cstdint>

#include "velmor.h"

namespace {

constexpr int64_t kMaxPaddedCells = int64_t{16} << 20;

// The number codes are two runs: scalars (int, float, double) and arrays.
bool is_number(int type) {
  return (type >= velmor::DATA_INT && type <= velmor::DATA_DOUBLE) ||
         (type >= velmor::DATA_A_INT && type <= velmor::DATA_A_DOUBLE);
}

bool is_scalar(int type) {
  return type == velmor::DATA_INT || type == velmor::DATA_FLOAT || type == velmor::DATA_DOUBLE;
}

ValueLayout image_layout(const velmor::EqData& d, ValueLayout l) {
  const velmor::IMH* h = d.get_image_header();
  int64_t bytes = d.get_image_length();
  if (h == nullptr) {
    l.kind = ValueKind::raw;
    l.raw_reason = "image header: none";
    return l;
  }
  const char* bad = nullptr;
  if (h->width <= 0 || h->height <= 0 || h->width > velmor::kMaxElements ||
      h->height > velmor::kMaxElements) {
    bad = "image header: width or height out of range";
  } else if (h->bpp != 1 && h->bpp != 2) {
    bad = "image header: bytes per pixel not 1 or 2";
  } else if (int64_t{h->width} * h->height * h->bpp != bytes) {
    bad = "image header: width * height * bpp differs from the data length";
  }
  if (bad != nullptr) {
    l.kind = ValueKind::raw;
    l.raw_image = true;
    l.raw_reason = bad;
    return l;
  }
  l.kind = ValueKind::image;
  l.width = h->width;
  l.height = h->height;
  l.bpp = h->bpp;
  return l;
}

}  // namespace

ValueLayout classify(const velmor::EqData* value) {
  ValueLayout l;
  if (value == nullptr) return l;
  const velmor::EqData& d = *value;
  int type = d.type();
  l.data_type = type;
  if (type == velmor::DATA_A_TS_SPECTRUM || type == velmor::DATA_A_TS_GSPECTRUM) {
    l.kind = ValueKind::spectrum;
    l.group = type == velmor::DATA_A_TS_GSPECTRUM;
    l.spectra = d.spectrum_count();
    l.length = 0;
    for (int i = 0; i < l.spectra; ++i) {
      const velmor::SpectrumElement* e = d.get_spectrum(i);
      if (e != nullptr && static_cast<int64_t>(e->data.size()) > l.length)
        l.length = static_cast<int>(e->data.size());
    }
    // Empty arrays would make empty dataset axes: no spectra stores the stamp
    // alone, empty spectra a row of one NaN with length 0.
    if (l.spectra == 0) l.kind = ValueKind::none;
    if (l.length == 0) l.length = 1;
    // Rows are padded to the longest spectrum and carry 32 header numbers per
    // spectrum: a value that would blow up that way is kept as it came.
    int64_t cells = int64_t{l.spectra} * (l.length > 32 ? l.length : 32);
    if (cells > kMaxPaddedCells) {
      l.kind = ValueKind::raw;
      l.raw_reason = "spectra: " + std::to_string(l.spectra) + " x " + std::to_string(l.length) +
                     " too large to pad";
    }
  } else if (type == velmor::DATA_IMAGE) {
    return image_layout(d, l);
  } else if (type == velmor::DATA_A_USTR) {
    l.kind = ValueKind::items;
  } else if (is_number(type)) {
    l.kind = ValueKind::number;
    l.length = is_scalar(type) ? -1 : d.value_count();
    if (l.length == 0) l.kind = ValueKind::none;
  } else if (type == velmor::DATA_STRING || type == velmor::DATA_XML) {
    l.kind = ValueKind::text;
  } else if (type == velmor::DATA_A_STRING) {
    l.kind = ValueKind::text;
    l.text_array = true;
  } else if (type == velmor::DATA_NULL) {
    l.kind = ValueKind::none;
  } else {
    l.kind = ValueKind::raw;
    l.raw_reason = "data type " + std::to_string(type);
  }
  return l;
}

ValueLayout slow_layout() {
  ValueLayout l;
  l.kind = ValueKind::slow;
  return l;
}

bool layout_accepts(const ValueLayout& g, const ValueLayout& v) {
  if (g.kind != v.kind || g.data_type != v.data_type) return false;
  switch (g.kind) {
    case ValueKind::number:
      return g.length == v.length;
    case ValueKind::spectrum:
      return g.spectra == v.spectra && v.length <= g.length;
    case ValueKind::image:
      return g.width == v.width && g.height == v.height && g.bpp == v.bpp;
    case ValueKind::text:
      return g.text_array == v.text_array;
    case ValueKind::raw:
      return g.raw_image == v.raw_image;
    default:
      return true;
  }
}

const char* kind_name(ValueKind kind) {
  // In the order of ValueKind.
  static const char* const kNames[] = {"number", "spectrum", "image", "items",
                                       "text",   "none",     "raw",   "slow"};
  return kNames[static_cast<int>(kind)];
}
