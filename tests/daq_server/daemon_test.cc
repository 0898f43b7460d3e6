// The daemon: one start-up line naming where it listens, a handshake through
// the name table that line gives, a clean stop on SIGTERM and SIGINT, and start
// failures told on standard error only.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "eq_daq_connect.h"
#include "server_fixture.h"

namespace {

const char kDaemon[] = DAQ_BINARY_DIR "/tools/daq-server/daq-server";

struct Daemon {
  pid_t pid = -1;
  int out = -1;
  explicit Daemon(const char* device) {
    int fds[2];
    if (pipe(fds) != 0) return;
    pid = fork();
    if (pid == 0) {
      dup2(fds[1], 1);
      close(fds[0]);
      std::string entry = std::string("LUMAR.DAQ/") + device + "/DAQ.DATA.SVR";
      execl(kDaemon, kDaemon, "--entry", entry.c_str(), "--send-stall-ms", "5000",
            "--idle-timeout-ms", "5000", "--max-per-peer", "8", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    out = fds[0];
  }
  // Reads up to the first line end, waiting at most timeout_ms.
  std::string line(int timeout_ms) {
    std::string text;
    char c;
    pollfd p{out, POLLIN, 0};
    while (poll(&p, 1, timeout_ms) == 1 && read(out, &c, 1) == 1) {
      if (c == '\n') break;
      text += c;
    }
    return text;
  }
  // Exit status after the signal, or -1 when it did not end within 5 s.
  int stop(int sig) {
    kill(pid, sig);
    for (int i = 0; i < 500; ++i) {
      int status = 0;
      if (waitpid(pid, &status, WNOHANG) == pid) {
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      usleep(10000);
    }
    return -1;
  }
  ~Daemon() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    if (out >= 0) close(out);
  }
};

struct Finished {
  int code = -1;
  std::string out, err;
};

std::string drain(int fd) {
  std::string text;
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
  close(fd);
  return text;
}

// Runs the daemon with these arguments until it exits (at most 10 s).
Finished run_daemon(std::vector<const char*> args) {
  Finished f;
  int out[2], err[2];
  if (pipe(out) != 0 || pipe(err) != 0) return f;
  args.insert(args.begin(), kDaemon);
  args.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    dup2(err[1], 2);
    execv(kDaemon, const_cast<char**>(args.data()));
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  int status = 0;
  for (int i = 0; i < 1000 && waitpid(pid, &status, WNOHANG) == 0; ++i) usleep(10000);
  if (waitpid(pid, &status, WNOHANG) == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  f.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  f.out = drain(out[0]);
  f.err = drain(err[0]);
  return f;
}

}  // namespace

TEST(Daemon, AnnouncesItselfServesAndStopsOnEitherSignal) {
  for (int sig : {SIGTERM, SIGINT}) {
    Daemon d(sig == SIGTERM ? "DMN.TERM" : "DMN.INT");
    ASSERT_GT(d.pid, 0);
    std::string first = d.line(10000);
    size_t at = first.find("(VELMOR_NAMES=");
    ASSERT_NE(at, std::string::npos) << first;
    std::string names = first.substr(at + 14, first.size() - at - 15);
    size_t eq = names.find('=');
    size_t colon = names.rfind(':');
    ASSERT_NE(eq, std::string::npos);
    velmor::register_server(names.substr(0, eq).c_str(), "127.0.0.1",
                            std::atoi(names.c_str() + colon + 1));
    velmor::EqCall call;
    EqDAQconnect c(&call, nullptr);
    servertest::fill_request(c);
    std::string entry = names.substr(0, eq) + "/DAQ.DATA.SVR/";
    EXPECT_EQ(c.connect(entry.c_str()), 0);
    EXPECT_EQ(d.stop(sig), 0);
    EXPECT_EQ(d.line(1000), "daq-server: stopped");
  }
}

TEST(Daemon, BadOptionExitsWithTwo) {
  pid_t pid = fork();
  if (pid == 0) {
    int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, 1);
    dup2(devnull, 2);
    execl(kDaemon, kDaemon, "--rate", "fast", static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 2);
}

// Standard output stays free of failures, so whoever waits for the start-up
// line there never takes an error for it.
TEST(Daemon, StartFailuresGoToStandardErrorWithTheirExitCode) {
  Finished bad = run_daemon({"--send-stall-ms", "-1"});
  EXPECT_EQ(bad.code, 2);
  EXPECT_EQ(bad.out, "");
  EXPECT_EQ(bad.err.rfind("daq-server: bad or missing value for --send-stall-ms\n", 0), 0u)
      << bad.err;

  Finished catalog = run_daemon({"--catalog", "/nonexistent/catalog"});
  EXPECT_EQ(catalog.code, 2);
  EXPECT_EQ(catalog.out, "");
  EXPECT_NE(catalog.err.find("/nonexistent/catalog"), std::string::npos) << catalog.err;

  int taken = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(taken, 1), 0);
  getsockname(taken, reinterpret_cast<sockaddr*>(&a), &len);
  std::string port = std::to_string(ntohs(a.sin_port));
  std::string good = "/tmp/daemon_test_catalog_" + std::to_string(getpid());
  { std::ofstream(good) << "A/B/C spectrum length=16\n"; }
  Finished in_use = run_daemon({"--port", port.c_str(), "--catalog", good.c_str()});
  close(taken);
  std::remove(good.c_str());
  EXPECT_EQ(in_use.code, 1);
  EXPECT_EQ(in_use.out, "");
  EXPECT_NE(in_use.err, "");
}
