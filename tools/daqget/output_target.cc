#include "output_target.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

OutputTarget::~OutputTarget() { close(); }

bool OutputTarget::open(const std::string& path, std::string* error) {
  if (!path.empty()) {
    out_ = std::fopen(path.c_str(), "w");
    if (out_ == nullptr) {
      *error = "daqget: cannot open " + path + ": " + std::strerror(errno);
      return true;
    }
    return false;
  }
  std::fflush(stdout);
  int records = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  if (records < 0) {
    *error = std::string("daqget: cannot use standard output: ") + std::strerror(errno);
    return true;
  }
  out_ = fdopen(records, "w");
  if (out_ == nullptr) {
    ::close(records);
    *error = std::string("daqget: cannot use standard output: ") + std::strerror(errno);
    return true;
  }
  dup2(STDERR_FILENO, STDOUT_FILENO);
  return false;
}

bool OutputTarget::close() {
  if (out_ == nullptr) return false;
  bool failed = std::fflush(out_) != 0 || std::ferror(out_) != 0;
  failed = std::fclose(out_) != 0 || failed;
  out_ = nullptr;
  return failed;
}
