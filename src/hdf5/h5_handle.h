// Owns one HDF5 identifier and closes it with the matching call, so every
// error path releases what it opened.
#ifndef DAQ_HDF5_H5_HANDLE_H
#define DAQ_HDF5_H5_HANDLE_H

#include <hdf5.h>

#include <utility>

class H5Handle {
 public:
  using Closer = herr_t (*)(hid_t);
  H5Handle() = default;
  H5Handle(hid_t id, Closer closer) : id_(id), closer_(closer) {}
  ~H5Handle() { reset(); }
  H5Handle(H5Handle&& o) noexcept : id_(o.id_), closer_(o.closer_) { o.id_ = -1; }
  H5Handle& operator=(H5Handle&& o) noexcept {
    if (this != &o) {
      reset();
      id_ = std::exchange(o.id_, -1);
      closer_ = o.closer_;
    }
    return *this;
  }
  H5Handle(const H5Handle&) = delete;
  H5Handle& operator=(const H5Handle&) = delete;

  hid_t get() const { return id_; }
  bool valid() const { return id_ >= 0; }
  // Closes now; true when the close call failed.
  bool reset() {
    herr_t rc = 0;
    if (id_ >= 0 && closer_ != nullptr) rc = closer_(id_);
    id_ = -1;
    return rc < 0;
  }

 private:
  hid_t id_ = -1;
  Closer closer_ = nullptr;
};

inline H5Handle h5_space(hid_t id) { return H5Handle(id, H5Sclose); }
inline H5Handle h5_type(hid_t id) { return H5Handle(id, H5Tclose); }
inline H5Handle h5_plist(hid_t id) { return H5Handle(id, H5Pclose); }
inline H5Handle h5_group(hid_t id) { return H5Handle(id, H5Gclose); }
inline H5Handle h5_dataset(hid_t id) { return H5Handle(id, H5Dclose); }
inline H5Handle h5_attr(hid_t id) { return H5Handle(id, H5Aclose); }

#endif
