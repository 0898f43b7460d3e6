// A server list whose servers are all dead: with -v daqget says what failed in
// each pass over the list, and gives up when its connect budget is spent with
// one line naming the reason and the exit code for "no server".
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

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
