// Latest file format everywhere: the single-writer/multiple-reader mode needs
// it, and a reopened file must keep the format it was created with.
//
// No file lock: readers following the file hold a shared lock on it, which
// would refuse the reopen that adds a channel. The writer is the only one to
// write the file; readers may see a read fail while a group is being added
// and try again after it.
#include "h5_file.h"

namespace {

H5Handle latest_fapl() {
  H5Handle fapl = h5_plist(H5Pcreate(H5P_FILE_ACCESS));
  if (fapl.valid()) {
    H5Pset_libver_bounds(fapl.get(), H5F_LIBVER_LATEST, H5F_LIBVER_LATEST);
    H5Pset_file_locking(fapl.get(), false, true);
  }
  return fapl;
}

}  // namespace

bool H5File::create(const std::string& path) {
  path_ = path;
  swmr_ = false;
  H5Handle fapl = latest_fapl();
  file_ = H5Handle(H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, fapl.get()), H5Fclose);
  return !file_.valid();
}

bool H5File::close() {
  swmr_ = false;
  return file_.reset();
}

bool H5File::leave() {
  if (!swmr_) return false;
  if (close()) return true;
  H5Handle fapl = latest_fapl();
  file_ = H5Handle(H5Fopen(path_.c_str(), H5F_ACC_RDWR, fapl.get()), H5Fclose);
  return !file_.valid();
}

bool H5File::enter() {
  if (swmr_) return false;
  if (H5Fstart_swmr_write(file_.get()) < 0) return true;
  swmr_ = true;
  return false;
}

bool H5File::flush() { return H5Fflush(file_.get(), H5F_SCOPE_GLOBAL) < 0; }
