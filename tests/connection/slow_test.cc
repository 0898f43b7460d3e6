// The longest road of connect: a server whose request property keeps failing is
// called four times per pass (three pauses of 0.3 s) for all 30 passes.
#include <gtest/gtest.h>

#include <string>

#include "eq_daq_connect.h"
#include "server_fixture.h"

TEST(HandshakeSlow, FailingRequestPropertyUsesEveryPass) {
  std::string entry = servertest::dead_entry("DEAD.DAQ", "SLOW.DEAD1");
  velmor::EqCall call;
  EqDAQconnect c(&call, nullptr);
  servertest::fill_request(c);
  EXPECT_EQ(c.connect(entry.c_str()), EQ_DAQ_CONNECT_SEND_FAILED);
  EXPECT_EQ(call.call_count(), 30 * 4);
  std::string text = c.get_error(1);
  EXPECT_EQ(text.rfind("Failed to send request ", 0), 0u);
  EXPECT_GT(text.size(), std::string("Failed to send request ").size());
}
