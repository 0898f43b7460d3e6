// The reply document: the full and the short writers, the reader's sections and
// codes, channel-description blocks, random round trips.
#include <climits>
#include <cstdio>
#include <random>

#include "orxa_chan_descr.h"
#include "orxa_xml.h"
#include "protocol_fixtures.h"

namespace {
std::string reply_document(const std::vector<std::string>& lines) {
  std::string out;
  set_xml_header(out);
  START_TAGN(out, "DAQREP");
  for (const std::string& line : lines) out += line + "\n";
  END_TAGN(out, "DAQREP");
  return out;
}

int parse(std::string xml, daq_server_reply& rep, std::vector<chan_descr_2010*>* vc = nullptr) {
  return parse_daq_reply(xml.data(), &rep, vc);
}

void fill_example(daq_server_reply& rep) {
  fill_time_request(rep.request);
  rep.port = 5000;
  std::strcpy(rep.host, "daqhost");
  rep.evid64bitmode = true;
  std::strcpy(rep.reason, "ok");
  rep.stat.t_start_sec = 1715940000;
  rep.stat.t_stop_sec = 1715940300;
  rep.stat.files = 2;
  rep.stat.fids = 2;
  rep.stat.events = 3000;
  rep.stat.data_loc = 1;
  add_text(rep.stat.file_list, "f1.raw");
  rep.stat.avail = 1;
}

chan_descr_2010* new_description(const char* name) {
  auto* d = new chan_descr_2010();
  std::snprintf(d->prop_name, sizeof d->prop_name, "%s", name);
  std::snprintf(d->daq_name, sizeof d->daq_name, "%s", name);
  std::snprintf(d->units, sizeof d->units, "mA");
  d->stream = 1;
  d->count = 1;
  return d;
}

struct Descriptions {
  std::vector<chan_descr_2010*> list;
  ~Descriptions() { clean_chan_desr_list(&list); }
};
}  // namespace

TEST(ReplyWriter, WritesTheExampleDocument) {
  Reply rep;
  fill_example(rep);
  std::string request;
  create_xml_daq_request(&rep.request, request, 0);
  std::string stats;
  START_TAGN(stats, "Statistics");
  stats +=
      "<TStart secs=\"1715940000\"/>\n<TStop secs=\"1715940300\"/>\n<Files num=\"2\"/>\n"
      "<FIds num=\"2\"/>\n<Events num=\"3000\"/>\n<DataLoc code=\"0x1\"/>\n"
      "<File name=\"f1.raw\"/>\n<Avail num=\"1\"/>\n";
  END_TAGN(stats, "Statistics");
  std::string out;
  char* text = create_xml_daq_reply(&rep, out, nullptr);
  EXPECT_EQ(text, out.data());
  stats.pop_back();  // reply_document adds the line end
  EXPECT_EQ(out, reply_document(
                     {request + "<Reply rep=\"5000\" host=\"daqhost\" EvId64bitmode=\"Yes\"/>\n"
                                "<Reason com=\"ok\"/>",
                      stats}));
}

TEST(ReplyWriter, ListsAndPortVariants) {
  Reply rep;
  rep.stat.data_loc = 26;
  add_text(rep.stat.nf_chan_list, "nc");
  add_text(rep.stat.nf_file_list, "nf");
  add_text(rep.stat.file_list, "ff");
  std::string out;
  create_xml_daq_reply(&rep, out, nullptr);
  EXPECT_NE(out.find("<Reply rep=\"0\"/>\n<Reason com=\"\"/>\n"), std::string::npos);
  EXPECT_NE(out.find("<DataLoc code=\"0x1A\"/>\n<NFChan name=\"nc\"/>\n<NFFile name=\"nf\"/>\n"
                     "<File name=\"ff\"/>\n<Avail num=\"0\"/>\n"),
            std::string::npos);
  rep.port = 5000;
  std::strcpy(rep.host, "h");
  create_xml_daq_reply(&rep, out, nullptr);
  EXPECT_NE(out.find("<Reply rep=\"5000\" host=\"h\" EvId64bitmode=\"No\"/>"), std::string::npos);
  for (int code : {0, -1, INT_MIN, 0xABCDEF}) {  // hex digits as printf's "0x%X" writes them
    rep.stat.data_loc = code;
    create_xml_daq_reply(&rep, out, nullptr);
    char expected[40];
    std::snprintf(expected, sizeof expected, "<DataLoc code=\"0x%X\"/>", code);
    EXPECT_NE(out.find(expected), std::string::npos) << expected;
  }
}

TEST(ReplyWriter, SimpleReplies) {
  std::string out;
  char info[] = "busy & <full>";
  get_simple_reply(info, out, 17);
  std::string expected;
  set_xml_header(expected);
  START_TAGN(expected, "DAQREP");
  START_TAGN(expected, "DAQREQ");
  expected += "<ReqId id=\"17\"/>\n";
  END_TAGN(expected, "DAQREQ");
  expected += "<Reply rep=\"0\"/>\n<Reason com=\"busy &amp; &lt;full&gt;\"/>\n";
  END_TAGN(expected, "DAQREP");
  EXPECT_EQ(out, expected);

  get_simple_reply_with_port(info, out, 0, 6001);
  EXPECT_EQ(out.find("<ReqId"), std::string::npos);
  EXPECT_NE(out.find("<Reply rep=\"6001\"/>"), std::string::npos);

  Reply rep;
  std::strcpy(rep.reason, "stale");
  rep.port = 3;
  ASSERT_EQ(parse(get_simple_reply(info, out, 0), rep), 0);
  EXPECT_STREQ(rep.reason, "busy & <full>");
  EXPECT_EQ(rep.port, 0);
  EXPECT_EQ(rep.request.id, 0u);
}

TEST(ReplyReader, ReadsTheExampleBack) {
  Reply sent;
  fill_example(sent);
  std::string out;
  create_xml_daq_reply(&sent, out, nullptr);
  Reply back;
  ASSERT_EQ(parse(out, back), 0);
  EXPECT_EQ(same_requests(&sent.request, &back.request), 1);
  EXPECT_EQ(back.port, 5000);
  EXPECT_STREQ(back.host, "daqhost");
  EXPECT_TRUE(back.evid64bitmode);
  EXPECT_STREQ(back.reason, "ok");
  EXPECT_EQ(back.stat.t_start_sec, 1715940000);
  EXPECT_EQ(back.stat.events, 3000);
  ASSERT_EQ(back.stat.file_list.size(), 1u);
  EXPECT_STREQ(back.stat.file_list[0], "f1.raw");
  EXPECT_TRUE(back.request.file_list.empty());
}

TEST(ReplyReader, SectionsDecideWhereElementsGo) {
  Reply rep;
  ASSERT_EQ(parse(reply_document({
                      "<File name=\"ignored\"/>",
                      "<DAQREQ>",
                      "<File name=\"requested\"/>",
                      "<TStart time=\"2024-1-1T0:0:0\"/>",
                      "<RunLast number=\"0\"/>",
                      "<RunFirst number=\"4\"/>",
                      "</DAQREQ>",
                      "<Avail num=\"9\"/>",  // the request section is still open
                      "<Statistics>",
                      "<TStart secs=\"-5\"/>",
                      "<File name=\"found\"/>",
                      "<Reply rep=\"77\" host=\"h\" EvId64bitmode=\"NoYes\"/>",
                      "<Reason com=\"inside\"/>",
                      "<DataLoc code=\"26\"/>",
                      "</Statistics>",
                  }),
                  rep),
            0);
  ASSERT_EQ(rep.request.file_list.size(), 1u);
  EXPECT_STREQ(rep.request.file_list[0], "requested");
  EXPECT_STREQ(rep.request.t_start, "2024-1-1T0:0:0");
  EXPECT_EQ(rep.request.run_last, 0) << "the reply reader fills only an unset run_last";
  EXPECT_EQ(rep.stat.avail, 0);
  EXPECT_EQ(rep.stat.t_start_sec, -5);
  ASSERT_EQ(rep.stat.file_list.size(), 1u);
  EXPECT_STREQ(rep.stat.file_list[0], "found");
  EXPECT_EQ(rep.port, 77);
  EXPECT_TRUE(rep.evid64bitmode);
  EXPECT_STREQ(rep.reason, "inside");
  EXPECT_EQ(rep.stat.data_loc, 26);
}

TEST(ReplyReader, SecondDaqrepCleansAgainAndNoDaqrepLeavesTheReply) {
  Reply rep;
  ASSERT_EQ(parse("<R><DAQREP><Reason com=\"first\"/><Statistics/></DAQREP>"
                  "<DAQREP><Files num=\"3\"/></DAQREP></R>",
                  rep),
            0);
  EXPECT_EQ(rep.reason[0], '\0');
  EXPECT_EQ(rep.stat.files, 3) << "a later DAQREP keeps the open section";
  rep.port = 12;
  EXPECT_EQ(parse("<DAQREQ><ReqId id=\"4\"/></DAQREQ>", rep), -1);
  EXPECT_EQ(rep.port, 12);
  EXPECT_EQ(parse("<DAQREP/>", rep), 0);
  EXPECT_EQ(rep.port, 0);
  char xml[] = "<DAQREP/>";
  EXPECT_EQ(parse_daq_reply(xml, nullptr, nullptr), 1);
}

TEST(ReplyReader, InvalidValuesFailWithTheirMessages) {
  struct Case {
    std::string line;
    std::string message;
  };
  const Case cases[] = {
      {"<Reply rep=\"-1\"/>", "parse_daq_reply() invalid reply -1\n"},
      {"<Statistics/><Files num=\"-3\"/>", "parse_daq_reply() invalid number of files -3\n"},
      {"<Statistics/><FIds num=\"-4\"/>", "parse_daq_reply() invalid number if FIds -4\n"},
      {"<Statistics/><Events num=\"-5\"/>", "parse_daq_reply() invalid number of events  -5\n"},
      {"<Statistics/><DataLoc code=\"0xFFFFFFFF\"/>",
       "parse_daq_reply() invalid data location code  -1\n"},
      {"<Statistics/><Avail num=\"-6\"/>",
       "parse_daq_reply() invalid number of available services -6\n"},
      {"<DAQREQ/><ReqId id=\"0\"/>", "parse_daq_request() invalid request Id 0\n"},
      {"<DAQREQ/><ReqType type=\"9\"/>", "parse_daq_reply() invalid reply type 9\n"},
      {"<DAQREQ/><CommMode mode=\"3\"/>", "parse_daq_reply() invalid communication mode 3\n"},
  };
  for (const Case& c : cases) {
    Reply rep;
    std::string out = printed_by([&] { EXPECT_EQ(parse(reply_document({c.line}), rep), -1); });
    EXPECT_EQ(out, c.message);
  }
  Reply rep;
  printed_by([&] { parse(reply_document({"<Statistics/><Files num=\"-3\"/>"}), rep); });
  EXPECT_EQ(rep.stat.files, -3);
}

TEST(ReplyReader, OutOfMemoryNamesTheList) {
  const std::string xml = reply_document({"<DAQREQ/><Chan name=\"c\"/><File name=\"rf\"/>",
                                          "<Statistics/><File name=\"ff\"/>",
                                          "<NFChan name=\"nc\"/><NFFile name=\"nf\"/>"});
  const char* messages[] = {
      "parse_daq_request() failed to allocate memory for channel entry c\n",
      "parse_daq_request() failed to allocate memory for channel name c\n",
      "parse_daq_reply() failed to allocate memory for file name rf\n",
      "parse_daq_reply() failed to allocate memory for File ff\n",
      "parse_daq_reply() failed to allocate memory for NF channel name nc\n",
      "parse_daq_reply() failed to allocate memory for NF file name nf\n",
  };
  for (int nth = 1; nth <= 6; ++nth) {
    Reply rep;
    std::string out =
        printed_by([&] { with_failing_allocation(nth, [&] { EXPECT_EQ(parse(xml, rep), -1); }); });
    EXPECT_EQ(out, messages[nth - 1]);
  }
}

TEST(ReplyDescriptions, WrittenInsideStatisticsAndReadBack) {
  Descriptions sent;
  sent.list.push_back(new_description("A/B/C"));
  sent.list.push_back(new_description("D/E<&>F"));
  Reply rep;
  fill_example(rep);
  std::string out;
  std::string printed = printed_by([&] { create_xml_daq_reply(&rep, out, &sent.list); });
  EXPECT_EQ(printed, "");
  std::string start_tag;
  START_TAG(start_tag, get_chan_descr_root_tag(0, 0));
  std::size_t block = out.find(start_tag);
  ASSERT_NE(block, std::string::npos);
  EXPECT_LT(out.find("<Avail"), block);
  EXPECT_LT(block, out.find("</Statistics>"));
  EXPECT_EQ(out.find("<?xml", 1), std::string::npos) << "one declaration only";

  Descriptions got;
  Reply back;
  ASSERT_EQ(parse(out, back, &got.list), 0);
  ASSERT_EQ(got.list.size(), 2u);
  EXPECT_STREQ(got.list[1]->prop_name, "D/E<&>F");
  EXPECT_EQ(back.stat.avail, 1);
  EXPECT_EQ(back.stat.file_list.size(), 1u);

  // A null or empty list writes no block and prints nothing.
  Descriptions none;
  printed = printed_by([&] { create_xml_daq_reply(&rep, out, &none.list); });
  EXPECT_EQ(printed, "");
  EXPECT_EQ(out.find(start_tag), std::string::npos);
}

TEST(ReplyDescriptions, MisplacedTagsLeaveTheBlockUnread) {
  std::string root = get_chan_descr_root_tag(0, 0);
  std::string start_tag;
  std::string end_tag;
  START_TAG(start_tag, root.c_str());
  END_TAG(end_tag, root.c_str());
  // End tag missing, and the first end tag before the first start tag (the
  // earlier element carries an attribute, so its start tag reads differently):
  // nothing cut, nothing read, the rest of the document still read.
  std::string with_attribute = "<" + root + " a=\"1\">";
  for (const std::string& block :
       {start_tag + "<Avail num=\"1\"/>",
        with_attribute + end_tag + "<Avail num=\"1\"/>" + start_tag + end_tag}) {
    Descriptions got;
    Reply rep;
    std::string xml =
        reply_document({"<Statistics>", "<Files num=\"2\"/>", block, "<Events num=\"8\"/>"});
    std::string printed = printed_by([&] { parse(xml, rep, &got.list); });
    EXPECT_EQ(printed.find("parse_descr_list_read"), std::string::npos);
    EXPECT_TRUE(got.list.empty());
    EXPECT_EQ(rep.stat.files, 2);
    EXPECT_EQ(rep.stat.avail, 1);
    EXPECT_EQ(rep.stat.events, 8);
  }
}

TEST(ReplyDescriptions, FailingBlockIsReportedAndTheReplyStillRead) {
  std::string root = get_chan_descr_root_tag(0, 0);
  std::string block;
  START_TAG(block, root.c_str());
  block += "<broken";
  END_TAG(block, root.c_str());
  Descriptions got;
  Reply rep;
  std::string printed;
  int rc = 99;
  printed = printed_by([&] {
    rc = parse(reply_document({"<Statistics>", block, "<Files num=\"2\"/>", "</Statistics>"}), rep,
               &got.list);
  });
  EXPECT_EQ(rc, 0) << printed;
  EXPECT_NE(printed.find("parse_daq_reply() Failed to  parse_descr_list_read() ret: -"),
            std::string::npos)
      << printed;
  EXPECT_EQ(rep.stat.files, 2);
}

TEST(ReplyDocument, RandomRepliesRoundTrip) {
  std::mt19937 rng(1234);
  const char alphabet[] = "abz09/._-\"<>&' ";
  auto text = [&](std::size_t max) {
    std::string t(rng() % (max + 1), 'x');
    for (char& c : t) c = alphabet[rng() % (sizeof alphabet - 1)];
    return t;
  };
  for (int round = 0; round < 100; ++round) {
    Reply sent;
    fill_time_request(sent.request);
    sent.request.id = rng() | 1u;
    add_text(sent.request.file_list, text(40).c_str());
    sent.port = static_cast<int>(rng() % 3) == 0 ? 0 : static_cast<int>(rng() % 65535) + 1;
    if (sent.port > 0) {
      std::snprintf(sent.host, sizeof sent.host, "%s", text(30).c_str());
      sent.evid64bitmode = rng() % 2;
    }
    std::snprintf(sent.reason, sizeof sent.reason, "%s", text(1000).c_str());
    daq_server_stat& s = sent.stat;
    s.t_start_sec = static_cast<int>(rng());
    s.t_stop_sec = static_cast<int>(rng());
    s.files = static_cast<int>(rng() % 100000);
    s.fids = static_cast<int>(rng() % 100000);
    s.events = static_cast<int>(rng() & 0x7fffffff);
    s.data_loc = static_cast<int>(rng() & 0x7fffffff);
    s.avail = static_cast<int>(rng() % 10);
    for (auto* list : {&s.file_list, &s.nf_chan_list, &s.nf_file_list}) {
      for (unsigned i = rng() % 4; i > 0; --i) add_text(*list, text(50).c_str());
    }
    std::string out;
    create_xml_daq_reply(&sent, out, nullptr);
    Reply back;
    ASSERT_EQ(parse(out, back), 0) << out;
    EXPECT_EQ(same_requests(&sent.request, &back.request), 1);
    EXPECT_EQ(back.port, sent.port);
    EXPECT_STREQ(back.host, sent.host);
    EXPECT_EQ(back.evid64bitmode, sent.evid64bitmode);
    EXPECT_STREQ(back.reason, sent.reason);
    EXPECT_EQ(back.stat.t_start_sec, s.t_start_sec);
    EXPECT_EQ(back.stat.t_stop_sec, s.t_stop_sec);
    EXPECT_EQ(back.stat.files, s.files);
    EXPECT_EQ(back.stat.fids, s.fids);
    EXPECT_EQ(back.stat.events, s.events);
    EXPECT_EQ(back.stat.data_loc, s.data_loc);
    EXPECT_EQ(back.stat.avail, s.avail);
    for (auto list : {&daq_server_stat::file_list, &daq_server_stat::nf_chan_list,
                      &daq_server_stat::nf_file_list}) {
      ASSERT_EQ((back.stat.*list).size(), (s.*list).size());
      for (std::size_t i = 0; i < (s.*list).size(); ++i) {
        EXPECT_STREQ((back.stat.*list)[i], (s.*list)[i]);
      }
    }
    if (HasFailure()) return;
  }
}

TEST(ReplyReader, HostileDocumentsFailCleanly) {
  Reply sent;
  fill_example(sent);
  std::string good;
  create_xml_daq_reply(&sent, good, nullptr);
  const std::size_t complete = good.find("</DAQREP>") + std::strlen("</DAQREP>");
  for (std::size_t cut = 0; cut < complete; cut += 3) {
    Reply back;
    EXPECT_NE(parse(good.substr(0, cut), back), 0) << cut;
  }
  std::mt19937 rng(99);
  for (int round = 0; round < 50; ++round) {
    std::string garbage(1 + rng() % 2000, '\0');
    for (char& c : garbage) c = static_cast<char>(rng() % 255 + 1);
    Reply junk;
    EXPECT_NE(parse(garbage, junk), 0);
  }
  Reply huge;
  ASSERT_EQ(parse(reply_document({"<Reason com=\"" + std::string(1 << 20, 'r') + "\"/>",
                                  "<Reply host=\"" + std::string(1 << 20, 'h') + "\"/>"}),
                  huge),
            0);
  EXPECT_EQ(std::strlen(huge.reason), 1022u);
  EXPECT_EQ(std::strlen(huge.host), 30u);
}
