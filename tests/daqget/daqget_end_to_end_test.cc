// daqget end to end over loopback: a DAQ data server embedded in the test (its
// name given to the daqget process through VELMOR_NAMES), the daq-server
// daemon as a separate process, and daqget's own --local server. Every output
// format is read back and compared with what the server says it sent.
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "daq_data_server.h"
#include "daqget_runner.h"
#include "exit_codes.h"

using daqgettest::lines_of;
using daqgettest::parse_csv;
using daqgettest::run_daqget;
using daqgettest::RunResult;

namespace {

const char kSpectrum[] = "DIAG/TOROID/T1.SPECT";
const char kImage[] = "CAMERA/SCREEN/IMAGE";
const char kSlow[] = "SLOW/TEMP/T1";

// A server embedded in the test; daqget reaches it through the name table.
struct Embedded {
  DaqDataServer server;
  explicit Embedded(DaqServerOptions o) : server(o) {}
  static DaqServerOptions options(const std::string& device) {
    DaqServerOptions o;
    o.device = device;
    o.register_name = false;
    return o;
  }
  std::vector<std::string> env() const {
    return {"VELMOR_NAMES=LUMAR.DAQ/" + device() +
            "=127.0.0.1:" + std::to_string(server.control_port())};
  }
  std::string device() const {
    std::string e = server.entry();  // FAC/DEV/LOC/
    size_t a = e.find('/');
    return e.substr(a + 1, e.find('/', a + 1) - a - 1);
  }
};

// Five seconds at 10 Hz: 50 events and 5 slow-data blocks.
std::vector<std::string> five_seconds(const std::string& entry, const std::string& format) {
  return {"--servers", entry,
          "--start",   "2025-03-01T10:00:00",
          "--stop",    "2025-03-01T10:00:05",
          "-c",        kSpectrum,
          "-c",        kImage,
          "-c",        kSlow,
          "-f",        format};
}

std::vector<nlohmann::json> json_lines(const std::string& out) {
  std::vector<nlohmann::json> rows;
  for (const std::string& line : lines_of(out)) rows.push_back(nlohmann::json::parse(line));
  return rows;
}

// Event numbers by channel.
using Seen = std::map<std::string, std::vector<uint64_t>>;

void expect_every_event(const Seen& seen, const DaqRequestSummary& sent) {
  for (const char* channel : {kSpectrum, kImage}) {
    auto it = seen.find(channel);
    ASSERT_NE(it, seen.end()) << channel;
    ASSERT_EQ(it->second.size(), static_cast<size_t>(sent.events_sent)) << channel;
    for (size_t i = 0; i < it->second.size(); ++i)
      EXPECT_EQ(it->second[i], sent.first_event + i) << channel;
  }
  auto slow = seen.find(kSlow);
  ASSERT_NE(slow, seen.end());
  EXPECT_EQ(slow->second.size(), 5u);
}

bool has_progress(const std::string& err) {
  return err.find('\r') != std::string::npos || err.find("ev/s") != std::string::npos;
}

}  // namespace

TEST(DaqgetEmbedded, EveryFormatReadsBackWithEveryRecordTheServerSent) {
  int n = 0;
  for (std::string format : {"jsonl", "csv", "table"}) {
    Embedded e(Embedded::options("DG.FORMAT" + std::to_string(n++)));
    ASSERT_FALSE(e.server.start());
    RunResult r = run_daqget(five_seconds(e.server.entry(), format), e.env());
    ASSERT_EQ(r.exit_code, DAQGET_OK) << format << ": " << r.err;
    EXPECT_FALSE(has_progress(r.err)) << "stderr is a pipe, no progress wanted";
    DaqRequestSummary sent;
    ASSERT_TRUE(e.server.summary(1, &sent));
    ASSERT_EQ(sent.events_sent, 50);

    Seen seen;
    if (format == "jsonl") {
      for (const nlohmann::json& j : json_lines(r.out)) {
        std::string channel = j["channel"];
        seen[channel].push_back(j["event"].get<uint64_t>());
        if (channel == kSpectrum) {
          EXPECT_EQ(j["value"]["spectra"][0]["values"].size(), 1024u);
        } else if (channel == kImage) {
          EXPECT_EQ(j["value"]["data_base64"].get<std::string>().size(), 38400u / 3 * 4);
        } else {
          EXPECT_EQ(j["type"], "slow");
        }
        EXPECT_EQ(j["time"].get<std::string>().size(), 27u);
      }
    } else if (format == "csv") {
      auto rows = parse_csv(r.out);
      ASSERT_FALSE(rows.empty());
      EXPECT_EQ(rows[0][0], "event");
      for (size_t i = 1; i < rows.size(); ++i) {
        ASSERT_EQ(rows[i].size(), 8u) << i;
        seen[rows[i][2]].push_back(std::stoull(rows[i][0]));
        if (rows[i][2] == kSpectrum) {
          EXPECT_EQ(rows[i][5], "1024");
          EXPECT_EQ(std::count(rows[i][7].begin(), rows[i][7].end(), ' '), 1023);
        }
      }
    } else {
      auto lines = lines_of(r.out);
      ASSERT_FALSE(lines.empty());
      EXPECT_EQ(lines[0].rfind("EVENT", 0), 0u);
      for (size_t i = 1; i < lines.size(); ++i) {
        char channel[256] = "";
        unsigned long long ev = 0;
        ASSERT_EQ(std::sscanf(lines[i].c_str(), "%llu %*s %255s", &ev, channel), 2) << lines[i];
        seen[channel].push_back(ev);
      }
    }
    expect_every_event(seen, sent);
    EXPECT_TRUE(e.server.wait_released(1, 15000));
  }
}

// The summary line and the counters agree with what was written: 50 events,
// and 5 slow-data blocks besides them.
TEST(DaqgetEmbedded, StatsFileAndSummaryLineCountWhatWasWritten) {
  Embedded e(Embedded::options("DG.STATS"));
  ASSERT_FALSE(e.server.start());
  std::string path = testing::TempDir() + "daqget_stats.json";
  std::vector<std::string> args = five_seconds(e.server.entry(), "jsonl");
  args.insert(args.end(), {"--stats", path});
  RunResult r = run_daqget(args, e.env());
  ASSERT_EQ(r.exit_code, DAQGET_OK) << r.err;
  std::ifstream in(path);
  nlohmann::json stats = nlohmann::json::parse(in, nullptr, false);
  ASSERT_TRUE(stats.is_object()) << path;
  EXPECT_EQ(stats["exit_code"], 0);
  EXPECT_EQ(stats["records_delivered"], 55u);
  EXPECT_EQ(stats["reconnects"], 0u);
  const nlohmann::json& received = stats["received"];
  EXPECT_EQ(received["events_received"], 50u) << stats.dump();
  DaqRequestSummary sent;
  ASSERT_TRUE(e.server.summary(1, &sent));
  EXPECT_EQ(stats["last_event"], sent.first_event + 49);
  EXPECT_GT(received["bytes_received"].get<uint64_t>(), 50u * 4096);
  EXPECT_EQ(received["dropped_events"], 0u);
  int summaries = 0;
  for (const std::string& l : lines_of(r.err)) {
    unsigned long long events = 0, reconnects = 9, dropped = 9;
    double mb = 0, seconds = 0, rate = 0;
    int end = 0;
    if (std::sscanf(l.c_str(),
                    "daqget: %llu events, %lf MB in %lf s (%lf MB/s), %llu reconnects, "
                    "%llu dropped%n",
                    &events, &mb, &seconds, &rate, &reconnects, &dropped, &end) == 6 &&
        static_cast<size_t>(end) == l.size()) {
      ++summaries;
      EXPECT_EQ(events, 50u) << l;
      EXPECT_GT(mb, 0.2) << l;
      EXPECT_EQ(reconnects + dropped, 0u) << l;
    }
  }
  EXPECT_EQ(summaries, 1) << r.err;
  std::remove(path.c_str());
}

TEST(DaqgetEmbedded, HandshakeModeKeepsStandardOutputToRecordsOnly) {
  Embedded e(Embedded::options("DG.HANDSHAKE"));
  ASSERT_FALSE(e.server.start());
  std::vector<std::string> args = five_seconds(e.server.entry(), "jsonl");
  args.push_back("--handshake");
  RunResult r = run_daqget(args, e.env());
  ASSERT_EQ(r.exit_code, DAQGET_OK) << r.err;
  size_t rows = 0;
  for (const std::string& line : lines_of(r.out)) {
    EXPECT_TRUE(nlohmann::json::accept(line)) << line;
    ++rows;
  }
  EXPECT_EQ(rows, 50u * 2 + 5);
  EXPECT_NE(r.err.find("We have to send 'READY' flag"), std::string::npos);
}

TEST(DaqgetEmbedded, UnknownChannelsComeFromTheNotFoundList) {
  Embedded e(Embedded::options("DG.NOTFOUND"));
  ASSERT_FALSE(e.server.start());
  RunResult r =
      run_daqget({"--servers", e.server.entry(), "--start", "2025-03-01T10:00:00", "--stop",
                  "2025-03-01T10:00:01", "-c", "NO/SUCH/CHANNEL", "-c", kSpectrum, "-f", "csv"},
                 e.env());
  ASSERT_EQ(r.exit_code, DAQGET_OK) << r.err;
  EXPECT_NE(r.err.find("daqget: channel not found: NO/SUCH/CHANNEL\n"), std::string::npos);
  auto rows = parse_csv(r.out);
  EXPECT_EQ(rows.size(), 1u + 10u);
  for (size_t i = 1; i < rows.size(); ++i) EXPECT_EQ(rows[i][2], kSpectrum);

  // None known: the server refuses, daqget says why.
  RunResult none = run_daqget({"--servers", e.server.entry(), "--start", "2025-03-01T10:00:00",
                               "--stop", "2025-03-01T10:00:01", "-c", "NO/SUCH/CHANNEL"},
                              e.env());
  EXPECT_EQ(none.exit_code, DAQGET_REFUSED) << none.err;
  EXPECT_NE(none.err.find("none of the requested channels is known"), std::string::npos)
      << none.err;
  EXPECT_TRUE(none.out.empty());
}

TEST(DaqgetEmbedded, StreamCutByTheServerEndsWithItsReasonAndExitCode) {
  DaqServerOptions o = Embedded::options("DG.DROP");
  o.drop_after = 20;
  Embedded e(o);
  ASSERT_FALSE(e.server.start());
  std::vector<std::string> args = five_seconds(e.server.entry(), "jsonl");
  args.insert(args.end(), {"--retries", "0"});  // a resumed stream would complete
  RunResult r = run_daqget(args, e.env());
  EXPECT_EQ(r.exit_code, DAQGET_STREAM_BROKEN) << r.err;
  EXPECT_NE(r.err.find("daqget: the stream ended early after 20 events: "), std::string::npos)
      << r.err;
  size_t spectra = 0;
  for (const nlohmann::json& j : json_lines(r.out)) spectra += j["channel"] == kSpectrum;
  EXPECT_EQ(spectra, 20u);  // what arrived before the cut is all written
}

TEST(DaqgetEmbedded, SilentLinkEndsAfterTheIdleBoundKeepingWhatArrived) {
  DaqServerOptions o = Embedded::options("DG.STALL");
  o.stall_after = 10;
  o.stall_ms = 30000;
  Embedded e(o);
  ASSERT_FALSE(e.server.start());
  std::vector<std::string> args = five_seconds(e.server.entry(), "jsonl");
  args.insert(args.end(), {"--idle-timeout", "1", "--retries", "0"});
  RunResult r = run_daqget(args, e.env());
  EXPECT_EQ(r.exit_code, DAQGET_STREAM_BROKEN) << r.err;
  EXPECT_LT(r.seconds, 20.0);
  EXPECT_NE(r.err.find("daqget: the stream ended early after 10 events: "), std::string::npos)
      << r.err;
  size_t spectra = 0;
  for (const nlohmann::json& j : json_lines(r.out)) spectra += j["channel"] == kSpectrum;
  EXPECT_EQ(spectra, 10u);
}

TEST(DaqgetEmbedded, DroppedDataFailTheRunEvenAfterTheEndMark) {
  DaqServerOptions o = Embedded::options("DG.MALFORMED");
  o.malformed_after = 5;
  Embedded e(o);
  ASSERT_FALSE(e.server.start());
  RunResult r = run_daqget(five_seconds(e.server.entry(), "csv"), e.env());
  EXPECT_EQ(r.exit_code, DAQGET_STREAM_BROKEN) << r.err;
  auto lines = lines_of(r.err);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back().rfind("daqget: data were dropped: ", 0), 0u) << r.err;
  EXPECT_GE(parse_csv(r.out).size(), 1u + 49u * 2);  // the rest is written
}

TEST(DaqgetEmbedded, ConnectBudgetEndsAServerStuckInProcessing) {
  DaqServerOptions o = Embedded::options("DG.PROCESSING");
  o.processing_times = 100000;
  Embedded e(o);
  ASSERT_FALSE(e.server.start());
  std::vector<std::string> args = five_seconds(e.server.entry(), "csv");
  args.insert(args.end(), {"--connect-timeout", "2"});
  RunResult r = run_daqget(args, e.env());
  EXPECT_EQ(r.exit_code, DAQGET_NO_SERVER) << r.err;
  EXPECT_LT(r.seconds, 15.0);
  auto lines = lines_of(r.err);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back().rfind("daqget: Too long waiting for repply", 0), 0u) << r.err;
  EXPECT_TRUE(r.out.empty());
}

TEST(DaqgetEmbedded, ProgressOnlyOnATerminalUnlessForced) {
  Embedded e(Embedded::options("DG.PROGRESS"));
  ASSERT_FALSE(e.server.start());
  std::vector<std::string> args = five_seconds(e.server.entry(), "csv");
  RunResult quiet = run_daqget(args, e.env());
  ASSERT_EQ(quiet.exit_code, DAQGET_OK) << quiet.err;
  EXPECT_FALSE(has_progress(quiet.err)) << quiet.err;
  args.insert(args.end(), {"--progress", "always"});
  RunResult forced = run_daqget(args, e.env());
  ASSERT_EQ(forced.exit_code, DAQGET_OK) << forced.err;
  EXPECT_NE(forced.err.find("50/50 events"), std::string::npos) << forced.err;
  EXPECT_FALSE(has_progress(forced.out));
}

TEST(DaqgetEmbedded, Generation2024StreamCarriesItsEventNumbers) {
  DaqServerOptions o = Embedded::options("DG.GEN2024");
  o.generation = DAQ_GENERATION_2024;
  Embedded e(o);
  ASSERT_FALSE(e.server.start());
  RunResult r = run_daqget(five_seconds(e.server.entry(), "jsonl"), e.env());
  ASSERT_EQ(r.exit_code, DAQGET_OK) << r.err;
  DaqRequestSummary sent;
  ASSERT_TRUE(e.server.summary(1, &sent));
  EXPECT_TRUE(sent.gen_2024);
  Seen seen;
  for (const nlohmann::json& j : json_lines(r.out))
    seen[j["channel"].get<std::string>()].push_back(j["event"].get<uint64_t>());
  expect_every_event(seen, sent);
}

TEST(DaqgetEmbedded, ChannelListPrintsTheDescriptionsWithTheirPeriod) {
  Embedded e(Embedded::options("DG.LIST"));
  ASSERT_FALSE(e.server.start());
  std::vector<std::string> list = {
      "--servers", e.server.entry(),      "--list-channels", "--start", "2025-03-01T10:00:00Z",
      "--stop",    "2025-03-01T11:00:00Z"};
  std::vector<std::string> jsonl = list;
  jsonl.insert(jsonl.end(), {"-f", "jsonl"});
  RunResult r = run_daqget(jsonl, e.env());
  ASSERT_EQ(r.exit_code, DAQGET_OK) << r.err;
  std::set<std::string> names;
  for (const nlohmann::json& j : json_lines(r.out)) {
    names.insert(j["channel"].get<std::string>());
    EXPECT_EQ(j["from"], "2025-03-01T10:00:00Z");
    EXPECT_EQ(j["to"], "2025-03-01T11:00:00Z");
  }
  EXPECT_EQ(names.size(), 11u);
  EXPECT_EQ(names.count(kImage), 1u);

  RunResult table = run_daqget(list, e.env());
  ASSERT_EQ(table.exit_code, DAQGET_OK) << table.err;
  std::vector<std::string> rows = lines_of(table.out);
  ASSERT_EQ(rows.size(), 12u) << table.out;
  EXPECT_EQ(rows[0].rfind("CHANNEL ", 0), 0u) << rows[0];
  EXPECT_NE(rows[0].find("FROM (UTC)"), std::string::npos) << rows[0];
  for (size_t i = 1; i < rows.size(); ++i)
    EXPECT_NE(rows[i].find(" 2025-03-01T10:00:00Z 2025-03-01T11:00:00Z"), std::string::npos)
        << rows[i];
}

TEST(DaqgetRequest, InvalidTimeIsRefusedBeforeAnythingIsSent) {
  // Texts the protocol would read as another time, or not at all.
  for (const char* start :
       {"yesterday", "2025-13-01T00:00:00", "2025-02-31T10:00:00", "2025-03-01T25:61:61",
        "2025-03-01T10:00:00+25:00", "2038-01-19T03:14:08Z"}) {
    RunResult r = run_daqget(
        {"--servers", "NOBODY.DAQ/NONE/DAQ.DATA.SVR/", "--start", start, "-c", kSpectrum});
    EXPECT_EQ(r.exit_code, DAQGET_BAD_REQUEST) << start << ": " << r.err;
    auto lines = lines_of(r.err);
    ASSERT_EQ(lines.size(), 1u) << r.err;
    EXPECT_EQ(lines[0].rfind(std::string("daqget: --start ") + start + ": ", 0), 0u) << r.err;
    EXPECT_LT(r.seconds, 10.0);
  }
  RunResult late = run_daqget({"--servers", "NOBODY.DAQ/NONE/DAQ.DATA.SVR/", "--start",
                               "2025-03-01T10:00:00", "--stop", "2040-01-01T00:00:00"});
  EXPECT_EQ(late.exit_code, DAQGET_BAD_REQUEST) << late.err;
  EXPECT_NE(late.err.find("beyond the protocol's 32-bit seconds"), std::string::npos) << late.err;
}

TEST(DaqgetRequest, HelpDocumentsOptionsAndExitCodes) {
  RunResult r = run_daqget({"--help"});
  EXPECT_EQ(r.exit_code, 0);
  for (const char* option : {"--start",
                             "--stop-sec",
                             "--first-run",
                             "--experiment",
                             "--data-dir",
                             "--catalog-dir",
                             "--config",
                             "--channel",
                             "--file",
                             "--scan-mode",
                             "--handshake",
                             "--list-channels",
                             "--servers",
                             "--facility",
                             "--local",
                             "--local-port",
                             "--connect-timeout",
                             "--idle-timeout",
                             "--depth",
                             "--increment",
                             "--generation",
                             "--format",
                             "--output",
                             "--progress",
                             "Exit codes",
                             "130"}) {
    EXPECT_NE(r.out.find(option), std::string::npos) << option;
  }
}

TEST(DaqgetLocal, EmbeddedDefaultServesEveryKindToAFile) {
  std::string path = testing::TempDir() + "daqget_local.jsonl";
  RunResult r = run_daqget({"--local", "-f", "jsonl", "-o", path, "-v"});
  ASSERT_EQ(r.exit_code, DAQGET_OK) << r.err;
  std::FILE* f = std::fopen(path.c_str(), "r");
  ASSERT_NE(f, nullptr);
  std::string text;
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  std::fclose(f);
  std::map<std::string, int> kinds;
  for (const nlohmann::json& j : json_lines(text)) ++kinds[j["type"].get<std::string>()];
  for (const char* kind : {"spectrum", "multi-a", "multi-b", "gspectrum", "image", "namval",
                           "update", "eqdata", "stamp", "slow"})
    EXPECT_GT(kinds[kind], 0) << kind;
  EXPECT_EQ(kinds["spectrum"], 100);
  EXPECT_NE(r.err.find("daqget: reason: OK: 100 events"), std::string::npos) << r.err;
  std::remove(path.c_str());
}

// Per-event library lines: the first shown where the libraries print it
// (standard output, with the records in a file), the rest counted at the end.
TEST(DaqgetLocal, RepeatedLibraryLinesShowOnceWithACount) {
  RunResult r = run_daqget({"--local", "--handshake", "-o", "/dev/null"});
  ASSERT_EQ(r.exit_code, DAQGET_OK) << r.err;
  std::vector<std::string> lines = lines_of(r.out + r.err);
  for (const std::string text :
       {"We have to send 'READY' flag",
        "daq_data_to_cache() WARNING not all subchannels will be put !!!"}) {
    EXPECT_EQ(std::count(lines.begin(), lines.end(), text), 1) << text;
    EXPECT_EQ(
        std::count(lines.begin(), lines.end(), "daqget: \"" + text + "\" repeated 99 more times"),
        1)
        << r.err;
  }
}

namespace {

// The daq-server daemon as a child process; its start-up line names the
// name-table entry that reaches it.
struct Daemon {
  pid_t pid = -1;
  int out = -1;
  std::string names;  // VELMOR_NAMES value from the start-up line

  explicit Daemon(const std::vector<std::string>& args) {
    int fds[2];
    if (pipe(fds) != 0) return;
    pid = fork();
    if (pid == 0) {
      dup2(fds[1], 1);
      close(fds[0]);
      exec_in_child(daqgettest::kDaemon, args);
    }
    close(fds[1]);
    out = fds[0];
    std::string line;
    char c;
    pollfd p{out, POLLIN, 0};
    while (poll(&p, 1, 10000) == 1 && read(out, &c, 1) == 1 && c != '\n') line += c;
    size_t at = line.find("(VELMOR_NAMES=");
    if (at != std::string::npos) names = line.substr(at + 14, line.size() - at - 15);
  }
  ~Daemon() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      int status = 0;
      for (int i = 0; i < 500 && waitpid(pid, &status, WNOHANG) == 0; ++i) usleep(10000);
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    if (out >= 0) close(out);
  }
};

}  // namespace

TEST(DaqgetDaemon, ServesEveryRecordAndReportsACutStream) {
  Daemon d({"--entry", "LUMAR.DAQ/DG.DAEMON/DAQ.DATA.SVR"});
  ASSERT_FALSE(d.names.empty()) << "no start-up line";
  std::vector<std::string> env = {"VELMOR_NAMES=" + d.names};
  RunResult r = run_daqget(five_seconds("LUMAR.DAQ/DG.DAEMON/DAQ.DATA.SVR/", "csv"), env);
  ASSERT_EQ(r.exit_code, DAQGET_OK) << r.err;
  auto rows = parse_csv(r.out);
  ASSERT_EQ(rows.size(), 1u + 50 * 2 + 5);
  std::vector<uint64_t> spectra;
  for (size_t i = 1; i < rows.size(); ++i)
    if (rows[i][2] == kSpectrum) spectra.push_back(std::stoull(rows[i][0]));
  ASSERT_EQ(spectra.size(), 50u);
  for (size_t i = 1; i < spectra.size(); ++i) EXPECT_EQ(spectra[i], spectra[0] + i);

  Daemon cut({"--entry", "LUMAR.DAQ/DG.DAEMONCUT/DAQ.DATA.SVR", "--drop-after", "7"});
  ASSERT_FALSE(cut.names.empty());
  std::vector<std::string> once = five_seconds("LUMAR.DAQ/DG.DAEMONCUT/DAQ.DATA.SVR/", "table");
  once.insert(once.end(), {"--retries", "0"});  // this server cuts every stream it serves
  RunResult broken = run_daqget(once, {"VELMOR_NAMES=" + cut.names});
  EXPECT_EQ(broken.exit_code, DAQGET_STREAM_BROKEN) << broken.err;
  EXPECT_NE(broken.err.find("the stream ended early after 7 events"), std::string::npos)
      << broken.err;
}

// Every handshake pass meets the changed echo again: its two dumps (sent and
// echoed) are shown once, as one block, and the passes after it counted.
TEST(DaqgetDaemon, ChangedEchoDumpsShowOnceWithACount) {
  Daemon d({"--entry", "LUMAR.DAQ/DG.ECHO/DAQ.DATA.SVR", "--echo-changed"});
  ASSERT_FALSE(d.names.empty()) << "no start-up line";
  RunResult r = run_daqget(five_seconds("LUMAR.DAQ/DG.ECHO/DAQ.DATA.SVR/", "csv"),
                           {"VELMOR_NAMES=" + d.names});
  EXPECT_EQ(r.exit_code, DAQGET_REFUSED) << r.err;
  std::vector<std::string> lines = lines_of(r.err);
  auto starts = [](const std::string& line, const char* head) { return line.rfind(head, 0) == 0; };
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [&](const std::string& l) { return starts(l, "======DAQ_REQUEST="); }),
            2)
      << r.err;
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [&](const std::string& l) {
                            return starts(l, "daqget: \"======DAQ_REQUEST=") &&
                                   l.find("\" (26 lines) repeated ") != std::string::npos;
                          }),
            1)
      << r.err;
}

namespace {

std::string read_file(const std::string& path) {
  std::string text;
  std::FILE* f = std::fopen(path.c_str(), "r");
  if (f == nullptr) return text;
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  std::fclose(f);
  return text;
}

void write_file(const std::string& path, const std::string& text) {
  std::FILE* f = std::fopen(path.c_str(), "w");
  ASSERT_NE(f, nullptr) << path;
  std::fputs(text.c_str(), f);
  std::fclose(f);
}

// A fresh directory, so a test can see every file daqget leaves in it.
struct ScratchDir {
  std::string path;
  ScratchDir() {
    std::string name = testing::TempDir() + "daqget_XXXXXX";
    path = mkdtemp(&name[0]) != nullptr ? name : std::string();
  }
  ~ScratchDir() {
    for (const std::string& f : files()) std::remove((path + "/" + f).c_str());
    rmdir(path.c_str());
  }
  std::vector<std::string> files() const {
    std::vector<std::string> names;
    if (DIR* d = opendir(path.c_str())) {
      while (dirent* e = readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
          names.push_back(e->d_name);
      closedir(d);
    }
    return names;
  }
};

// A loopback port with a listener on it, held while the object lives.
struct TakenPort {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  int port = 0;
  TakenPort() {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t len = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(fd, 1) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
      port = ntohs(a.sin_port);
  }
  ~TakenPort() { close(fd); }
};

}  // namespace

TEST(DaqgetOutputFile, OldFileStaysUntilRecordsArriveAndIsReplacedWhole) {
  ScratchDir dir;
  ASSERT_FALSE(dir.path.empty());
  std::string path = dir.path + "/records.jsonl";
  write_file(path, "old\n");
  Embedded e(Embedded::options("DG.OUTFILE"));
  ASSERT_FALSE(e.server.start());
  std::vector<std::string> refused = {"--servers", e.server.entry(),
                                      "--start",   "2025-03-01T10:00:00",
                                      "--stop",    "2025-03-01T10:00:01",
                                      "-c",        "NO/SUCH/CHANNEL",
                                      "-o",        path};
  EXPECT_EQ(run_daqget(refused, e.env()).exit_code, DAQGET_REFUSED);
  refused[3] = "2025-02-31T10:00:00";
  EXPECT_EQ(run_daqget(refused, e.env()).exit_code, DAQGET_BAD_REQUEST);
  EXPECT_EQ(read_file(path), "old\n");
  EXPECT_EQ(dir.files(), std::vector<std::string>{"records.jsonl"});

  std::vector<std::string> args = five_seconds(e.server.entry(), "jsonl");
  args.insert(args.end(), {"-o", path});
  RunResult r = run_daqget(args, e.env());
  ASSERT_EQ(r.exit_code, DAQGET_OK) << r.err;
  EXPECT_EQ(lines_of(read_file(path)).size(), 50u * 2 + 5);
  EXPECT_EQ(dir.files(), std::vector<std::string>{"records.jsonl"});
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(st.st_mode & 0777, 0666u & ~mask);  // as a new file gets, not mkstemp's 0600

  // A stream cut midway keeps what arrived, as written to standard output.
  DaqServerOptions o = Embedded::options("DG.OUTCUT");
  o.drop_after = 20;
  Embedded cut(o);
  ASSERT_FALSE(cut.server.start());
  args = five_seconds(cut.server.entry(), "jsonl");
  args.insert(args.end(), {"-o", path, "--retries", "0"});
  EXPECT_EQ(run_daqget(args, cut.env()).exit_code, DAQGET_STREAM_BROKEN);
  size_t spectra = 0;
  for (const nlohmann::json& j : json_lines(read_file(path))) spectra += j["channel"] == kSpectrum;
  EXPECT_EQ(spectra, 20u);
  EXPECT_EQ(dir.files(), std::vector<std::string>{"records.jsonl"});
}

TEST(DaqgetExitCodes, DataLinkThatCannotBeOpenedIsSix) {
  DaqServerOptions o = Embedded::options("DG.NOLINK");
  o.prepare_ms = 800;        // the final answer comes after ...
  o.accept_timeout_ms = 50;  // ... the stream has given up waiting for a receiver
  Embedded e(o);
  ASSERT_FALSE(e.server.start());
  std::vector<std::string> args = five_seconds(e.server.entry(), "csv");
  args.insert(args.end(), {"--retries", "0"});
  RunResult r = run_daqget(args, e.env());
  EXPECT_EQ(r.exit_code, DAQGET_LINK_FAILED) << r.err;
  EXPECT_NE(r.err.find("daqget: cannot open the data link to 127.0.0.1:"), std::string::npos)
      << r.err;
  EXPECT_TRUE(r.out.empty());
}

TEST(DaqgetExitCodes, OutputThatCannotBeWrittenIsEightAndADeviceIsNotReplaced) {
  Embedded e(Embedded::options("DG.FULL"));
  ASSERT_FALSE(e.server.start());
  std::vector<std::string> args = five_seconds(e.server.entry(), "jsonl");
  args.insert(args.end(), {"-o", "/dev/full"});
  RunResult r = run_daqget(args, e.env());
  EXPECT_EQ(r.exit_code, DAQGET_OUTPUT_FAILED) << r.err;
  EXPECT_NE(r.err.find("daqget: writing the records failed"), std::string::npos) << r.err;
  struct stat st {};
  ASSERT_EQ(stat("/dev/full", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
}

TEST(DaqgetExitCodes, LocalServerThatCannotStartIsNine) {
  TakenPort taken;
  ASSERT_GT(taken.port, 0);
  RunResult r = run_daqget({"--local", "--local-port", std::to_string(taken.port)});
  EXPECT_EQ(r.exit_code, DAQGET_LOCAL_FAILED) << r.err;
  EXPECT_NE(r.err.find("daqget: the embedded DAQ data server did not start"), std::string::npos)
      << r.err;
  EXPECT_TRUE(r.out.empty());
}

TEST(DaqgetExitCodes, InterruptMidStreamIs130AndKeepsTheRecordsWritten) {
  DaqServerOptions o = Embedded::options("DG.SIGINT");
  o.real_time = true;
  Embedded e(o);
  ASSERT_FALSE(e.server.start());
  ScratchDir dir;
  std::string path = dir.path + "/partial.jsonl";
  std::vector<std::string> args = {"--servers", e.server.entry(),
                                   "--start",   "2025-03-01T10:00:00",
                                   "--stop",    "2025-03-01T10:10:00",
                                   "-c",        kSpectrum,
                                   "-f",        "jsonl",
                                   "-o",        path};
  bool sent = false;
  RunResult r = run_daqget(args, e.env(), 60000, [&](pid_t pid, const RunResult&) {
    if (sent) return;
    for (const std::string& f : dir.files()) {
      struct stat st {};
      if (stat((dir.path + "/" + f).c_str(), &st) == 0 && st.st_size > 0) {
        kill(pid, SIGINT);
        sent = true;
      }
    }
  });
  ASSERT_TRUE(sent);
  EXPECT_EQ(r.exit_code, DAQGET_INTERRUPTED) << r.err;
  EXPECT_NE(r.err.find("daqget: interrupted after "), std::string::npos) << r.err;
  auto rows = json_lines(read_file(path));  // whole lines only: each one parses
  EXPECT_GE(rows.size(), 1u);
  EXPECT_LT(rows.size(), 6000u);
  EXPECT_EQ(dir.files(), std::vector<std::string>{"partial.jsonl"});
}

TEST(DaqgetRequest, ConfigFileCompletesTheRequestOrIsRefusedWithTheParsersReason) {
  Embedded e(Embedded::options("DG.CONFIG"));
  ASSERT_FALSE(e.server.start());
  ScratchDir dir;
  std::string good = dir.path + "/good.xml";
  std::string document =
      "<?xml version=\"1.0\"?>\n<DAQREQ>\n<Exp name=\"linac\"/>\n"
      "<TStart time=\"2025-03-01T10:00:00\"/>\n<TStop time=\"2025-03-01T10:00:01\"/>\n"
      "<Chan name=\"DIAG/TOROID/T1.SPECT\"/>\n</DAQREQ>\n";
  write_file(good, document);
  RunResult ok =
      run_daqget({"--servers", e.server.entry(), "--config", good, "-f", "csv"}, e.env());
  ASSERT_EQ(ok.exit_code, DAQGET_OK) << ok.err;
  EXPECT_EQ(parse_csv(ok.out).size(), 1u + 10u);

  std::string truncated = dir.path + "/truncated.xml";
  write_file(truncated, document.substr(0, document.size() / 2));
  for (const std::string& config : {truncated, dir.path + "/missing.xml"}) {
    RunResult r = run_daqget({"--servers", e.server.entry(), "--config", config}, e.env());
    EXPECT_EQ(r.exit_code, DAQGET_BAD_REQUEST) << r.err;
    auto lines = lines_of(r.err);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().rfind("daqget: --config " + config + ": ", 0), 0u) << r.err;
  }
  EXPECT_EQ(e.server.requests_answered(), 1);
}

TEST(DaqgetRequest, RunRangesAllRunsAndFileListsReachTheServer) {
  // Hour-long runs from an origin 2 h 500 s ago, one event every 10 s:
  // runs 1 and 2 hold 360 events each, run 3 the rest.
  DaqServerOptions o = Embedded::options("DG.RUNS");
  o.origin_sec = static_cast<int64_t>(std::time(nullptr)) - 2 * 3600 - 500;
  o.rate_hz = 0.1;
  Embedded e(o);
  ASSERT_FALSE(e.server.start());
  struct Case {
    std::vector<std::string> args;
    uint64_t first_event, events;
  } cases[] = {
      {{"--first-run", "2"}, 360, 360},
      {{"--first-run", "1", "--last-run", "2"}, 0, 720},
      {{"--run", "0"}, 0, 770},
      {{"--file", "run000002.raw", "--file", "run000009.raw"}, 360, 360},
  };
  int number = 0;
  for (const Case& c : cases) {
    std::vector<std::string> args = {
        "--servers", e.server.entry(), "-c", "TIMING/TRIGGER/STAMP", "-f", "csv"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    RunResult r = run_daqget(args, e.env());
    ASSERT_EQ(r.exit_code, DAQGET_OK) << c.args[0] << ": " << r.err;
    DaqRequestSummary sent;
    ASSERT_TRUE(e.server.summary(++number, &sent)) << c.args[0];
    EXPECT_EQ(sent.first_event, c.first_event) << c.args[0];
    EXPECT_NEAR(static_cast<double>(sent.event_count), static_cast<double>(c.events), 1.0)
        << c.args[0];
    EXPECT_EQ(parse_csv(r.out).size(), 1u + sent.event_count) << c.args[0];
    if (c.args[0] == "--file") {
      EXPECT_NE(r.err.find("daqget: file not found: run000009.raw\n"), std::string::npos) << r.err;
    }
  }
}

// The size and depth a PNG or TIFF file declares, read off its header.
struct PictureHead {
  std::string kind;  // "png", "tiff" or "" when neither
  uint32_t width = 0, height = 0;
  int bits = 0;
};

PictureHead picture_head(const std::string& text) {
  PictureHead h;
  auto be32 = [&](size_t at) {
    uint32_t v = 0;
    for (size_t i = 0; i < 4; ++i) v = v << 8 | static_cast<unsigned char>(text[at + i]);
    return v;
  };
  if (text.size() > 25 && text.compare(0, 8, "\x89PNG\r\n\x1a\n") == 0 &&
      text.compare(12, 4, "IHDR") == 0) {
    h = {"png", be32(16), be32(20), static_cast<unsigned char>(text[24])};
  } else if (text.size() > 8 && text.compare(0, 4, std::string("II*\0", 4)) == 0) {
    h.kind = "tiff";
  }
  return h;
}

TEST(DaqgetEmbedded, SavedImagesArePicturesOfEveryDepthNamedByEventAndChannel) {
  ScratchDir dir;
  ASSERT_FALSE(dir.path.empty());
  std::string catalog = dir.path + "/catalog.txt";
  write_file(catalog,
             "CAMERA/A/GREY8 image width=16 height=8 bpp=1\n"
             "CAMERA/B/GREY16 image width=16 height=8 bpp=2\n"
             "CAMERA/C/GREY32 image width=16 height=8 bpp=4\n"
             "DIAG/TOROID/T1.SPECT spectrum length=16\n");
  DaqServerOptions o = Embedded::options("DG.PICTURES");
  o.catalog_file = catalog;
  Embedded e(o);
  ASSERT_FALSE(e.server.start());
  std::string pictures = dir.path + "/pictures";
  RunResult r = run_daqget(
      {"--servers", e.server.entry(), "--start", "2025-03-01T10:00:00", "--stop",
       "2025-03-01T10:00:01", "-f", "csv", "-o", "/dev/null", "--save-images", pictures, "-v"},
      e.env());
  ASSERT_EQ(r.exit_code, DAQGET_OK) << r.err;
  DaqRequestSummary sent;
  ASSERT_TRUE(e.server.summary(1, &sent));
  ASSERT_EQ(sent.events_sent, 10);
  EXPECT_NE(r.err.find("daqget: 30 images saved in " + pictures + ", 0 skipped"), std::string::npos)
      << r.err;
  std::map<std::string, int> kinds;
  for (uint64_t ev = sent.first_event; ev < sent.first_event + 10; ++ev) {
    char number[32];
    std::snprintf(number, sizeof number, "%010llu_", static_cast<unsigned long long>(ev));
    for (const char* name : {"CAMERA_A_GREY8.png", "CAMERA_B_GREY16.png", "CAMERA_C_GREY32.tif"}) {
      std::string path = pictures + "/" + number + name;
      PictureHead h = picture_head(read_file(path));
      ++kinds[h.kind + std::to_string(h.bits)];
      if (h.kind == "png") {
        EXPECT_TRUE(h.width == 16 && h.height == 8) << path;
      }
      std::remove(path.c_str());
    }
  }
  EXPECT_EQ(kinds, (std::map<std::string, int>{{"png8", 10}, {"png16", 10}, {"tiff0", 10}}));
  EXPECT_EQ(rmdir(pictures.c_str()), 0) << "files left beside the pictures";
}

TEST(DaqgetEmbedded, Hdf5FileIsWrittenInPlaceWithTheSummaryAndStats) {
  ScratchDir dir;
  ASSERT_FALSE(dir.path.empty());
  Embedded e(Embedded::options("DG.HDF5"));
  ASSERT_FALSE(e.server.start());
  std::string path = dir.path + "/run.h5";
  std::string stats = dir.path + "/stats.json";
  std::vector<std::string> args = five_seconds(e.server.entry(), "hdf5");
  args.insert(args.end(), {"-o", path, "--compress", "1", "--stats", stats});
  RunResult r = run_daqget(args, e.env());
  ASSERT_EQ(r.exit_code, DAQGET_OK) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(read_file(path).compare(0, 8, "\x89HDF\r\n\x1a\n"), 0);
  EXPECT_NE(r.err.find("daqget: 50 events, "), std::string::npos) << r.err;
  nlohmann::json counters = nlohmann::json::parse(read_file(stats), nullptr, false);
  EXPECT_EQ(counters["records_delivered"], 55u) << counters.dump();
  std::vector<std::string> files = dir.files();
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{"run.h5", "stats.json"}));  // no temporary beside

  // A file that cannot be created, or a device that cannot give back what
  // HDF5 wrote: one line, exit 8, nothing asked.
  for (std::string bad : {dir.path + "/missing/run.h5", std::string("/dev/null")}) {
    args = five_seconds(e.server.entry(), "hdf5");
    args.insert(args.end(), {"-o", bad});
    r = run_daqget(args, e.env());
    EXPECT_EQ(r.exit_code, DAQGET_OUTPUT_FAILED) << bad;
    EXPECT_EQ(lines_of(r.err).size(), 1u) << r.err;
  }
  EXPECT_EQ(e.server.requests_accepted(), 1);
}
