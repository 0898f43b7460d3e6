// Reading back what the sink wrote, through the HDF5 C API alone, so the
// tests check the file a reader sees rather than the sink's own view of it.
#ifndef DAQ_TEST_H5_READ_H
#define DAQ_TEST_H5_READ_H

#include <hdf5.h>

#include <cstdint>
#include <string>
#include <vector>

// An open file (swmr: opened for single-writer/multiple-reader reading).
class H5Reader {
 public:
  explicit H5Reader(const std::string& path, bool swmr = false) {
    hid_t fapl = H5Pcreate(H5P_FILE_ACCESS);
    H5Pset_libver_bounds(fapl, H5F_LIBVER_LATEST, H5F_LIBVER_LATEST);
    unsigned flags = H5F_ACC_RDONLY | (swmr ? H5F_ACC_SWMR_READ : 0u);
    file_ = H5Fopen(path.c_str(), flags, fapl);
    H5Pclose(fapl);
  }
  ~H5Reader() {
    if (file_ >= 0) H5Fclose(file_);
  }
  H5Reader(const H5Reader&) = delete;
  H5Reader& operator=(const H5Reader&) = delete;
  bool ok() const { return file_ >= 0; }
  hid_t id() const { return file_; }

  bool exists(const std::string& path) const {
    return H5Lexists(file_, path.c_str(), H5P_DEFAULT) > 0;
  }

  // Every element of a dataset converted to T (mem_type), and its shape.
  template <typename T>
  std::vector<T> read(const std::string& path, hid_t mem_type,
                      std::vector<hsize_t>* shape = nullptr) const {
    std::vector<T> out;
    hid_t ds = H5Dopen2(file_, path.c_str(), H5P_DEFAULT);
    if (ds < 0) return out;
    H5Drefresh(ds);
    hid_t space = H5Dget_space(ds);
    int rank = H5Sget_simple_extent_ndims(space);
    std::vector<hsize_t> dims(rank > 0 ? rank : 0);
    H5Sget_simple_extent_dims(space, dims.data(), nullptr);
    hsize_t n = H5Sget_simple_extent_npoints(space);
    out.resize(n);
    if (n > 0) H5Dread(ds, mem_type, H5S_ALL, H5S_ALL, H5P_DEFAULT, out.data());
    H5Sclose(space);
    H5Dclose(ds);
    if (shape != nullptr) *shape = dims;
    return out;
  }
  std::vector<uint64_t> u64(const std::string& p, std::vector<hsize_t>* s = nullptr) const {
    return read<uint64_t>(p, H5T_NATIVE_UINT64, s);
  }
  std::vector<int64_t> i64(const std::string& p, std::vector<hsize_t>* s = nullptr) const {
    return read<int64_t>(p, H5T_NATIVE_INT64, s);
  }
  std::vector<double> f64(const std::string& p, std::vector<hsize_t>* s = nullptr) const {
    return read<double>(p, H5T_NATIVE_DOUBLE, s);
  }
  std::vector<std::string> texts(const std::string& path) const {
    hid_t ds = H5Dopen2(file_, path.c_str(), H5P_DEFAULT);
    if (ds < 0) return {};
    std::vector<std::string> out = vlen_texts(H5Dget_space(ds), [&](hid_t type, void* buf) {
      return H5Dread(ds, type, H5S_ALL, H5S_ALL, H5P_DEFAULT, buf);
    });
    H5Dclose(ds);
    return out;
  }

  // Attribute `name` of the object at path, as int64 / text ("" or -1 when absent).
  int64_t attr_int(const std::string& path, const char* name) const {
    int64_t v = -1;
    hid_t a = H5Aopen_by_name(file_, path.c_str(), name, H5P_DEFAULT, H5P_DEFAULT);
    if (a < 0) return v;
    H5Aread(a, H5T_NATIVE_INT64, &v);
    H5Aclose(a);
    return v;
  }
  std::vector<std::string> attr_texts(const std::string& path, const char* name) const {
    hid_t a = H5Aopen_by_name(file_, path.c_str(), name, H5P_DEFAULT, H5P_DEFAULT);
    if (a < 0) return {};
    std::vector<std::string> out =
        vlen_texts(H5Aget_space(a), [&](hid_t type, void* buf) { return H5Aread(a, type, buf); });
    H5Aclose(a);
    return out;
  }
  std::string attr_text(const std::string& path, const char* name) const {
    std::vector<std::string> t = attr_texts(path, name);
    return t.empty() ? std::string() : t[0];
  }

 private:
  // Reads variable-length strings through read(type, buffer); closes space.
  template <typename Read>
  static std::vector<std::string> vlen_texts(hid_t space, Read read) {
    std::vector<std::string> out;
    hid_t type = H5Tcopy(H5T_C_S1);
    H5Tset_size(type, H5T_VARIABLE);
    H5Tset_cset(type, H5T_CSET_UTF8);
    std::vector<char*> p(H5Sget_simple_extent_npoints(space));
    if (!p.empty() && read(type, p.data()) >= 0) {
      for (char* t : p) out.emplace_back(t != nullptr ? t : "");
      H5Dvlen_reclaim(type, space, H5P_DEFAULT, p.data());
    }
    H5Sclose(space);
    H5Tclose(type);
    return out;
  }

  hid_t file_ = -1;
};

#endif
