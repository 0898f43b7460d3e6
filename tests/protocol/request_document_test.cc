// The request document: the writer's format and conditions, both readers' codes
// and messages, random round trips, special characters and hostile input.
#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <random>

#include "orxa_chan_descr.h"
#include "orxa_xml.h"
#include "protocol_fixtures.h"

namespace {
std::string document(const std::vector<std::string>& lines) {
  std::string out;
  set_xml_header(out);
  START_TAGN(out, "DAQREQ");
  for (const std::string& line : lines) out += line + "\n";
  END_TAGN(out, "DAQREQ");
  return out;
}

std::string written(daq_server_request& r) {
  std::string out;
  create_xml_daq_request(&r, out, 1);
  return out;
}

int parse(std::string xml, daq_server_request& r) { return parse_daq_request(xml.data(), &r); }

std::string default_catalog() {
  char name[1024];
  int size = sizeof name;
  return get_run_catalog_dir_name(nullptr, name, &size, 0) == 0 ? name : "Unknown";
}

// A file removed when the test ends.
struct TempFile {
  explicit TempFile(const std::string& content) {
    char name[] = "/tmp/protocol_test_XXXXXX";
    int fd = mkstemp(name);
    path = name;
    if (fd >= 0) {
      if (write(fd, content.data(), content.size()) < 0) path.clear();
      close(fd);
    }
  }
  ~TempFile() { unlink(path.c_str()); }
  std::string path;
};
}  // namespace

TEST(RequestWriter, WritesTheExampleDocument) {
  Request r;
  fill_time_request(r);
  EXPECT_EQ(written(r), document({
                            "<ReqId id=\"4711\"/>",
                            "<TStart time=\"2024-5-17T10:0:0\"/>",
                            "<TStop time=\"2024-5-17T10:5:0\"/>",
                            "<Exp name=\"linac\"/>",
                            "<DDir name=\"\"/>",
                            "<CDir name=\"/daq/cat\"/>",
                            "<ScanMode mode=\"15\"/>",
                            "<ReqType type=\"1\"/>",
                            "<CommMode mode=\"1\"/>",
                            "<Chan name=\"SECTION/DEVICE/PROPERTY\" start=\"0\" length=\"100\"/>",
                            "<ConfFile file=\"\"/>",
                        }));
}

TEST(RequestWriter, WritesOptionalElementsOnlyUnderTheirConditions) {
  Request r;
  r.id = 0x80000001u;          // printed as a signed value
  r.t_start_sec = 1715940000;  // 2024-05-17 10:00:00 UTC
  r.run_first = 0;
  r.exp[0] = '\0';
  orxa_chan_prms p = {-1, 0, -1, 3, 0.0f, 0.0f, -1.0f};
  add_channel(r, "C", p);
  p = {1, 2, 3, -1, 0.0000001f, 0.25f, 1.0f};
  add_channel(r, "D", p);
  r.chan_list.push_back(nullptr);
  add_text(r.file_list, "f.raw");
  std::strcpy(r.conf_file, "conf.xml");
  EXPECT_EQ(written(r),
            document({
                "<ReqId id=\"-2147483647\"/>",
                "<TStart time=\"2024-5-17T10:0:0\"/>",
                "<RunFirst number=\"0\"/>",
                "<Exp name=\"linac\"/>",
                "<DDir name=\"\"/>",
                "<CDir name=\"" + default_catalog() + "\"/>",
                "<ScanMode mode=\"15\"/>",
                "<ReqType type=\"1\"/>",
                "<CommMode mode=\"1\"/>",
                "<Chan name=\"C\" func=\"3\" tstart=\"0.000000\"/>",
                "<Chan name=\"D\" start=\"1\" length=\"3\" inc=\"2\" tstart=\"0.000000\" "
                "tlength=\"1.000000\" tinc=\"0.250000\"/>",
                "<File name=\"f.raw\"/>",
                "<ConfFile file=\"conf.xml\"/>",
            }));
}

TEST(RequestWriter, AppendsWithoutDeclarationWhenHowIsZero) {
  Request r;
  std::string out = "prefix";
  char* text = create_xml_daq_request(&r, out, 0);
  EXPECT_EQ(text, out.data());
  EXPECT_EQ(out.rfind("prefix<DAQREQ>", 0), 0u);
  EXPECT_EQ(out.find("<?xml"), std::string::npos);
}

TEST(RequestWriter, EscapesAttributeValuesAndWritesLongTextsWhole) {
  Request r;
  r.id = 1;
  r.ddir = std::string(5000, 'd') + "\"<>&'";
  r.cdir = std::string(3000, 'c');
  add_channel(r, "a\"b<c>d&e'f");
  std::string xml = written(r);
  EXPECT_NE(xml.find("name=\"a&quot;b&lt;c&gt;d&amp;e&apos;f\""), std::string::npos);
  Request back;
  ASSERT_EQ(parse(xml, back), 0);
  EXPECT_EQ(back.ddir, r.ddir);
  EXPECT_EQ(back.cdir, r.cdir);
  EXPECT_STREQ(back.chan_list[0]->name, "a\"b<c>d&e'f");
}

TEST(TagHelpers, WriteEmptyElements) {
  std::string out;
  EMPTY_TAG_ATTRN(out, "E", "a", "x&y");
  char f[] = "2";
  char h[] = "<3>";
  EMPTY_TAG_3ATTRN(out, "T", "a", "1", "b", f, "c", h);
  EXPECT_EQ(out, "<E a=\"x&amp;y\"/>\n<T a=\"1\" b=\"2\" c=\"&lt;3&gt;\"/>\n");
}

TEST(RequestReader, ReadsEveryElement) {
  Request r;
  int rc =
      parse(document({"<ReqId id=\"12\"/>", "<TStart time=\"2024-1-2T3:4:5\"/>",
                      "<TStop time=\"2024-1-2T3:5:5\"/>", "<RunFirst number=\"4\"/>",
                      "<RunLast number=\"6\"/>", "<Exp name=\"ring\"/>", "<DDir name=\"/dd\"/>",
                      "<CDir name=\"/cd\"/>", "<ScanMode mode=\"0xF\"/>", "<ReqType type=\"2\"/>",
                      "<CommMode mode=\"2\"/>", "<Chan name=\"A\" start=\"1\" tinc=\"0.5\"/>",
                      "<Chan name=\"B\"/>", "<Chan start=\"1\"/>", "<File name=\"f\"/>",
                      "<ConfFile file=\"c.xml\"/>", "<Unknown x=\"1\"/>"}),
            r);
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(r.id, 12u);
  EXPECT_STREQ(r.t_start, "2024-1-2T3:4:5");
  EXPECT_STREQ(r.t_stop, "2024-1-2T3:5:5");
  EXPECT_EQ(r.run_first, 4);
  EXPECT_EQ(r.run_last, 6);
  EXPECT_STREQ(r.exp, "ring");
  EXPECT_EQ(r.ddir, "/dd");
  EXPECT_EQ(r.cdir, "/cd");
  EXPECT_EQ(r.scan_mode, 15);
  EXPECT_EQ(r.req_type, 2);
  EXPECT_EQ(r.comm_mode, 2);
  ASSERT_EQ(r.chan_list.size(), 2u);
  EXPECT_EQ(r.chan_list[0]->prms.start, 1);
  EXPECT_EQ(r.chan_list[0]->prms.tinc, 0.5f);
  EXPECT_EQ(r.chan_list[0]->prms.length, -1);
  const orxa_chan_prms& b = r.chan_list[1]->prms;
  EXPECT_EQ(b.start + b.inc + b.length + b.func, -4);
  EXPECT_EQ(b.tstart + b.tinc + b.tlength, -3.0f);
  ASSERT_EQ(r.file_list.size(), 1u);
  EXPECT_STREQ(r.conf_file, "c.xml");
}

TEST(RequestReader, NumbersAndTextLimits) {
  struct Case {
    const char* scan;
    int expected;
  };
  for (Case c : {Case{"0xF", 15}, Case{"15", 15}, Case{"x", 0}, Case{" 7junk", 7}, Case{"0X1a", 26},
                 Case{"1a", 1}}) {
    Request r;
    ASSERT_EQ(parse(document({std::string("<ScanMode mode=\"") + c.scan + "\"/>"}), r), 0);
    EXPECT_EQ(r.scan_mode, c.expected) << c.scan;
  }
  Request r;
  std::string forty(40, 't');
  ASSERT_EQ(parse(document({"<TStart time=\"" + forty + "\"/>", "<Exp name=\"" + forty + "\"/>",
                            "<ConfFile file=\"" + std::string(2000, 'c') + "\"/>",
                            "<Chan name=\"A\" tstart=\"1e300\" start=\"99999999999\"/>"}),
                  r),
            0);
  EXPECT_EQ(std::string(r.t_start), forty.substr(0, 30));
  EXPECT_EQ(std::string(r.exp), forty.substr(0, 30));
  EXPECT_EQ(std::strlen(r.conf_file), 1022u);
  EXPECT_TRUE(std::isinf(r.chan_list[0]->prms.tstart));
}

TEST(RequestReader, RunFirstFillsRunLastBelowOne) {
  Request r;
  ASSERT_EQ(parse(document({"<RunLast number=\"0\"/>", "<RunFirst number=\"3\"/>"}), r), 0);
  EXPECT_EQ(r.run_last, 3);
  Request zero;
  zero.id = 1;
  zero.run_first = 0;
  Request back;
  ASSERT_EQ(parse(written(zero), back), 0);
  EXPECT_EQ(back.run_first, 0);
  EXPECT_EQ(back.run_last, 0);
}

TEST(RequestReader, InvalidValuesFailWithTheirMessageAndStayStored) {
  struct Case {
    std::string line;
    std::string message;
  };
  const Case cases[] = {
      {"<ReqId id=\"abc\"/>", "parse_daq_request() invalid request Id 0\n"},
      {"<ReqType type=\"4\"/>", "parse_daq_request() invalid request type 4\n"},
      {"<CommMode mode=\"0\"/>", "parse_daq_request() invalid communication mode 0\n"},
  };
  for (const Case& c : cases) {
    Request r;
    std::string out;
    out = printed_by([&] {
      EXPECT_EQ(parse(document({"<Chan name=\"kept\"/>", c.line, "<File name=\"late\"/>"}), r), -1);
    });
    EXPECT_EQ(out, c.message);
    EXPECT_EQ(r.chan_list.size(), 1u) << "what was read before stays";
    EXPECT_TRUE(r.file_list.empty());
  }
  Request r;
  printed_by([&] { parse(document({"<ReqType type=\"4\"/>"}), r); });
  EXPECT_EQ(r.req_type, 4);
}

TEST(RequestReader, OutOfMemoryNamesWhatWasLost) {
  const std::string xml = document({"<Chan name=\"A/B\"/>", "<File name=\"f.raw\"/>"});
  struct Case {
    int nth;
    const char* message;
  };
  for (Case c : {Case{1, "parse_daq_request() failed to allocate memory for channel entry A/B\n"},
                 Case{2, "parse_daq_request() failed to allocate memory for channel name A/B\n"},
                 Case{3, "parse_daq_request() failed to allocate memory for file name f.raw\n"}}) {
    Request r;
    std::string out =
        printed_by([&] { with_failing_allocation(c.nth, [&] { EXPECT_EQ(parse(xml, r), -1); }); });
    EXPECT_EQ(out, c.message);
  }
}

TEST(RequestReader, SetupAndStructureResults) {
  Request r;
  r.id = 99;
  char xml[] = "<Other><ReqId id=\"5\"/></Other>";
  EXPECT_EQ(parse_daq_request(xml, &r), -1);
  EXPECT_EQ(r.id, 99u) << "a document without DAQREQ leaves the record alone";
  EXPECT_EQ(parse_daq_request(xml, nullptr), 1);
  EXPECT_EQ(parse_daq_request(nullptr, &r), 1);

  // Elements before DAQREQ are ignored; each DAQREQ starts the record afresh.
  ASSERT_EQ(parse("<R><File name=\"before\"/><DAQREQ><ReqId id=\"1\"/><Chan name=\"A\"/></DAQREQ>"
                  "<DAQREQ><Chan name=\"B\"/></DAQREQ></R>",
                  r),
            0);
  EXPECT_EQ(r.id, 0u);
  ASSERT_EQ(r.chan_list.size(), 1u);
  EXPECT_STREQ(r.chan_list[0]->name, "B");
  EXPECT_TRUE(r.file_list.empty());
}

TEST(RequestFileReader, CompletesTheRecordAndIgnoresConfFile) {
  TempFile file(
      "<R><DAQREQ><Chan name=\"A\"/><ConfFile file=\"other\"/></DAQREQ>"
      "<DAQREQ><Chan name=\"B\"/><Exp name=\"ring\"/></DAQREQ></R>");
  Request r;
  add_channel(r, "mine");
  std::strcpy(r.conf_file, "keep");
  ASSERT_EQ(parse_daq_request_from_file(file.path.data(), &r), 0);
  ASSERT_EQ(r.chan_list.size(), 3u);
  EXPECT_STREQ(r.chan_list[2]->name, "B");
  EXPECT_STREQ(r.conf_file, "keep");
  EXPECT_STREQ(r.exp, "ring");

  char missing[] = "/nonexistent/dir/request.xml";
  EXPECT_EQ(parse_daq_request_from_file(missing, &r), -1);
  EXPECT_EQ(parse_daq_request_from_file(file.path.data(), nullptr), 1);
  TempFile bad("<DAQREQ><ReqType type=\"7\"/></DAQREQ>");
  std::string out =
      printed_by([&] { EXPECT_EQ(parse_daq_request_from_file(bad.path.data(), &r), -1); });
  EXPECT_EQ(out, "parse_daq_request() invalid request type 7\n");
}

namespace {
const char kAlphabet[] = "abcXYZ019_/.-\"<>&' \t\n";

std::string random_text(std::mt19937& rng, std::size_t max_length, bool allow_utf8) {
  std::uniform_int_distribution<std::size_t> length(0, max_length);
  std::uniform_int_distribution<std::size_t> pick(0, sizeof kAlphabet - 2);
  std::string text;
  std::size_t n = length(rng);
  for (std::size_t i = 0; i < n; ++i) {
    if (allow_utf8 && pick(rng) == 0) {
      text += "\xC3\xA9";  // e acute
    } else {
      text += kAlphabet[pick(rng)];
    }
  }
  return text;
}

float random_param(std::mt19937& rng) {
  std::uniform_int_distribution<int> kind(0, 3);
  switch (kind(rng)) {
    case 0:
      return -1.0f;
    case 1:
      return 0.0f;
    case 2:
      return static_cast<float>(rng() % 100000) / 1000.0f;
    default:
      return 0.0000001f;
  }
}

// The record as a reader gives it back: the differences the document format implies.
void expect_read_back(const daq_server_request& sent, const daq_server_request& back) {
  EXPECT_EQ(back.id, sent.id);
  EXPECT_EQ(back.t_start_sec, 0);
  EXPECT_EQ(back.run_first, sent.run_first);
  int run_last = sent.run_last;
  if (sent.run_last <= 0 && sent.run_first >= 0) run_last = sent.run_first;
  EXPECT_EQ(back.run_last, run_last);
  EXPECT_STREQ(back.exp, sent.exp[0] != '\0' ? sent.exp : "linac");
  EXPECT_EQ(back.ddir, sent.ddir);
  EXPECT_EQ(back.cdir, sent.cdir.empty() ? default_catalog() : sent.cdir);
  EXPECT_STREQ(back.conf_file, sent.conf_file);
  EXPECT_EQ(back.scan_mode, sent.scan_mode);
  EXPECT_EQ(back.req_type, sent.req_type);
  EXPECT_EQ(back.comm_mode, sent.comm_mode);
  ASSERT_EQ(back.chan_list.size(), sent.chan_list.size());
  for (std::size_t i = 0; i < sent.chan_list.size(); ++i) {
    const orxa_chan_prms& s = sent.chan_list[i]->prms;
    const orxa_chan_prms& b = back.chan_list[i]->prms;
    EXPECT_STREQ(back.chan_list[i]->name, sent.chan_list[i]->name);
    EXPECT_EQ(b.start, s.start >= 0 ? s.start : -1);
    EXPECT_EQ(b.inc, s.inc > 0 ? s.inc : -1);
    auto six_decimals = [](float v) {
      char text[64];
      std::snprintf(text, sizeof text, "%f", static_cast<double>(v));
      return static_cast<float>(std::strtod(text, nullptr));
    };
    EXPECT_EQ(b.tstart, s.tstart >= 0.0f ? six_decimals(s.tstart) : -1.0f);
    EXPECT_EQ(b.tinc, s.tinc > 0.0f ? six_decimals(s.tinc) : -1.0f);
  }
  ASSERT_EQ(back.file_list.size(), sent.file_list.size());
  for (std::size_t i = 0; i < sent.file_list.size(); ++i) {
    EXPECT_STREQ(back.file_list[i], sent.file_list[i]);
  }
}
}  // namespace

TEST(RequestDocument, RandomRequestsRoundTrip) {
  std::mt19937 rng(20240517);
  for (int round = 0; round < 200; ++round) {
    Request sent;
    sent.id = rng() | 1u;
    if (rng() % 2) {
      unsigned f[6] = {static_cast<unsigned>(rng() % 40),     static_cast<unsigned>(rng() % 12 + 1),
                       static_cast<unsigned>(rng() % 28 + 1), static_cast<unsigned>(rng() % 24),
                       static_cast<unsigned>(rng() % 60),     static_cast<unsigned>(rng() % 60)};
      std::snprintf(sent.t_start, sizeof sent.t_start, "20%02u-%u-%uT%u:%u:%u", f[0], f[1], f[2],
                    f[3], f[4], f[5]);
      std::snprintf(sent.t_stop, sizeof sent.t_stop, "%s", sent.t_start);
    } else {
      sent.run_first = static_cast<int>(rng() % 1000);
      sent.run_last = static_cast<int>(rng() % 2000) - 1;
    }
    std::string exp = random_text(rng, 30, false);
    std::snprintf(sent.exp, sizeof sent.exp, "%s", exp.c_str());
    sent.ddir = random_text(rng, 200, true);
    sent.cdir = random_text(rng, 50, true);
    std::string conf = random_text(rng, 100, true);
    std::snprintf(sent.conf_file, sizeof sent.conf_file, "%s", conf.c_str());
    // Now and then any int, the extremes and negatives included.
    sent.scan_mode = round % 4 == 0 ? static_cast<int>(rng()) : static_cast<int>(rng() % 16);
    if (round == 4) sent.scan_mode = INT_MIN;
    sent.req_type = static_cast<int>(rng() % 3) + 1;
    sent.comm_mode = static_cast<int>(rng() % 2) + 1;
    for (unsigned i = rng() % 5; i > 0; --i) {
      orxa_chan_prms p = {static_cast<int>(rng() % 5) - 1,
                          static_cast<int>(rng() % 5) - 1,
                          static_cast<int>(rng() % 500) - 1,
                          static_cast<int>(rng() % 3) - 1,
                          random_param(rng),
                          random_param(rng),
                          random_param(rng)};
      add_channel(sent, random_text(rng, 40, true).c_str(), p);
    }
    for (unsigned i = rng() % 4; i > 0; --i)
      add_text(sent.file_list, random_text(rng, 60, true).c_str());

    Request back;
    std::string xml = written(sent);
    ASSERT_EQ(parse(xml, back), 0) << xml;
    expect_read_back(sent, back);
    if (HasFailure()) {
      ADD_FAILURE() << "document: " << xml;
      return;
    }
  }
}

TEST(RequestReader, HostileDocumentsFailCleanly) {
  Request r;
  fill_time_request(r);
  const std::string good = written(r);
  // Every truncation either fails or reads what stood before the cut.
  const std::size_t complete = good.find("</DAQREQ>") + std::strlen("</DAQREQ>");
  for (std::size_t cut = 0; cut < complete; ++cut) {
    Request back;
    int rc = parse(good.substr(0, cut), back);
    EXPECT_NE(rc, 0) << cut;
  }

  std::string huge = document({"<Chan name=\"" + std::string(4 << 20, 'n') + "\"/>"});
  Request big;
  ASSERT_EQ(parse(huge, big), 0);
  EXPECT_EQ(std::strlen(big.chan_list[0]->name), std::size_t{4} << 20);

  std::string deep;
  for (int i = 0; i < 100000; ++i) deep += "<a>";
  Request nested;
  EXPECT_NE(parse("<DAQREQ>" + deep, nested), 0);

  std::mt19937 rng(7);
  for (int round = 0; round < 50; ++round) {
    std::string garbage(1 + rng() % 2000, '\0');
    for (char& c : garbage) c = static_cast<char>(rng() % 255 + 1);
    Request junk;
    EXPECT_NE(parse(garbage, junk), 0);
  }
}

TEST(RequestFileReader, DoctypeNeverReadsOtherFiles) {
  TempFile secret("<Chan name=\"SECRET\"/>");
  TempFile file("<?xml version=\"1.0\"?>\n<!DOCTYPE DAQREQ [<!ENTITY ext SYSTEM \"file://" +
                secret.path + "\">]>\n<DAQREQ><ReqId id=\"3\"/>&ext;</DAQREQ>\n");
  Request r;
  EXPECT_NE(parse_daq_request_from_file(file.path.data(), &r), 0);
  EXPECT_TRUE(r.chan_list.empty());
}

TEST(RequestReader, DoctypeNeverReadsOtherFiles) {
  TempFile secret("SECRET-CONTENT");
  Request r;
  std::string xml =
      "<?xml version=\"1.0\"?>\n<!DOCTYPE DAQREQ [\n"
      "<!ENTITY ext SYSTEM \"file://" +
      secret.path +
      "\">\n"
      "<!ENTITY % pe SYSTEM \"file://" +
      secret.path +
      "\">\n%pe;\n"
      "<!ENTITY lol \"lol\"><!ENTITY lol2 \"&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;\">"
      "<!ENTITY lol3 \"&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;\">"
      "<!ENTITY lol4 \"&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;\">"
      "]>\n<DAQREQ><ReqId id=\"3\"/><Exp name=\"&lol4;\"/><DDir name=\"x\"/><Chan name=\"&ext;\"/>"
      "<Chan name=\"ok\"/></DAQREQ>\n";
  int rc = parse(xml, r);
  EXPECT_NE(rc, 0);
  for (const daq_channel_entry* e : r.chan_list) {
    EXPECT_EQ(std::strstr(e->name, "SECRET"), nullptr);
  }
  EXPECT_EQ(r.ddir.find("SECRET"), std::string::npos);
}
