// Where daqget's records go. The libraries print their own diagnostic lines on
// standard output; when the records go to standard output too, they get a
// descriptor of their own (a duplicate of fd 1) and fd 1 is pointed at
// standard error, so the records stay machine-readable.
#ifndef DAQGET_OUTPUT_TARGET_H
#define DAQGET_OUTPUT_TARGET_H

#include <cstdio>
#include <string>

class OutputTarget {
 public:
  OutputTarget() = default;
  ~OutputTarget();
  OutputTarget(const OutputTarget&) = delete;
  OutputTarget& operator=(const OutputTarget&) = delete;

  // path empty: standard output (and the diagnostics moved to standard error).
  // False on success; true with a one-line reason in *error.
  bool open(const std::string& path, std::string* error);
  FILE* file() const { return out_; }
  // Closes the records' stream; true when the last writes failed.
  bool close();

 private:
  FILE* out_ = nullptr;
};

#endif
