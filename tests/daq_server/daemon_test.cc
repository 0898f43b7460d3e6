// The daemon: one start-up line naming where it listens, a handshake through
// the name table that line gives, and a clean stop on SIGTERM and SIGINT.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

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
      execl(kDaemon, kDaemon, "--entry", entry.c_str(), static_cast<char*>(nullptr));
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
