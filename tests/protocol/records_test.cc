// Records: defaults, comparison, merging and deep copies, including the paths
// where memory runs out.
#include <cmath>

#include "protocol_fixtures.h"

TEST(CleanRequest, SetsDefaultsAndReleasesLists) {
  Request r;
  fill_time_request(r);
  add_text(r.file_list, "a.raw");
  r.ddir = "/data";
  clean_request(&r);
  EXPECT_EQ(r.id, 0u);
  EXPECT_STREQ(r.exp, "linac");
  EXPECT_EQ(r.scan_mode, 15);
  EXPECT_EQ(r.comm_mode, 1);
  EXPECT_EQ(r.req_type, 1);
  EXPECT_EQ(r.run_first, -1);
  EXPECT_EQ(r.run_last, -1);
  EXPECT_EQ(r.t_start[0], '\0');
  EXPECT_TRUE(r.ddir.empty());
  EXPECT_TRUE(r.chan_list.empty());
  EXPECT_TRUE(r.file_list.empty());
  clean_request(&r);  // twice is harmless
  clean_request(nullptr);
  EXPECT_STREQ(r.exp, "linac");
}

TEST(CleanRequest, SkipsNullEntries) {
  Request r;
  r.chan_list.push_back(nullptr);
  add_channel(r, "A");
  clean_request(&r);
  EXPECT_TRUE(r.chan_list.empty());
}

TEST(CleanReply, SetsStatisticsDefaults) {
  Reply rep;
  rep.port = 7;
  std::strcpy(rep.host, "h");
  rep.evid64bitmode = true;
  add_text(rep.stat.file_list, "f");
  add_text(rep.stat.nf_chan_list, "c");
  add_text(rep.stat.nf_file_list, "n");
  clean_reply(&rep);
  EXPECT_EQ(rep.stat.t_start_sec, -1);
  EXPECT_EQ(rep.stat.t_stop_sec, -1);
  EXPECT_EQ(rep.port, 0);
  EXPECT_EQ(rep.host[0], '\0');
  EXPECT_FALSE(rep.evid64bitmode);
  EXPECT_TRUE(rep.stat.file_list.empty());
  EXPECT_TRUE(rep.stat.nf_chan_list.empty());
  EXPECT_TRUE(rep.stat.nf_file_list.empty());
  clean_reply(nullptr);
}

class SameRequests : public testing::Test {
 protected:
  void SetUp() override {
    for (Request* r : {&a, &b}) {
      fill_time_request(*r);
      add_channel(*r, "X/Y/Z");
      add_text(r->file_list, "f1");
      add_text(r->file_list, "f2");
    }
  }
  int compare() { return same_requests(&a, &b); }
  Request a;
  Request b;
};

TEST_F(SameRequests, EqualRequestsGiveOneAndNullGivesZeroWithMessage) {
  EXPECT_EQ(compare(), 1);
  std::string out = printed_by([&] { EXPECT_EQ(same_requests(&a, nullptr), 0); });
  EXPECT_EQ(out, "same_requests() Something wrong with input parameters\n");
}

TEST_F(SameRequests, EachFieldHasItsCode) {
  struct Case {
    const char* what;
    void (*change)(daq_server_request&);
    int code;
  };
  const Case cases[] = {
      {"id", [](daq_server_request& r) { r.id = 1; }, -2},
      {"run_first", [](daq_server_request& r) { r.run_first = 3; }, -16},
      {"t_start", [](daq_server_request& r) { std::strcpy(r.t_start, "2024-1-1T0:0:0"); }, -3},
      {"t_stop", [](daq_server_request& r) { std::strcpy(r.t_stop, "2024-1-1T0:0:0"); }, -4},
      {"exp", [](daq_server_request& r) { std::strcpy(r.exp, "ring"); }, -5},
      {"ddir", [](daq_server_request& r) { r.ddir = "/x"; }, 1},  // one side empty
      {"cdir", [](daq_server_request& r) { r.cdir = "/other"; }, -7},
      {"conf_file", [](daq_server_request& r) { std::strcpy(r.conf_file, "c.xml"); }, -8},
      {"scan_mode", [](daq_server_request& r) { r.scan_mode = 1; }, -9},
      {"comm_mode", [](daq_server_request& r) { r.comm_mode = 2; }, -10},
      {"req_type", [](daq_server_request& r) { r.req_type = 2; }, -11},
      {"channel count", [](daq_server_request& r) { add_channel(r, "more"); }, -12},
      {"file count", [](daq_server_request& r) { add_text(r.file_list, "f3"); }, -14},
      {"channel tinc", [](daq_server_request& r) { r.chan_list[1]->prms.tinc = 0.5f; }, -13},
      {"channel name", [](daq_server_request& r) { r.chan_list[1]->name[0] = 'Q'; }, -13},
      {"file name", [](daq_server_request& r) { r.file_list[0][0] = 'g'; }, -15},
  };
  for (const Case& c : cases) {
    Request changed;
    fill_time_request(changed);
    add_channel(changed, "X/Y/Z");
    add_text(changed.file_list, "f1");
    add_text(changed.file_list, "f2");
    c.change(changed);
    EXPECT_EQ(same_requests(&a, &changed), c.code) << c.what;
  }
}

TEST_F(SameRequests, FirstDifferenceWins) {
  b.id = 9;
  b.scan_mode = 1;
  add_channel(b, "extra");
  EXPECT_EQ(compare(), -2);
  b.id = a.id;
  EXPECT_EQ(compare(), -9);
  b.scan_mode = a.scan_mode;
  EXPECT_EQ(compare(), -12);
  // Counts come before contents.
  add_text(b.file_list, "f3");
  EXPECT_EQ(compare(), -12);
}

TEST_F(SameRequests, TimesMatterOnlyForTimeRequestsAndRunLastOnlyForRuns) {
  a.run_first = b.run_first = 7;
  std::strcpy(b.t_start, "2000-1-1T0:0:0");
  EXPECT_EQ(compare(), 1);
  a.run_last = 9;
  b.run_last = 10;
  EXPECT_EQ(compare(), -17);
  b.run_last = -1;  // unset on one side is no difference
  EXPECT_EQ(compare(), 1);
  a.t_start_sec = 5;  // seconds are never compared
  EXPECT_EQ(compare(), 1);
}

TEST_F(SameRequests, OrderDoesNotMatterAndNanEqualsNothing) {
  add_channel(a, "second");
  add_channel(b, "second");
  std::swap(b.chan_list[0], b.chan_list[2]);
  std::swap(b.file_list[0], b.file_list[1]);
  EXPECT_EQ(compare(), 1);
  a.chan_list[0]->prms.tstart = NAN;
  b.chan_list[2]->prms.tstart = NAN;
  EXPECT_EQ(compare(), -13);
}

// Each entry of req1 needs an equal entry in req2; counts, not multiplicities,
// are compared. -0.0 equals 0.0 as floats do.
TEST_F(SameRequests, EntriesAreLookedUpOneByOne) {
  add_channel(a, "dup");
  add_channel(a, "dup");
  add_channel(b, "dup");
  add_channel(b, "single");
  EXPECT_EQ(compare(), 1) << "a's two dup entries both find b's one";
  EXPECT_EQ(same_requests(&b, &a), -13) << "b's single has no equal in a";
  a.chan_list[0]->prms.tstart = -0.0f;
  b.chan_list[0]->prms.tstart = 0.0f;
  EXPECT_EQ(compare(), 1);

  std::strcpy(b.chan_list.back()->name, "dup");  // "single" has room
  add_text(a.file_list, "f1");
  add_text(b.file_list, "f9");
  EXPECT_EQ(compare(), 1) << "a's second f1 finds b's f1";
  EXPECT_EQ(same_requests(&b, &a), -15);
}

TEST_F(SameRequests, ExperimentOnOneSideOnlyIsNoDifferenceButConfFileIs) {
  a.exp[0] = '\0';
  EXPECT_EQ(compare(), 1);
  std::strcpy(b.conf_file, "x");
  EXPECT_EQ(compare(), -8);
}

TEST(MergeRequest, FillsOnlyWhatOrigLeavesUnset) {
  Request orig;
  Request from;
  std::strcpy(orig.t_start, "2024-1-1T0:0:0");
  orig.scan_mode = 0;
  orig.comm_mode = 2;
  from.id = 77;
  std::strcpy(from.t_start, "1999-1-1T0:0:0");
  std::strcpy(from.t_stop, "1999-1-2T0:0:0");
  from.t_stop_sec = 1234;
  from.run_first = 3;
  from.run_last = 4;
  std::strcpy(from.exp, "ring");
  from.ddir = "/data";
  std::strcpy(from.conf_file, "conf.xml");
  from.scan_mode = 5;
  from.comm_mode = 1;
  ASSERT_EQ(merge_daq_request(&orig, &from), 0);
  EXPECT_EQ(orig.id, 77u);
  EXPECT_STREQ(orig.t_start, "2024-1-1T0:0:0");
  EXPECT_STREQ(orig.t_stop, "1999-1-2T0:0:0");
  EXPECT_EQ(orig.t_stop_sec, 1234);
  EXPECT_EQ(orig.run_first, 3);
  EXPECT_EQ(orig.run_last, 4);
  EXPECT_STREQ(orig.exp, "ring");  // replaces even a non-empty linac
  EXPECT_EQ(orig.ddir, "/data");
  EXPECT_TRUE(orig.cdir.empty());
  EXPECT_STREQ(orig.conf_file, "conf.xml");
  EXPECT_EQ(orig.scan_mode, 5);
  EXPECT_EQ(orig.comm_mode, 2);
  EXPECT_STREQ(from.exp, "ring");  // from is not changed
}

TEST(MergeRequest, KeepsOrigChannelsAndAppendsNewOnes) {
  Request orig;
  Request from;
  orxa_chan_prms mine = unset_prms();
  mine.start = 1;
  orxa_chan_prms theirs = unset_prms();
  theirs.start = 2;
  theirs.tinc = 0.25f;
  add_channel(orig, "A", mine);
  add_channel(from, "A", theirs);
  add_channel(from, "B", theirs);
  add_text(orig.file_list, "f1");
  add_text(from.file_list, "f1");
  add_text(from.file_list, "f2");
  ASSERT_EQ(merge_daq_request(&orig, &from), 0);
  ASSERT_EQ(orig.chan_list.size(), 2u);
  EXPECT_EQ(orig.chan_list[0]->prms.start, 1);
  EXPECT_STREQ(orig.chan_list[1]->name, "B");
  EXPECT_EQ(orig.chan_list[1]->prms.start, 2);
  EXPECT_EQ(orig.chan_list[1]->prms.tinc, 0.25f);
  EXPECT_NE(orig.chan_list[1]->name, from.chan_list[1]->name);
  ASSERT_EQ(orig.file_list.size(), 2u);
  EXPECT_STREQ(orig.file_list[1], "f2");
}

TEST(MergeRequest, NameRepeatedInFromIsAddedOnceWithItsFirstParameters) {
  Request orig;
  Request from;
  orxa_chan_prms first = unset_prms();
  first.length = 10;
  orxa_chan_prms second = unset_prms();
  second.length = 20;
  add_channel(from, "B", first);
  from.chan_list.push_back(nullptr);
  add_channel(from, "B", second);
  add_text(from.file_list, "f");
  add_text(from.file_list, "f");
  ASSERT_EQ(merge_daq_request(&orig, &from), 0);
  ASSERT_EQ(orig.chan_list.size(), 1u);
  EXPECT_EQ(orig.chan_list[0]->prms.length, 10);
  EXPECT_EQ(orig.file_list.size(), 1u);
}

TEST(MergeRequest, OutOfMemoryStopsWithItsMessageAndKeepsWhatWasMerged) {
  Request from;
  add_channel(from, "A");
  add_channel(from, "B");
  add_text(from.file_list, "file");
  from.scan_mode = 3;
  struct Case {
    int nth;
    const char* message;
    std::size_t channels;
  };
  const Case cases[] = {
      {1, "merge_daq_request() failed to allocate memory for channel entry\n", 0},
      {4, "merge_daq_request() failed to allocate memory for channel name B\n", 1},
      {5, "merge_daq_request() failed to allocate memory for file name of length 5\n", 2},
  };
  for (const Case& c : cases) {
    Request orig;
    orig.scan_mode = 0;
    std::string out = printed_by([&] {
      with_failing_allocation(c.nth, [&] { EXPECT_EQ(merge_daq_request(&orig, &from), -1); });
    });
    EXPECT_EQ(out, c.message);
    EXPECT_EQ(orig.chan_list.size(), c.channels);
    EXPECT_EQ(orig.scan_mode, 0) << "step 8 is skipped";
  }
}

namespace {
void fill_reply(daq_server_reply& rep) {
  fill_time_request(rep.request);
  rep.request.ddir = "/d";
  add_text(rep.request.file_list, "req.raw");
  rep.stat.t_start_sec = 10;
  rep.stat.t_stop_sec = 20;
  rep.stat.files = 2;
  rep.stat.fids = 3;
  rep.stat.events = 4;
  rep.stat.data_loc = 0x1A;
  rep.stat.avail = 1;
  add_text(rep.stat.file_list, "found.raw");
  add_text(rep.stat.nf_chan_list, "missing/chan");
  add_text(rep.stat.nf_file_list, "missing.raw");
  rep.port = 5000;
  std::strcpy(rep.host, "daqhost");
  std::strcpy(rep.reason, "ok");
  rep.evid64bitmode = true;
}
}  // namespace

TEST(CopyReply, CopyIsIndependentOfTheSource) {
  Reply copy;
  add_text(copy.stat.file_list, "old");  // released by the copy
  {
    Reply source;
    fill_reply(source);
    ASSERT_FALSE(copy_reply(&copy, &source));
    EXPECT_EQ(same_requests(&copy.request, &source.request), 1);
    EXPECT_NE(copy.request.chan_list[0], source.request.chan_list[0]);
    EXPECT_NE(copy.request.chan_list[0]->name, source.request.chan_list[0]->name);
    clean_reply(&source);
  }
  EXPECT_STREQ(copy.request.chan_list[0]->name, "SECTION/DEVICE/PROPERTY");
  EXPECT_EQ(copy.request.chan_list[0]->prms.length, 100);
  EXPECT_EQ(copy.request.ddir, "/d");
  ASSERT_EQ(copy.stat.file_list.size(), 1u);
  EXPECT_STREQ(copy.stat.file_list[0], "found.raw");
  EXPECT_STREQ(copy.stat.nf_chan_list[0], "missing/chan");
  EXPECT_STREQ(copy.stat.nf_file_list[0], "missing.raw");
  EXPECT_EQ(copy.stat.data_loc, 0x1A);
  EXPECT_EQ(copy.stat.t_stop_sec, 20);
  EXPECT_EQ(copy.port, 5000);
  EXPECT_STREQ(copy.host, "daqhost");
  EXPECT_STREQ(copy.reason, "ok");
  EXPECT_TRUE(copy.evid64bitmode);
}

TEST(CopyReply, NullAndSelfCopy) {
  Reply rep;
  fill_reply(rep);
  EXPECT_TRUE(copy_reply(nullptr, &rep));
  EXPECT_TRUE(copy_reply(&rep, nullptr));
  EXPECT_FALSE(copy_reply(&rep, &rep));
  ASSERT_EQ(rep.request.chan_list.size(), 1u);  // a self copy loses nothing
  EXPECT_EQ(rep.stat.file_list.size(), 1u);
}

TEST(CopyReply, OutOfMemoryNamesTheListAndKeepsWhatWasCopied) {
  Reply source;
  fill_reply(source);
  // Allocation order: entry, name, request file, found file... see copy_reply.
  struct Case {
    int nth;
    const char* message;
  };
  const Case cases[] = {
      {1, "copy_reply() failed to malloc daq_channel_entry\n"},
      {2, "copy_reply() failed to malloc daq_channel_entry name\n"},
      {3, "copy_reply() failed to malloc file_list\n"},
      {4, "copy_reply() failed to malloc nf_chan_list\n"},
      {5, "copy_reply() failed to malloc nf_file_list\n"},
      {6, "copy_reply() failed to malloc file_list\n"},
  };
  for (const Case& c : cases) {
    Reply copy;
    std::string out = printed_by(
        [&] { with_failing_allocation(c.nth, [&] { EXPECT_TRUE(copy_reply(&copy, &source)); }); });
    EXPECT_EQ(out, c.message) << c.nth;
    EXPECT_EQ(copy.port, 5000);
  }
}

TEST(GetEventJump, ShiftsKeepingTheSign) {
  EXPECT_EQ(GET_EVENT_JUMP(0x35), 3);
  EXPECT_EQ(GET_EVENT_JUMP(-1), -1);
  EXPECT_EQ(GET_EVENT_JUMP(-16), -1);
  EXPECT_EQ(GET_EVENT_JUMP(-17), -2);
}
