// Attributes of a file's root or of a group: each call replaces an attribute of
// the same name, so values written early (while the file is being written) are
// rewritten with their final values at close.
#ifndef DAQ_HDF5_H5_ATTRIBUTES_H
#define DAQ_HDF5_H5_ATTRIBUTES_H

#include <hdf5.h>

#include <cstdint>
#include <string>
#include <vector>

// Each returns true on failure.
bool h5_attr_int(hid_t object, const char* name, int64_t value, hid_t type);
bool h5_attr_double(hid_t object, const char* name, double value);
bool h5_attr_text(hid_t object, const char* name, const std::string& value);
bool h5_attr_texts(hid_t object, const char* name, const std::vector<std::string>& values);

inline bool h5_attr_i32(hid_t o, const char* name, int64_t v) {
  return h5_attr_int(o, name, v, H5T_NATIVE_INT32);
}
inline bool h5_attr_i64(hid_t o, const char* name, int64_t v) {
  return h5_attr_int(o, name, v, H5T_NATIVE_INT64);
}
inline bool h5_attr_u32(hid_t o, const char* name, int64_t v) {
  return h5_attr_int(o, name, v, H5T_NATIVE_UINT32);
}
bool h5_attr_u64(hid_t object, const char* name, uint64_t value);

// A variable-length string type (UTF-8), owned by the caller.
hid_t h5_vlen_string_type();

#endif
