// Runs the daqget program (or the daq-server daemon) as a child process with
// its standard output and error captured, waiting a bounded time.
#ifndef DAQGET_TEST_RUNNER_H
#define DAQGET_TEST_RUNNER_H

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "child_exec.h"

namespace daqgettest {

const char kDaqget[] = DAQ_BINARY_DIR "/tools/daqget/daqget";
const char kDaemon[] = DAQ_BINARY_DIR "/tools/daq-server/daq-server";

struct RunResult {
  int exit_code = -1;  // 128 + signal when killed; -1 when it overran the time limit
  std::string out;
  std::string err;
  double seconds = 0;
};

// Called at least every 50 ms while the program runs, with what it wrote so
// far: a test acts on the running program (a signal once output is there).
using Watch = std::function<void(pid_t pid, const RunResult& so_far)>;

// env: extra "NAME=value" entries on top of the test's own environment.
inline RunResult run_program(const char* program, const std::vector<std::string>& args,
                             const std::vector<std::string>& env, int timeout_ms,
                             const Watch& watch = nullptr) {
  RunResult r;
  int out_pipe[2], err_pipe[2];
  if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) return r;
  auto started = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    close(out_pipe[0]);
    close(err_pipe[0]);
    exec_in_child(program, args, env);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&r.out, &r.err};
  int open_fds = 2;
  auto deadline = started + std::chrono::milliseconds(timeout_ms);
  bool overran = false;
  while (open_fds > 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      overran = true;
      break;
    }
    int wait_ms = static_cast<int>(left.count());
    if (watch) {
      watch(pid, r);
      if (wait_ms > 50) wait_ms = 50;
    }
    if (poll(fds, 2, wait_ms) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP)) == 0) continue;
      char buf[65536];
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        sinks[i]->append(buf, static_cast<size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_fds;
      }
    }
  }
  if (overran) kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
  for (pollfd& p : fds)
    if (p.fd >= 0) close(p.fd);
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (!overran) r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r;
}

inline RunResult run_daqget(const std::vector<std::string>& args,
                            const std::vector<std::string>& env = {}, int timeout_ms = 60000,
                            const Watch& watch = nullptr) {
  return run_program(kDaqget, args, env, timeout_ms, watch);
}

inline std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return lines;
}

// RFC 4180 reader: rows of fields; quoted fields may hold commas, quotes, line ends.
inline std::vector<std::vector<std::string>> parse_csv(const std::string& text) {
  std::vector<std::vector<std::string>> rows;
  std::vector<std::string> row;
  std::string field;
  bool quoted = false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (quoted) {
      if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
        field += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        field += c;
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      row.push_back(field);
      field.clear();
    } else if (c == '\n') {
      row.push_back(field);
      field.clear();
      rows.push_back(row);
      row.clear();
    } else {
      field += c;
    }
  }
  if (!field.empty() || !row.empty()) {
    row.push_back(field);
    rows.push_back(row);
  }
  return rows;
}

}  // namespace daqgettest

#endif
