#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "chan_descr_fixture.h"
#include "orxa_chan_descr.h"
#include "orxa_xml.h"

namespace {

// Writes the list, reads it back into read, and checks every field.
void expect_round_trip(const std::vector<chan_descr_2010*>& written, DescrList& read) {
  std::vector<chan_descr_2010*> copy = written;
  std::string doc;
  ASSERT_EQ(dump_chan_desr(&copy, nullptr, 2, 0, -1, &doc, nullptr), 0);
  ASSERT_EQ(parse_descr_list_read(&doc[0], &read.v, false, false), 0) << doc;
  ASSERT_EQ(read.v.size(), written.size());
  for (std::size_t i = 0; i < read.v.size(); ++i) {
    SCOPED_TRACE("description " + std::to_string(i));
    expect_same(*written[i], *read.v[i]);
  }
}

}  // namespace

TEST(ChanDescrWriter, WritesTheDocumentedForm) {
  DescrList list;
  auto* c = new chan_descr_2010();
  c->stream = 1;
  c->ev_type = 2;
  c->count = 1;
  c->dtype = 3;
  c->db_key = 17;
  set_text(c->prop_name, "LINAC/BPM1/X");
  set_text(c->daq_name, "LINAC/BPM1/X");
  set_text(c->prop_desc, "beam position \"x\"");
  set_text(c->units, "mm");
  c->max_size = 4;
  set_text(c->subsystem, "DIAG");
  list.v.push_back(c);
  auto* d = new chan_descr_2010();
  d->nbits = 7;  // the vectors decide the counts written
  auto* dim = new dim_descr();
  dim->stats.push_back(new stat_descr());
  d->dims.push_back(dim);
  list.v.push_back(d);
  list.v.push_back(nullptr);
  std::string out = "kept:";
  ASSERT_EQ(dump_chan_desr(&list.v, nullptr, 2, 0, -1, &out, nullptr), 0);
  EXPECT_EQ(
      out,
      "kept:<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<ChanDescrList>\n"
      "<ChanDescr stream=\"1\" ev_type=\"2\" count=\"1\" dtype=\"3\" db_key=\"17\" "
      "prop_name=\"LINAC/BPM1/X\" daq_name=\"LINAC/BPM1/X\" prop_desc=\"beam position "
      "&quot;x&quot;\" "
      "units=\"mm\" max_size=\"4\" nbits=\"0\" ndims=\"0\" sb_name=\"\" set_point=\"0\" "
      "subsystem=\"DIAG\"/>\n"
      "<ChanDescr stream=\"0\" ev_type=\"0\" count=\"0\" dtype=\"0\" db_key=\"0\" prop_name=\"\" "
      "daq_name=\"\" prop_desc=\"\" units=\"\" max_size=\"0\" nbits=\"0\" ndims=\"1\" sb_name=\"\" "
      "set_point=\"0\" subsystem=\"\">\n"
      "<DimDescr dim=\"0\" name=\"\" desc=\"\" units=\"\" nstats=\"1\">\n"
      "<StatDescr stat=\"0\" name=\"\" desc=\"\" units=\"\"/>\n"
      "</DimDescr>\n"
      "</ChanDescr>\n"
      "</ChanDescrList>\n");
}

TEST(ChanDescrWriter, RootTagCanBeFoundByItsExactText) {
  EXPECT_STREQ(get_chan_descr_root_tag(0, 0), "ChanDescrList");
  DescrList list;
  auto* c = new chan_descr_2010();
  set_text(c->prop_desc,
           "<ChanDescrList></ChanDescrList>");  // a hostile text cannot fake the block
  list.v.push_back(c);
  std::string out;
  ASSERT_EQ(dump_chan_desr(&list.v, nullptr, 2, 0, -1, &out, nullptr), 0);
  std::string start, end;
  START_TAG(start, get_chan_descr_root_tag(0, 0));
  END_TAG(end, get_chan_descr_root_tag(0, 0));
  EXPECT_EQ(out.find(start), out.rfind(start));
  EXPECT_EQ(out.find(end), out.rfind(end));
  EXPECT_LT(out.find(start), out.find(end));
}

TEST(ChanDescrWriter, EmptyListAndNullArguments) {
  std::vector<chan_descr_2010*> empty;
  std::string out;
  ASSERT_EQ(dump_chan_desr(&empty, nullptr, 2, 0, -1, &out, nullptr), 0);
  EXPECT_NE(out.find("<ChanDescrList>\n</ChanDescrList>\n"), std::string::npos);
  DescrList read;
  EXPECT_EQ(parse_descr_list_read(&out[0], &read.v, false, false), 0);
  EXPECT_TRUE(read.v.empty());
  std::string untouched = "x";
  EXPECT_NE(dump_chan_desr(nullptr, nullptr, 2, 0, -1, &untouched, nullptr), 0);
  EXPECT_NE(dump_chan_desr(&empty, nullptr, 2, 0, -1, nullptr, nullptr), 0);
  EXPECT_EQ(untouched, "x");
}

TEST(ChanDescrRoundTrip, RandomListsReadBackUnchanged) {
  for (unsigned seed = 1; seed <= 40; ++seed) {
    RandomDescr gen(seed);
    DescrList written;
    for (unsigned i = 0; i < seed % 6; ++i) written.v.push_back(gen.make());
    DescrList read;
    SCOPED_TRACE("seed " + std::to_string(seed));
    expect_round_trip(written.v, read);
  }
}

TEST(ChanDescrRoundTrip, SpecialCharactersAndFullFields) {
  DescrList written;
  auto* c = new chan_descr_2010();
  set_text(c->prop_name, "A&B/<C>/\"D\"/'E'");
  set_text(c->prop_desc, std::string(255, '&'));  // full field, each byte escaped to five
  set_text(c->units, "\xC2\xB5m \xE2\x84\x83");
  set_text(c->subsystem, "tab\there\nline\rcr");
  set_text(c->sb_name, "&lt; is not unescaped twice");
  auto* b = new bit_descr();
  set_text(b->bit_name, "</ChanDescr><ChanDescr>");
  set_text(b->bit_desc, std::string(79, '<'));
  c->bits.push_back(b);
  c->nbits = 1;
  written.v.push_back(c);
  DescrList read;
  expect_round_trip(written.v, read);
}

TEST(ChanDescrRoundTrip, ReadingAppendsToTheList) {
  RandomDescr gen(99);
  DescrList written;
  written.v.push_back(gen.make());
  std::string doc;
  ASSERT_EQ(dump_chan_desr(&written.v, nullptr, 2, 0, -1, &doc, nullptr), 0);
  DescrList read;
  ASSERT_EQ(parse_descr_list_read(&doc[0], &read.v, false, false), 0);
  ASSERT_EQ(parse_descr_list_read(&doc[0], &read.v, false, false), 0);
  ASSERT_EQ(read.v.size(), 2u);
  EXPECT_NE(read.v[0], read.v[1]);
  expect_same(*written.v[0], *read.v[1]);
}

TEST(ChanDescrRoundTrip, BlockCutFromAReplyReads) {
  // The reply writer drops what precedes the root start tag; what remains reads.
  RandomDescr gen(7);
  DescrList written;
  written.v.push_back(gen.make());
  std::string doc;
  ASSERT_EQ(dump_chan_desr(&written.v, nullptr, 2, 0, -1, &doc, nullptr), 0);
  std::string block = doc.substr(doc.find("<ChanDescrList>"));
  DescrList read;
  ASSERT_EQ(parse_descr_list_read(&block[0], &read.v, false, false), 0);
  ASSERT_EQ(read.v.size(), 1u);
  expect_same(*written.v[0], *read.v[0]);
}

TEST(ChanDescrList, CleanReleasesEverythingAndEmpties) {
  RandomDescr gen(3);
  std::vector<chan_descr_2010*> v;
  for (int i = 0; i < 5; ++i) v.push_back(gen.make());
  v.push_back(nullptr);
  clean_chan_desr_list(&v);  // LeakSanitizer sees any record left behind
  EXPECT_TRUE(v.empty());
  clean_chan_desr_list(&v);
  clean_chan_desr_list(nullptr);
}

TEST(ChanDescrFormat, DocumentedExampleReads) {
  // The example in the format's documentation must stay a valid document.
  std::FILE* f = std::fopen(DAQ_DOCS_DIR "/channel-descriptions.md", "rb");
  ASSERT_NE(f, nullptr);
  std::string text;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  std::fclose(f);
  std::size_t from = text.find("<?xml", text.find("### Example"));
  std::size_t to = text.find("</ChanDescrList>", from);
  ASSERT_NE(from, std::string::npos);
  ASSERT_NE(to, std::string::npos);
  std::string doc = text.substr(from, to - from) + "</ChanDescrList>\n";
  DescrList read;
  ASSERT_EQ(parse_descr_list_read(&doc[0], &read.v, false, false), 0);
  ASSERT_EQ(read.v.size(), 2u);
  EXPECT_STREQ(read.v[0]->prop_desc, "beam position \"x\"");
  EXPECT_EQ(read.v[1]->ev_type, 4294967295u);
  EXPECT_EQ(read.v[1]->count, -1);
  ASSERT_EQ(read.v[1]->dims.size(), 1u);
  EXPECT_STREQ(read.v[1]->dims[0]->stats[0]->stat_name, "mean");
  // Writing what was read gives the documented text back.
  std::string again;
  ASSERT_EQ(dump_chan_desr(&read.v, nullptr, 2, 0, -1, &again, nullptr), 0);
  EXPECT_EQ(again, doc);
}
