// A server list whose servers are all dead: daqget gives up after the
// handshake's retry budget (30 passes of up to four calls 0.3 s apart) with
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

TEST(DaqgetDeadServers, FailWithinTheRetryBudgetWithReasonAndExitCode) {
  std::string names = "VELMOR_NAMES=DEAD.DAQ/ONE=127.0.0.1:" + std::to_string(dead_port()) +
                      ";DEAD.DAQ/TWO=127.0.0.1:" + std::to_string(dead_port());
  daqgettest::RunResult r = daqgettest::run_daqget(
      {"--start", "2025-03-01T10:00:00", "--stop", "2025-03-01T10:00:05", "-c", "A/B/C"},
      {names, "ORXA_DAQ_SERVERS=DEAD.DAQ/ONE/DAQ.DATA.SVR/:DEAD.DAQ/TWO/DAQ.DATA.SVR/"}, 100000);
  EXPECT_EQ(r.exit_code, DAQGET_NO_SERVER) << r.err;
  auto lines = daqgettest::lines_of(r.err);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back().rfind("daqget: Failed to send request", 0), 0u) << r.err;
  EXPECT_TRUE(r.out.empty());
  // Two servers x 30 passes x 3 pauses of 0.3 s, and not much more.
  EXPECT_LT(r.seconds, 80.0);
}
