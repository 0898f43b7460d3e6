// Where daqget's records go. The libraries print their own diagnostic lines on
// standard output; when the records go to standard output too, they get a
// descriptor of their own (a duplicate of fd 1) and fd 1 is pointed at
// standard error, so the records stay machine-readable.
//
// A file named with -o is written as a temporary file beside it and renamed
// into place by commit(), so a request that fails before any record leaves an
// old file as it was. Paths that are not regular files (a device, a pipe) and
// directories where no file can be created are written in place.
#ifndef DAQGET_OUTPUT_TARGET_H
#define DAQGET_OUTPUT_TARGET_H

#include <cstdio>
#include <string>

class OutputTarget {
 public:
  OutputTarget() = default;
  // Removes a temporary file that was never committed.
  ~OutputTarget();
  OutputTarget(const OutputTarget&) = delete;
  OutputTarget& operator=(const OutputTarget&) = delete;

  // path empty: standard output (and the diagnostics moved to standard error).
  // False on success; true with a one-line reason in *error.
  bool open(const std::string& path, std::string* error);
  FILE* file() const { return out_; }
  // Closes the records' stream; true when the last writes failed.
  bool close();
  // After close(): keep true renames the temporary file over the path, false
  // removes it. False on success; true with a one-line reason in *error.
  bool commit(bool keep, std::string* error);

 private:
  bool open_temporary(const std::string& path);

  FILE* out_ = nullptr;
  std::string path_;
  std::string temporary_;  // empty when writing in place
};

#endif
