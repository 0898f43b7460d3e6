#include "output_target.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

OutputTarget::~OutputTarget() {
  close();
  if (!temporary_.empty()) unlink(temporary_.c_str());
}

// A name beside the path that nobody uses; O_EXCL makes sure of it, and mode
// 0666 through the umask gives the permissions a new file of that name gets.
bool OutputTarget::open_temporary(const std::string& path) {
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name =
        dir + "." + base + ".daqget-" + std::to_string(getpid()) + "-" + std::to_string(attempt);
    int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return true;
    }
    out_ = fdopen(fd, "w");
    if (out_ == nullptr) {
      ::close(fd);
      unlink(name.c_str());
      return true;
    }
    temporary_ = name;
    return false;
  }
  return true;
}

bool OutputTarget::open(const std::string& path, std::string* error) {
  if (!path.empty()) {
    // A symbolic link stays one: the file it names is the one replaced.
    char* target = realpath(path.c_str(), nullptr);
    path_ = target != nullptr ? target : path;
    free(target);
    struct stat st {};
    bool regular_or_new = stat(path_.c_str(), &st) != 0 ? errno == ENOENT : S_ISREG(st.st_mode);
    if (regular_or_new && !open_temporary(path_)) return false;
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

bool OutputTarget::commit(bool keep, std::string* error) {
  if (temporary_.empty()) return false;
  std::string name = temporary_;
  temporary_.clear();
  if (!keep) {
    unlink(name.c_str());
    return false;
  }
  if (rename(name.c_str(), path_.c_str()) != 0) {
    *error = "daqget: cannot move the records into " + path_ + ": " + std::strerror(errno);
    unlink(name.c_str());
    return true;
  }
  return false;
}
