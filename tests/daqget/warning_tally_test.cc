// The libraries' diagnostics sink and daqget's tally of repeated lines.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "daq_diag.h"
#include "daq_diag_sink.h"
#include "warning_tally.h"

namespace {

struct Caught {
  std::string identity;
  std::string text;
  bool flush;
};

void keep(const DaqDiagMessage& m, void* to) {
  static_cast<std::vector<Caught>*>(to)->push_back({m.identity, {m.text, m.length}, m.flush});
}

class DiagSink : public testing::Test {
 protected:
  void SetUp() override { daq_set_diag_sink(keep, &caught); }
  void TearDown() override { daq_set_diag_sink(nullptr, nullptr); }
  std::vector<Caught> caught;
};

std::string read_all(std::FILE* f) {
  std::rewind(f);
  std::string text;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  return text;
}

}  // namespace

TEST_F(DiagSink, EachMessageArrivesWholeWithItsIdentity) {
  const std::string wide(300, 'x');  // longer than the formatting's first buffer
  daq_print("event %d refused\n", 5);
  daq_print("%s\n", wide.c_str());
  daq_line("plain");
  daq_event_line("per event");
  daq_print("Scan: %d", 1);  // one line printed in two parts
  daq_print("\tMode: %d\n", 2);
  {
    DaqDiagBlock outer;  // a reply's dump holds a request's
    daq_line("head");
    {
      DaqDiagBlock inner;
      daq_print("[%d]\n", 1);
    }
    daq_line("end");
  }
  ASSERT_EQ(caught.size(), 6u);
  EXPECT_EQ(caught[0].identity, "event %d refused\n");
  EXPECT_EQ(caught[0].text, "event 5 refused\n");
  EXPECT_EQ(caught[1].text, wide + "\n");
  EXPECT_EQ(caught[2].identity, "plain");
  EXPECT_EQ(caught[2].text, "plain\n");
  EXPECT_TRUE(caught[2].flush);
  EXPECT_EQ(caught[3].identity, "per event");
  EXPECT_FALSE(caught[3].flush);
  EXPECT_EQ(caught[4].text, "Scan: 1\tMode: 2\n");
  EXPECT_EQ(caught[4].identity, caught[4].text);
  EXPECT_EQ(caught[5].text, "head\n[1]\nend\n");
  EXPECT_EQ(caught[5].identity, caught[5].text);
}

TEST_F(DiagSink, RemovedSinkGivesStandardOutputBackLosingNothing) {
  daq_print("begun %d ", 1);  // gathered, then the sink goes
  daq_set_diag_sink(nullptr, nullptr);
  testing::internal::CaptureStdout();
  daq_line("and ended");
  daq_print("a %d\n", 2);
  daq_event_line("b");
  {
    DaqDiagBlock dump;
    daq_line("c");
  }
  std::fflush(stdout);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "begun 1 and ended\na 2\nb\nc\n");
  EXPECT_TRUE(caught.empty());
}

TEST(WarningTally, ShowsTheFirstAndCountsRepeatsFromEveryThread) {
  std::FILE* report = std::tmpfile();
  ASSERT_NE(report, nullptr);
  testing::internal::CaptureStdout();
  {
    WarningTally tally;
    tally.install();
    auto print = [] {
      for (int i = 0; i < 500; ++i) {
        daq_event_line("We have to send 'READY' flag");
        daq_print("event %d refused\n", i);
      }
    };
    std::thread other(print);
    print();
    other.join();
    daq_line("once");
    for (int i = 0; i < 2; ++i) {
      DaqDiagBlock dump;
      daq_line("====");
      daq_line("body");
    }
    tally.uninstall();
    daq_line("after");  // no longer the tally's
    EXPECT_EQ(tally.report(report), 3);
  }
  std::string shown = testing::internal::GetCapturedStdout();
  // Which thread's "event 0" came first is open; only one was shown.
  EXPECT_EQ(shown.find("READY"), shown.rfind("READY")) << shown;
  EXPECT_EQ(shown.find("refused"), shown.rfind("refused")) << shown;
  EXPECT_NE(shown.find("event 0 refused\n"), std::string::npos) << shown;
  EXPECT_NE(shown.find("once\n====\nbody\nafter\n"), std::string::npos) << shown;
  EXPECT_EQ(read_all(report),
            "daqget: \"We have to send 'READY' flag\" repeated 999 more times\n"
            "daqget: \"event 0 refused\" repeated 999 more times\n"
            "daqget: \"====\" (2 lines) repeated 1 more time\n");
  std::fclose(report);
}
