// Allocation-failure sweeps of the document readers and the reply copy: every
// allocation they make, from the C++ runtime or from the records' own malloc,
// fails once in turn. Each run must end in a documented result with nothing
// leaked, and a success must be the whole document.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "daq_server_util_def.h"
#include "failing_allocator.h"
#include "orxa_chan_descr.h"
#include "orxa_xml.h"
#include "protocol_alloc.h"
#include "protocol_fixtures.h"

namespace fa = failing_allocator;

namespace {

const fa::Hook kRecordMalloc{protocol_fail_allocation, protocol_allocation_failure_pending};

// A request that uses every element of the document.
void fill_full_request(daq_server_request& r) {
  fill_time_request(r);
  r.run_first = 12;
  r.run_last = 14;
  r.ddir = "/daq/data/with/a/path/longer/than/the/short/string/buffer";
  std::strcpy(r.exp, "novik");
  std::strcpy(r.conf_file, "/etc/daq/request.xml");
  r.scan_mode = 3;
  r.comm_mode = 2;
  r.req_type = 2;
  add_channel(r, "SECOND/CHANNEL/WITH/A/NAME/LONGER/THAN/SIXTEEN",
              orxa_chan_prms{1, 2, 3, 4, 0.5f, 1.5f, 2.5f});
  add_text(r.file_list, "/daq/data/run12.raw");
  add_text(r.file_list, "/daq/data/run13.raw");
}

void fill_full_reply(daq_server_reply& rep) {
  fill_full_request(rep.request);
  rep.port = 5000;
  std::strcpy(rep.host, "daqhost");
  rep.evid64bitmode = true;
  std::strcpy(rep.reason, "ok");
  rep.stat = daq_server_stat();
  rep.stat.t_start_sec = 10;
  rep.stat.t_stop_sec = 20;
  rep.stat.files = 2;
  rep.stat.fids = 2;
  rep.stat.events = 3000;
  rep.stat.data_loc = 0x1A;
  rep.stat.avail = 1;
  add_text(rep.stat.file_list, "/daq/data/run12.raw");
  add_text(rep.stat.nf_chan_list, "MISSING/CHANNEL");
  add_text(rep.stat.nf_file_list, "/daq/data/missing.raw");
}

// Field by field, the lists included.
void expect_same_reply(daq_server_reply& a, daq_server_reply& b, long n) {
  EXPECT_EQ(same_requests(&a.request, &b.request), 1) << n;
  EXPECT_EQ(a.request.run_first, b.request.run_first) << n;
  EXPECT_STREQ(a.host, b.host) << n;
  EXPECT_EQ(a.port, b.port) << n;
  EXPECT_EQ(a.evid64bitmode, b.evid64bitmode) << n;
  EXPECT_STREQ(a.reason, b.reason) << n;
  EXPECT_EQ(a.stat.events, b.stat.events) << n;
  EXPECT_EQ(a.stat.data_loc, b.stat.data_loc) << n;
  auto texts = [](const std::vector<char*>& v) {
    return std::vector<std::string>(v.begin(), v.end());
  };
  EXPECT_EQ(texts(a.stat.file_list), texts(b.stat.file_list)) << n;
  EXPECT_EQ(texts(a.stat.nf_chan_list), texts(b.stat.nf_chan_list)) << n;
  EXPECT_EQ(texts(a.stat.nf_file_list), texts(b.stat.nf_file_list)) << n;
}

chan_descr_2010* description(const char* name) {
  auto* d = new chan_descr_2010();
  std::snprintf(d->prop_name, sizeof d->prop_name, "%s", name);
  std::snprintf(d->daq_name, sizeof d->daq_name, "%s", name);
  d->count = 1;
  return d;
}

class DocumentSweep : public testing::TestWithParam<fa::Source> {
 protected:
  long sweep(const fa::Sweep& s) {
    long runs = fa::run(s, GetParam(), &kRecordMalloc);
    EXPECT_GT(runs, 0) << s.what << ": no allocation was reached";
    return runs;
  }
};

}  // namespace

TEST_P(DocumentSweep, RequestReaderFailsCleanlyAtEveryAllocation) {
  Request sent;
  fill_full_request(sent);
  std::string xml;
  create_xml_daq_request(&sent, xml, 1);
  Request* got = nullptr;
  int rc = 0;
  fa::Sweep s;
  s.what = "parse_daq_request";
  s.setup = [&] { got = new Request; };
  s.op = [&] { rc = parse_daq_request(&xml[0], got); };
  s.check = [&](long n) {
    // A document cut short counts as an error of the parser (a positive result).
    EXPECT_GE(rc, -1) << n;
    if (rc == 0) {
      EXPECT_EQ(same_requests(got, &sent), 1) << n;
    }
  };
  s.teardown = [&] { delete got; };
  sweep(s);
}

TEST_P(DocumentSweep, ReplyReaderFailsCleanlyAtEveryAllocation) {
  Reply sent;
  fill_full_reply(sent);
  std::vector<chan_descr_2010*> descriptions{description("A/B/C"), description("D/E/F")};
  std::string xml;
  create_xml_daq_reply(&sent, xml, &descriptions);
  clean_chan_desr_list(&descriptions);
  Reply* got = nullptr;
  std::vector<chan_descr_2010*>* vc = nullptr;
  int rc = 0;
  fa::Sweep s;
  s.what = "parse_daq_reply";
  s.setup = [&] {
    got = new Reply;
    vc = new std::vector<chan_descr_2010*>;
  };
  s.op = [&] { rc = parse_daq_reply(&xml[0], got, vc); };
  s.check = [&](long n) {
    EXPECT_GE(rc, -1) << n;
    if (rc == 0) expect_same_reply(*got, sent, n);
    // A description block that cannot be read leaves the list as it was.
    EXPECT_TRUE(vc->empty() || vc->size() == 2) << n;
  };
  s.teardown = [&] {
    clean_chan_desr_list(vc);
    delete vc;
    delete got;
  };
  sweep(s);
}

TEST_P(DocumentSweep, ReplyCopyFailsCleanlyAndLeavesTheSourceAlone) {
  Reply source;
  fill_full_reply(source);
  Reply reference;
  ASSERT_FALSE(copy_reply(&reference, &source));
  Reply* copy = nullptr;
  bool failed = false;
  fa::Sweep s;
  s.what = "copy_reply";
  s.setup = [&] {
    copy = new Reply;
    add_channel(copy->request, "OLD/CHANNEL");
    add_text(copy->stat.nf_chan_list, "OLD/MISSING");
  };
  s.op = [&] { failed = copy_reply(copy, &source); };
  s.check = [&](long n) {
    if (!failed) expect_same_reply(*copy, reference, n);
    expect_same_reply(source, reference, n);
  };
  s.teardown = [&] { delete copy; };
  sweep(s);
}

INSTANTIATE_TEST_SUITE_P(Allocations, DocumentSweep,
                         testing::Values(fa::Source::operator_new, fa::Source::hook),
                         [](const testing::TestParamInfo<fa::Source>& p) {
                           return p.param == fa::Source::operator_new ? "OperatorNew"
                                                                      : "RecordMalloc";
                         });
