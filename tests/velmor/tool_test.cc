// velmor-call in its own process against a property server in this one: the
// library's calls cross a process boundary by name, through VELMOR_NAMES.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <mutex>
#include <string>

#include "velmor.h"
#include "velmor_server.h"

namespace {

// Runs the tool with the name table pointing at `port`; returns its output and exit code.
std::string run_tool(int port, const std::string& args, int* status) {
  std::string cmd = "VELMOR_NAMES='TOOL/SRV=127.0.0.1:" + std::to_string(port) + "' " +
                    VELMOR_CALL_PATH + " " + args + " 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  std::string out;
  char buf[512];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  *status = pclose(p);
  return out;
}

}  // namespace

TEST(VelmorCallTool, SetsGetsAndListsPropertiesOfAnotherProcess) {
  velmor::PropertyServer server;
  std::mutex mu;
  velmor::EqData stored;
  server.add_property(
      "VALUE",
      [&](const std::string&, const velmor::EqData& in, velmor::EqData&) {
        std::lock_guard<std::mutex> lock(mu);
        stored.copy_from(&in);
        return 0;
      },
      [&](const std::string&, const velmor::EqData&, velmor::EqData& out) {
        std::lock_guard<std::mutex> lock(mu);
        out.copy_from(&stored);
        return 0;
      });
  ASSERT_FALSE(server.start("127.0.0.1", 0));
  int status = 0;
  EXPECT_EQ(run_tool(server.port(), "set /TOOL/SRV/VALUE '<DAQREQ id=\"1\"/>'", &status), "");
  EXPECT_EQ(status, 0);
  {
    std::lock_guard<std::mutex> lock(mu);
    EXPECT_EQ(stored.type(), velmor::DATA_XML);
  }
  EXPECT_EQ(run_tool(server.port(), "get /TOOL/SRV/VALUE", &status), "<DAQREQ id=\"1\"/>\n");
  EXPECT_EQ(run_tool(server.port(), "--int set /TOOL/SRV/VALUE 0x10", &status), "");
  EXPECT_EQ(run_tool(server.port(), "get /TOOL/SRV/VALUE", &status), "16\n");
  EXPECT_EQ(run_tool(server.port(), "names /TOOL/SRV/X", &status), "VALUE\n");
  std::string missing = run_tool(server.port(), "get /TOOL/SRV/MISSING", &status);
  EXPECT_NE(status, 0);
  EXPECT_EQ(missing, "velmor-call: error 105: property unknown: MISSING\n");
}

TEST(VelmorCallTool, ValueFileIsReadOnlyUpToTheFrameLimit) {
  velmor::PropertyServer server;
  server.add_property(
      "VALUE", [](const std::string&, const velmor::EqData&, velmor::EqData&) { return 0; },
      nullptr);
  ASSERT_FALSE(server.start("127.0.0.1", 0));
  int status = 0;
  EXPECT_EQ(run_tool(server.port(), "set /TOOL/SRV/VALUE @/dev/zero", &status),
            "velmor-call: /dev/zero: larger than the frame limit of 67108864 bytes (64 MB)\n");
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
  EXPECT_EQ(server.calls_served(), 0);
}
