// The printers' exact lines: operators and scripts read them.
#include "protocol_fixtures.h"

namespace {
// The data directory line depends on the environment; the tests pin it.
class Printing : public testing::Test {
 protected:
  void SetUp() override { setenv("ORXA_DAQ_DATA_PATH_LIST", "/p1:/p2", 1); }
  void TearDown() override { unsetenv("ORXA_DAQ_DATA_PATH_LIST"); }
};
}  // namespace

TEST_F(Printing, CleanedRequest) {
  Request r;
  std::string out = printed_by([&] { print_daq_request(&r); });
  EXPECT_EQ(out,
            "======DAQ_REQUEST=ID=0=====\n"
            "TStart:\tUnknown\n"
            "TStop:\tUnknown\n"
            "Experimnt:\t'linac'\n"
            "Data Dir:\tfrom ENV ORXA_DAQ_DATA_PATH_LIST -> '/p1:/p2'\n"
            "Catalog Dir:\tDefault ('/daq/orxa/adm/')\n"
            "Conf File:\tNone\n"
            "Scan Mode: 0xf\tComm Mode: 1\tReq  Type: 1\n"
            "========DAQ_REQUEST_END====================\n");
  EXPECT_EQ(printed_by([] { print_daq_request(nullptr); }), "");
}

TEST_F(Printing, DefaultDataPathListHasFifteenDirectories) {
  unsetenv("ORXA_DAQ_DATA_PATH_LIST");
  Request r;
  std::string out = printed_by([&] { print_daq_request(&r); });
  const std::string prefix = "Data Dir: \t Default list: ";
  std::size_t at = out.find(prefix);
  ASSERT_NE(at, std::string::npos);
  std::string list = out.substr(at + prefix.size(), out.find('\n', at) - at - prefix.size());
  int colons = 0;
  for (char c : list) colons += c == ':';
  EXPECT_EQ(colons, 14);
  EXPECT_EQ(list.front(), '/');
}

TEST_F(Printing, FilledRequestPrintsEveryGivenField) {
  Request r;
  r.id = 4711;
  std::strcpy(r.t_start, "2024-5-17T10:0:0");
  r.t_start_sec = 1715940000;
  std::strcpy(r.t_stop, "2024-5-17T10:5:0");
  r.run_first = 5;
  r.run_last = 8;
  r.exp[0] = '\0';
  r.ddir = "/data";
  r.cdir = "/cat";
  std::strcpy(r.conf_file, "c.xml");
  r.scan_mode = 10;
  r.comm_mode = 2;
  r.req_type = 3;
  orxa_chan_prms p = {0, 2, 100, 7, 0.0f, 0.5f, 1.5f};
  add_channel(r, "A/B/C", p);
  add_channel(r, "D/E/F");
  add_text(r.file_list, "f1.raw");
  std::string out = printed_by([&] { print_daq_request(&r); });
  EXPECT_EQ(out,
            "======DAQ_REQUEST=ID=4711=====\n"
            "TStart:\t'2024-5-17T10:0:0'\t(1715940000)\n"
            "TStop:\t'2024-5-17T10:5:0'\n"
            "Runs First:\t 5\tLast\t8\n"
            "Experiment:\tUnknown\n"
            "Data Dir:\t'/data'\n"
            "Catalog Dir:\t'/cat'\n"
            "Conf File:\t'c.xml'\n"
            "Scan Mode: 0xa\tComm Mode: 2\tReq  Type: 3\n"
            "---Channel-list---(2)\n"
            "[1] 'A/B/C'\n"
            "[1]  start: 0\n"
            "[1] length: 100\n"
            "[1]    inc: 2\n"
            "[1]  tstart: 0.000000\n"
            "[1] tlength: 1.500000\n"
            "[1]    tinc: 0.500000\n"
            "[1]   func: 7\n"
            "[2] 'D/E/F'\n"
            "---File-list---\n"
            "[1] 'f1.raw'\n"
            "========DAQ_REQUEST_END====================\n");
}

TEST_F(Printing, RunLines) {
  Request r;
  r.run_first = 0;
  EXPECT_NE(printed_by([&] { print_daq_request(&r); }).find("\nRuns:\tALL\n"), std::string::npos);
  r.run_first = 9;
  r.run_last = 0;
  EXPECT_NE(printed_by([&] { print_daq_request(&r); }).find("\nRun \t 9\n"), std::string::npos);
}

TEST_F(Printing, Reply) {
  Reply rep;
  rep.stat.files = 2;
  rep.stat.fids = 3;
  rep.stat.events = 3000;
  rep.stat.data_loc = 26;
  rep.stat.avail = 1;
  add_text(rep.stat.file_list, "f1.raw");
  add_text(rep.stat.nf_chan_list, "C/H/N");
  add_text(rep.stat.nf_file_list, "nf.raw");
  rep.port = 5000;
  std::strcpy(rep.host, "daqhost");
  rep.evid64bitmode = true;
  std::strcpy(rep.reason, "ok");
  std::string out = printed_by([&] { print_daq_reply(&rep); });
  std::string request = printed_by([&] { print_daq_request(&rep.request); });
  EXPECT_EQ(out,
            "+++++++++++DAQ_REPLY+++++++++++++\n" + request +
                "------STATISTICS--------\n"
                "Tstart(sec):-1Tstop(sec):-1Files:2\tFids:3\tEvents:3000\tData Loc:0x1A\tAvail.:1\n"
                "____Found_File_list___\n"
                "[1] 'f1.raw'\n"
                "____Not_Found_Channel_list___\n"
                "[1] 'C/H/N'\n"
                "____Not_Found_File_list___\n"
                "[1] 'nf.raw'\n"
                "------------------------\n"
                ">>>>>> Port 5000 <<<<<\n"
                ">>>>>> Host 'daqhost' <<<<<\n"
                ">>>>>> EvID 64bit '1' <<<<<\n"
                ">>>>>> Comment 'ok' <<<<<\n"
                "++++++++DAQ_REPLY_END+++++++++++++++\n");
  EXPECT_EQ(printed_by([] { print_daq_reply(nullptr); }), "");
}

TEST_F(Printing, UnterminatedFieldsStayInsideTheirArrays) {
  Reply rep;
  std::memset(rep.host, 'h', sizeof rep.host);
  std::memset(rep.request.exp, 'e', sizeof rep.request.exp);
  std::string out = printed_by([&] { print_daq_reply(&rep); });
  EXPECT_NE(out.find("'" + std::string(32, 'h') + "'"), std::string::npos);
  EXPECT_NE(out.find("'" + std::string(32, 'e') + "'"), std::string::npos);
}
