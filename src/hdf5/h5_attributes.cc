// Attribute writes: delete-then-create keeps one code path for first writes and
// rewrites, whatever the old attribute's type or size was.
#include "h5_attributes.h"

#include "h5_handle.h"

namespace {

// The value in memory has mem_type; HDF5 converts it to the attribute's type.
bool write_attr(hid_t object, const char* name, hid_t type, hid_t space, const void* value,
                hid_t mem_type) {
  if (H5Aexists(object, name) > 0 && H5Adelete(object, name) < 0) return true;
  H5Handle a = h5_attr(H5Acreate2(object, name, type, space, H5P_DEFAULT, H5P_DEFAULT));
  if (!a.valid()) return true;
  return H5Awrite(a.get(), mem_type, value) < 0;
}

bool write_attr(hid_t object, const char* name, hid_t type, hid_t space, const void* value) {
  return write_attr(object, name, type, space, value, type);
}

}  // namespace

hid_t h5_vlen_string_type() {
  hid_t t = H5Tcopy(H5T_C_S1);
  if (t < 0) return t;
  H5Tset_size(t, H5T_VARIABLE);
  H5Tset_cset(t, H5T_CSET_UTF8);
  return t;
}

bool h5_attr_int(hid_t object, const char* name, int64_t value, hid_t type) {
  H5Handle space = h5_space(H5Screate(H5S_SCALAR));
  return write_attr(object, name, type, space.get(), &value, H5T_NATIVE_INT64);
}

bool h5_attr_u64(hid_t object, const char* name, uint64_t value) {
  H5Handle space = h5_space(H5Screate(H5S_SCALAR));
  return write_attr(object, name, H5T_NATIVE_UINT64, space.get(), &value);
}

bool h5_attr_double(hid_t object, const char* name, double value) {
  H5Handle space = h5_space(H5Screate(H5S_SCALAR));
  return write_attr(object, name, H5T_NATIVE_DOUBLE, space.get(), &value);
}

bool h5_attr_text(hid_t object, const char* name, const std::string& value) {
  H5Handle type = h5_type(h5_vlen_string_type());
  H5Handle space = h5_space(H5Screate(H5S_SCALAR));
  const char* p = value.c_str();
  return write_attr(object, name, type.get(), space.get(), &p);
}

bool h5_attr_texts(hid_t object, const char* name, const std::vector<std::string>& values) {
  H5Handle type = h5_type(h5_vlen_string_type());
  hsize_t n = values.size();
  H5Handle space = h5_space(H5Screate_simple(1, &n, nullptr));
  std::vector<const char*> p;
  p.reserve(values.size());
  for (const std::string& v : values) p.push_back(v.c_str());
  // An empty list is a zero-length array; HDF5 still wants a buffer.
  const char* none = nullptr;
  return write_attr(object, name, type.get(), space.get(), p.empty() ? &none : p.data());
}
