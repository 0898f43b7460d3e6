// The file of a sink and its single-writer/multiple-reader state. HDF5 1.10
// cannot create objects while a writer is in that mode, so leave() closes the
// file and opens it again for ordinary writing, and enter() starts the mode
// again; the caller closes and reopens its own objects around leave().
#ifndef DAQ_HDF5_H5_FILE_H
#define DAQ_HDF5_H5_FILE_H

#include <hdf5.h>

#include <string>

#include "h5_handle.h"

class H5File {
 public:
  // Creates (truncates) the file in the latest format. True on failure.
  bool create(const std::string& path);
  // Closes the file while objects may still be open: false on success.
  bool close();
  bool leave();  // out of the mode (reopens the file; no-op when not in it)
  bool enter();  // into the mode (no-op when in it)
  bool flush();

  hid_t id() const { return file_.get(); }
  bool is_open() const { return file_.valid(); }
  bool following() const { return swmr_; }

 private:
  std::string path_;
  H5Handle file_;
  bool swmr_ = false;
};

// Switches HDF5's own error printing off for the scope and restores the
// application's setting after it: our failures are reported as one line.
class H5QuietErrors {
 public:
  H5QuietErrors() {
    H5Eget_auto2(H5E_DEFAULT, &func_, &data_);
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
  }
  ~H5QuietErrors() { H5Eset_auto2(H5E_DEFAULT, func_, data_); }
  H5QuietErrors(const H5QuietErrors&) = delete;
  H5QuietErrors& operator=(const H5QuietErrors&) = delete;

 private:
  H5E_auto2_t func_ = nullptr;
  void* data_ = nullptr;
};

#endif
