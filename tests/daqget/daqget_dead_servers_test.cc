// Servers that take no request: with -v daqget says what failed in each pass
// over the list; it gives up with one line naming the reason, and the exit code
// tells a dead or busy server from one that answered with something unusable.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "daqget_runner.h"
#include "exit_codes.h"

namespace {

// A loopback port where nobody listens.
int dead_port() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  int port = ntohs(a.sin_port);
  close(fd);
  return port;
}

// The daq-server daemon as a child (output in a file, so it never stalls on a
// pipe), killed when the object goes.
class DaemonChild {
 public:
  explicit DaemonChild(const std::vector<std::string>& args) {
    char path[] = "/tmp/daqgetdXXXXXX";
    int fd = mkstemp(path);
    out_path_ = path;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(fd, 1);
      dup2(fd, 2);
      exec_in_child(daqgettest::kDaemon, args);
    }
    close(fd);
    const std::string marker = "listening on 127.0.0.1:";
    for (int i = 0; i < 2000 && port_ == 0; ++i) {
      std::stringstream out;
      out << std::ifstream(out_path_).rdbuf();
      size_t at = out.str().find(marker);
      if (at != std::string::npos)
        port_ = std::atoi(out.str().c_str() + at + marker.size());
      else
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  ~DaemonChild() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    unlink(out_path_.c_str());
  }
  int port() const { return port_; }

 private:
  std::string out_path_;
  pid_t pid_ = -1;
  int port_ = 0;
};

}  // namespace

TEST(DaqgetDeadServers, EachPassIsReportedAndTheBudgetEndsWithReasonAndExitCode) {
  std::string names = "VELMOR_NAMES=DEAD.DAQ/ONE=127.0.0.1:" + std::to_string(dead_port()) +
                      ";DEAD.DAQ/TWO=127.0.0.1:" + std::to_string(dead_port());
  daqgettest::RunResult r = daqgettest::run_daqget(
      {"--start", "2025-03-01T10:00:00", "--stop", "2025-03-01T10:00:05", "-c", "A/B/C", "-v",
       "--connect-timeout", "4"},
      {names, "ORXA_DAQ_SERVERS=DEAD.DAQ/ONE/DAQ.DATA.SVR/:DEAD.DAQ/TWO/DAQ.DATA.SVR/"}, 60000);
  EXPECT_EQ(r.exit_code, DAQGET_NO_SERVER) << r.err;
  auto lines = daqgettest::lines_of(r.err);
  ASSERT_GE(lines.size(), 2u) << r.err;
  for (size_t i = 0; i + 1 < lines.size(); ++i) {
    std::string head = "daqget: pass " + std::to_string(i + 1) + " of 30: ";
    EXPECT_EQ(lines[i].rfind(head, 0), 0u) << lines[i];
    EXPECT_GT(lines[i].size(), head.size() + 10) << "names what failed: " << lines[i];
    EXPECT_EQ(lines[i].substr(lines[i].size() - 10), "; retrying") << lines[i];
  }
  EXPECT_EQ(lines.back().rfind("daqget: Too long waiting for repply", 0), 0u) << r.err;
  EXPECT_TRUE(r.out.empty());
  EXPECT_LT(r.seconds, 15.0);
}

// A server that accepts but cannot serve: every retry of the handshake is the
// same request, and a server that holds each retry fills up with them. daqget
// reports what the server answered (exit 5), never the "Server busy" that its
// own earlier attempts caused.
TEST(DaqgetUnusableServer, ReportsTheAnswerNotTheBusyItsRetriesCaused) {
  struct Case {
    const char* option;
    const char* last_line;
  } cases[] = {{"--port-zero", "daqget: the server announced no data stream: OK: "},
               {"--echo-changed", "daqget: Requests are different: OK: "}};
  for (const Case& k : cases) {
    DaemonChild daemon({"--entry", "UNUSED.DAQ/ONE/DAQ.DATA.SVR", k.option, "--max-requests", "1"});
    ASSERT_GT(daemon.port(), 0);
    daqgettest::RunResult r = daqgettest::run_daqget(
        {"--servers", "UNUSED.DAQ/ONE/DAQ.DATA.SVR/", "--start", "2025-03-01T10:00:00", "--stop",
         "2025-03-01T10:00:05"},
        {"VELMOR_NAMES=UNUSED.DAQ/ONE=127.0.0.1:" + std::to_string(daemon.port())}, 100000);
    EXPECT_EQ(r.exit_code, DAQGET_REFUSED) << k.option << "\n" << r.err;
    auto lines = daqgettest::lines_of(r.err);
    ASSERT_FALSE(lines.empty()) << k.option;
    EXPECT_EQ(lines.back().rfind(k.last_line, 0), 0u) << k.option << ": " << lines.back();
    EXPECT_EQ(r.err.find("Server busy"), std::string::npos) << k.option;
    EXPECT_TRUE(r.out.empty()) << k.option;
  }
}
