#include "hdf5_output.h"

#include <sys/stat.h>

#include <cstdio>

bool Hdf5Output::open(const DaqgetOptions& options, std::string* error) {
  path_ = options.output_file;
  // HDF5 reads back what it wrote: a terminal, a pipe or a device would take
  // the bytes and give nothing usable.
  struct stat st {};
  if (stat(path_.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    *error = "daqget: " + path_ + ": not a regular file (-f hdf5 writes a file it can read back)";
    return true;
  }
  DaqHdf5Options h;
  h.compress_level = options.compress > 0 ? options.compress : 0;
  if (!sink_.open(path_, h)) return false;
  *error = "daqget: " + path_ + ": " + sink_.error();
  return true;
}

bool Hdf5Output::failed(const char* what) {
  if (!failed_)
    std::fprintf(stderr, "daqget: %s: %s%s\n", path_.c_str(), what, sink_.error().c_str());
  failed_ = true;
  return true;
}

bool Hdf5Output::write(const DaqFetchRecord& record) {
  if (failed_) return true;
  return sink_.write(record) && failed("");
}

bool Hdf5Output::close(const DaqFetch& fetch, int result) {
  return sink_.close(&fetch, result) && failed("closing: ");
}
