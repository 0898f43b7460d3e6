// Helpers of the client fault suite: what the process holds (threads, file
// descriptors, heap), the daq-server daemon as a killable child process, the
// road from a request to a running receiver, and raw TCP peers that say only
// what a test scripts.
#ifndef FAULT_SUPPORT_H
#define FAULT_SUPPORT_H

#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizer runtime's own count (GCC ships no header for it).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#define FAULTS_SANITIZER_HEAP 1
#endif

#include "child_exec.h"
#include "eq_daq_connect.h"
#include "eq_daq_data.h"
#include "eq_daq_data_2024.h"
#include "query_release.h"
#include "socket_send.h"
#include "velmor.h"

namespace faults {

using Clock = std::chrono::steady_clock;

inline double seconds_since(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

inline bool wait_until(const std::function<bool()>& done, int timeout_ms) {
  auto until = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!done()) {
    if (Clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

inline int count_dir(const char* path) {
  DIR* d = opendir(path);
  if (d == nullptr) return -1;
  int n = 0;
  while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
  closedir(d);
  return n;
}

inline int thread_count() {
  // A sanitizer runtime starts a helper thread of its own with the first thread
  // the process makes; make it exist before anything is counted.
  static const bool warmed = [] {
    std::thread([] {}).join();
    return true;
  }();
  (void)warmed;
  return count_dir("/proc/self/task");
}
// The directory stream itself holds one descriptor while it is read.
inline int fd_count() { return count_dir("/proc/self/fd") - 1; }

// Heap bytes in use. Under a sanitizer its own count, which leaves out the
// quarantine of freed blocks that would swamp the process's resident size.
inline long heap_bytes() {
#ifdef FAULTS_SANITIZER_HEAP
  return static_cast<long>(__sanitizer_get_current_allocated_bytes());
#else
  return static_cast<long>(mallinfo2().uordblks);
#endif
}

// Threads and descriptors of the process, to compare before and after a case.
struct Holdings {
  int threads = thread_count();
  int fds = fd_count();
  long heap = heap_bytes();  // shown, not compared: caches of the libraries stay
  // Waits (bounded) until the process holds no more than at `before`: threads
  // that were joined, and sockets that were closed, leave /proc a moment later.
  bool back_to(const Holdings& before, int timeout_ms = 3000) {
    bool ok = wait_until(
        [&] {
          threads = thread_count();
          fds = fd_count();
          heap = heap_bytes();
          return threads <= before.threads && fds <= before.fds;
        },
        timeout_ms);
    return ok;
  }
};

// "threads 3 -> 3, fds 5 -> 5, heap 1000 -> 1200", for messages and figures.
inline std::string change(const Holdings& before, const Holdings& after) {
  return "threads " + std::to_string(before.threads) + " -> " + std::to_string(after.threads) +
         ", fds " + std::to_string(before.fds) + " -> " + std::to_string(after.fds) + ", heap " +
         std::to_string(before.heap) + " -> " + std::to_string(after.heap);
}

inline std::string temp_path(const std::string& stem) {
  char name[] = "/tmp/faultsXXXXXX";
  int fd = mkstemp(name);
  if (fd >= 0) close(fd);
  return std::string(name) + "." + stem;
}

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// A child process whose standard output and error go to files (a pipe could
// fill and stall it), killed with SIGKILL when the object goes.
class Child {
 public:
  Child(const char* program, const std::vector<std::string>& args,
        const std::vector<std::string>& env = {})
      : out_path_(temp_path("out")), err_path_(temp_path("err")) {
    pid_ = fork();
    if (pid_ == 0) {
      int out = open(out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      int err = open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(out, 1);
      dup2(err, 2);
      for (int fd = 3; fd < 1024; ++fd) close(fd);
      exec_in_child(program, args, env);
    }
  }
  ~Child() {
    kill_now();
    std::remove(out_path_.c_str());
    std::remove(err_path_.c_str());
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  std::string out() const { return read_file(out_path_); }
  std::string err() const { return read_file(err_path_); }

  void kill_now() {
    if (pid_ <= 0 || exited_) return;
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    exited_ = true;
    exit_code_ = 128 + SIGKILL;
  }
  // Exit code (128 + signal when killed), or -1 when it did not end in time.
  int wait_exit(int timeout_ms) {
    if (exited_) return exit_code_;
    auto until = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (Clock::now() < until) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        exited_ = true;
        exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return exit_code_;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return -1;
  }

 private:
  std::string out_path_, err_path_;
  pid_t pid_ = -1;
  bool exited_ = false;
  int exit_code_ = -1;
};

const char kDaemonPath[] = DAQ_BINARY_DIR "/tools/daq-server/daq-server";
const char kDaqgetPath[] = DAQ_BINARY_DIR "/tools/daqget/daqget";

// One channel of every test stream: a small spectrum, so a long stream costs
// the flow control, not the copying.
const char kChannel[] = "FAULT/SPECT/S1";

inline std::string catalog_file() {
  static const std::string path = [] {
    std::string p = temp_path("catalog");
    std::ofstream(p) << kChannel << " spectrum length=16\n";
    return p;
  }();
  return path;
}

// The daq-server daemon serving the small catalog, reached by `device`. Its
// name is registered in this process and given to children as VELMOR_NAMES.
class Daemon {
 public:
  Daemon(const std::string& device, std::vector<std::string> args)
      : Daemon(device, std::move(args), {}, catalog_file()) {}
  // With environment entries ("NAME=value") and a catalog of the test's own.
  Daemon(const std::string& device, std::vector<std::string> args,
         const std::vector<std::string>& env, const std::string& catalog)
      : device_(device) {
    args.insert(args.end(),
                {"--entry", "FAULT.DAQ/" + device + "/DAQ.DATA.SVR", "--catalog", catalog});
    child_ = std::make_unique<Child>(kDaemonPath, args, env);
    std::string marker = "listening on 127.0.0.1:";
    wait_until(
        [&] {
          std::string out = child_->out();
          size_t at = out.find(marker);
          if (at == std::string::npos) return false;
          port_ = std::atoi(out.c_str() + at + marker.size());
          return true;
        },
        20000);
    if (port_ > 0) velmor::register_server(("FAULT.DAQ/" + device).c_str(), "127.0.0.1", port_);
  }
  ~Daemon() {
    child_->kill_now();
    velmor::unregister_server(("FAULT.DAQ/" + device_).c_str());
  }

  bool ok() const { return port_ > 0; }
  int port() const { return port_; }
  std::string entry() const { return "FAULT.DAQ/" + device_ + "/DAQ.DATA.SVR/"; }
  std::string names() const {
    return "VELMOR_NAMES=FAULT.DAQ/" + device_ + "=127.0.0.1:" + std::to_string(port_);
  }
  void kill_now() { child_->kill_now(); }
  Child& child() { return *child_; }

 private:
  std::string device_;
  std::unique_ptr<Child> child_;
  int port_ = 0;
};

// A field of /proc/<pid>/status in kB (VmRSS, VmHWM), or -1.
inline long status_kb(pid_t pid, const char* field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string key = std::string(field) + ":";
  for (std::string line; std::getline(in, line);)
    if (line.compare(0, key.size(), key) == 0) return std::atol(line.c_str() + key.size());
  return -1;
}

// Starts a new peak for VmHWM of one of our own children.
inline bool reset_peak_rss(pid_t pid) {
  std::ofstream out("/proc/" + std::to_string(pid) + "/clear_refs");
  out << "5";
  return static_cast<bool>(out.flush());
}

// Environment for a child whose resident size a test compares. Under
// AddressSanitizer freed blocks wait in a quarantine and the allocator keeps
// its pages, so the resident size would say nothing of what the program holds:
// a small quarantine and an immediate release keep it honest. The options the
// test run already sets come first, so ours add to them.
inline std::vector<std::string> measured_memory_env() {
  const char* set = std::getenv("ASAN_OPTIONS");
  std::string options = set != nullptr && *set != '\0' ? std::string(set) + ":" : "";
  options +=
      "quarantine_size_mb=4:thread_local_quarantine_size_kb=64:"
      "allocator_release_to_os_interval_ms=0";
  return {"ASAN_OPTIONS=" + options};
}

// A request for `seconds` seconds of kChannel from 2025-03-01 10:00 (validation
// zone), in the given communication mode.
inline void fill_request(EqDAQconnect& c, int seconds, int comm_mode = ORXA_DAQ_COMM_PUSH) {
  c.set_start_time("2025-3-1T10:0:0");
  std::string stop = "2025-3-1T" + std::to_string(10 + seconds / 3600) + ":" +
                     std::to_string(seconds % 3600 / 60) + ":" + std::to_string(seconds % 60);
  c.set_stop_time(stop.c_str());
  c.set_comm_mode(comm_mode);
  c.add_channel(kChannel);
}

// The road from a request to a running receiver; nullptr-free on success.
template <class Receiver>
struct Road {
  velmor::EqCall call;
  EqDAQconnect connection{&call, nullptr};
  std::unique_ptr<Receiver> receiver;
  int connect_rc = -1;

  // Handshake with `entry`, then a receiver of depth `depth` connected and started.
  bool open(const std::string& entry, int seconds, int comm_mode, int depth, int inc = 0) {
    fill_request(connection, seconds, comm_mode);
    connect_rc = connection.connect(entry.c_str());
    if (connect_rc != 0) return false;
    receiver = std::make_unique<Receiver>(depth, inc);
    return !receiver->set_reply(connection.get_server_reply()) && !receiver->connect() &&
           !receiver->start_receiver(false);
  }
};

// Takes records out until the stream has ended and the cache is empty (or the
// time runs out), checking that event numbers follow each other.
struct Drained {
  uint64_t first = 0;
  uint64_t events = 0;
  uint64_t out_of_order = 0;  // gaps and repeats
  int most_records = 0;       // largest cache size seen
  bool timed_out = false;
};

// Takes one record; its event number in *number (0 for a record without a value).
template <class Receiver>
int take_one(Receiver& r, uint64_t* number) {
  std::vector<EqData_dtype*>* out = nullptr;
  int rc = r.get_monitor(&out, nullptr, nullptr);
  *number = 0;
  if (out != nullptr && !out->empty() && (*out)[0]->data != nullptr)
    *number = static_cast<uint64_t>((*out)[0]->data->get_mpnum());
  release_query_result(out);
  return rc;
}

// between: called after each record taken (a slow application sleeps there).
template <class Receiver>
Drained drain(Receiver& r, int timeout_ms, const std::function<void(uint64_t)>& between = nullptr) {
  Drained d;
  auto until = Clock::now() + std::chrono::milliseconds(timeout_ms);
  uint64_t expected = 0;
  while (true) {
    if (Clock::now() > until) {
      d.timed_out = true;
      break;
    }
    int held = r.get_number_of_entries();
    if (held > d.most_records) d.most_records = held;
    uint64_t n = 0;
    int rc = take_one(r, &n);
    if (rc & DAQ_MON_DATA) {
      if (d.events == 0)
        d.first = n;
      else if (n != expected)
        ++d.out_of_order;
      expected = n + 1;
      ++d.events;
      if (between) between(d.events);
    } else if (rc & DAQ_MON_NO_MORE) {
      break;
    } else {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  }
  return d;
}

// A raw TCP listener on loopback for hostile peers: accepts one client and
// then says exactly what the test writes.
class RawPeer {
 public:
  RawPeer() {
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        listen(listen_fd_, 16) == 0 &&
        getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &len) == 0)
      port_ = ntohs(a.sin_port);
  }
  ~RawPeer() {
    close_client();
    if (listen_fd_ >= 0) close(listen_fd_);
  }
  RawPeer(const RawPeer&) = delete;
  RawPeer& operator=(const RawPeer&) = delete;

  int port() const { return port_; }
  int listen_fd() const { return listen_fd_; }

  bool accept_one(int timeout_ms) {
    pollfd p{listen_fd_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) != 1) return false;
    close_client();
    fd_ = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    return fd_ >= 0;
  }
  void close_client() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

  bool write(const void* p, size_t n) { return send_all_bytes(fd_, p, n); }
  bool write(const std::string& s) { return write(s.data(), s.size()); }

  // Reads exactly n bytes within timeout_ms.
  bool read(void* p, size_t n, int timeout_ms) {
    char* c = static_cast<char*>(p);
    auto until = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (n > 0) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
      pollfd pf{fd_, POLLIN, 0};
      if (left.count() <= 0 || poll(&pf, 1, static_cast<int>(left.count())) != 1) return false;
      ssize_t r = recv(fd_, c, n, 0);
      if (r <= 0) return false;
      c += r;
      n -= static_cast<size_t>(r);
    }
    return true;
  }

  // Reads whatever comes within timeout_ms; false when the peer closed.
  bool drain_input(int timeout_ms) {
    char buf[4096];
    pollfd pf{fd_, POLLIN, 0};
    if (poll(&pf, 1, timeout_ms) != 1) return true;
    return recv(fd_, buf, sizeof buf, MSG_DONTWAIT) > 0;
  }

 private:
  int listen_fd_ = -1;
  int fd_ = -1;
  int port_ = 0;
};

}  // namespace faults

#endif
