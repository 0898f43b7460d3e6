// How one value is stored: its kind and the shape every row of its group must
// share. The sizes come from the network, so classify() bounds them and sends
// an image whose header does not match its bytes to the raw kind.
#ifndef DAQ_HDF5_VALUE_LAYOUT_H
#define DAQ_HDF5_VALUE_LAYOUT_H

#include <string>

namespace velmor {
class EqData;
}

enum class ValueKind { number, spectrum, image, items, text, none, raw, slow };

struct ValueLayout {
  ValueKind kind = ValueKind::none;
  int data_type = 0;   // the value object's DATA_* code
  int length = -1;     // number: array length (-1: a scalar); spectrum: longest spectrum
  int spectra = 0;     // spectrum: spectra per value
  bool group = false;  // spectrum: group spectra
  int height = 0, width = 0, bpp = 0;  // image
  bool text_array = false;             // text: an array of texts
  bool raw_image = false;              // raw: pixel bytes with an image header
  std::string raw_reason;
};

// The layout of a value (null: none).
ValueLayout classify(const velmor::EqData* value);
ValueLayout slow_layout();

// Whether a group made for `group` can take a value of layout `value`.
bool layout_accepts(const ValueLayout& group, const ValueLayout& value);

const char* kind_name(ValueKind kind);

#endif
