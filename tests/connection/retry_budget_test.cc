// A server whose request property keeps failing, run under a short budget: four
// set calls per pass (three pauses of 0.3 s), each pass told to the observer
// with the call's error text, and the budget ending it with code 9.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "eq_daq_connect.h"
#include "server_fixture.h"

namespace {

struct Passes {
  velmor::EqCall* call;
  std::vector<long> calls_at_end;
  std::vector<std::string> texts;
  static void note(void* self, int pass, int code, const char* what) {
    auto* p = static_cast<Passes*>(self);
    EXPECT_EQ(pass, static_cast<int>(p->texts.size()) + 1);
    EXPECT_EQ(code, EQ_DAQ_CONNECT_SEND_FAILED);
    p->calls_at_end.push_back(p->call->call_count());
    p->texts.push_back(what);
  }
};

}  // namespace

TEST(HandshakeRetry, FailingRequestPropertyIsRetriedWithinTheBudget) {
  // A long device name: the cause and host:port must still come first.
  std::string entry = servertest::dead_entry("DEAD.DAQ", "SLOW.DEAD1.WITH.A.RATHER.LONG.NAME");
  velmor::EqCall call;
  EqDAQconnect c(&call, nullptr);
  servertest::fill_request(c);
  Passes passes{&call, {}, {}};
  c.set_pass_observer(&Passes::note, &passes);
  ASSERT_EQ(c.set_connect_timeout(2), 0);
  EXPECT_EQ(c.connect(entry.c_str()), EQ_DAQ_CONNECT_TIMEOUT);
  ASSERT_GE(passes.calls_at_end.size(), 1u);
  EXPECT_EQ(passes.calls_at_end[0], 4);
  std::string text = c.get_error(1);
  const std::string head = "Failed to send request connection refused at 127.0.0.1:";
  ASSERT_EQ(text.rfind(head, 0), 0u) << text;
  EXPECT_EQ(text.size(),
            std::string("Failed to send request ").size() + EQ_DAQ_SNDREQERROR_SIZE - 1);
  size_t colon = text.find(": ", head.size());
  ASSERT_NE(colon, std::string::npos) << text;
  EXPECT_EQ(text.substr(colon, 20), ": DEAD.DAQ/SLOW.DEAD") << text;
  EXPECT_EQ(passes.texts[0], text.substr(std::string("Failed to send request ").size()));
}
