// Damaged and hostile description documents: each gives a negative code, leaves
// the caller's list exactly as it was, and leaks nothing.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "chan_descr_fixture.h"
#include "orxa_chan_descr.h"

namespace {

const std::string kChanAttrs =
    "stream=\"1\" ev_type=\"2\" count=\"3\" dtype=\"4\" db_key=\"5\" prop_name=\"P\" "
    "daq_name=\"D\" "
    "prop_desc=\"\" units=\"u\" max_size=\"6\" sb_name=\"\" set_point=\"0\" subsystem=\"S\"";

std::string chan(const std::string& counts, const std::string& children = "") {
  std::string s = "<ChanDescr " + kChanAttrs + " " + counts;
  return children.empty() ? s + "/>\n" : s + ">\n" + children + "</ChanDescr>\n";
}

std::string list_of(const std::string& body) {
  return "<ChanDescrList>\n" + body + "</ChanDescrList>\n";
}

// Reads doc into a list that already holds one description, and checks that a
// failure leaves that list as it was.
int read_into_held_list(std::string doc) {
  DescrList list;
  auto* held = new chan_descr_2010();
  set_text(held->prop_name, "held");
  list.v.push_back(held);
  int rc = parse_descr_list_read(&doc[0], &list.v, false, false);
  if (rc != 0) {
    EXPECT_EQ(list.v.size(), 1u);
    EXPECT_EQ(list.v[0], held);
  }
  return rc;
}

}  // namespace

TEST(ChanDescrReader, WellFormedDocumentOfTheFixtureReads) {
  const std::string bit = "<BitDescr bit=\"0\" name=\"b\" desc=\"d\"/>\n";
  const std::string dim = "<DimDescr dim=\"0\" name=\"n\" desc=\"d\" units=\"u\" nstats=\"0\"/>\n";
  std::string doc =
      list_of(chan("nbits=\"0\" ndims=\"0\"") + chan("nbits=\"1\" ndims=\"1\"", bit + dim));
  DescrList list;
  ASSERT_EQ(parse_descr_list_read(&doc[0], &list.v, false, false), 0);
  ASSERT_EQ(list.v.size(), 2u);
  EXPECT_EQ(list.v[1]->nbits, 1);
  EXPECT_STREQ(list.v[1]->bits[0]->bit_name, "b");
  EXPECT_EQ(list.v[1]->dims[0]->nstats, 0);
}

TEST(ChanDescrReader, CountsMustMatchTheChildren) {
  const std::string bit = "<BitDescr bit=\"0\" name=\"b\" desc=\"d\"/>\n";
  EXPECT_EQ(read_into_held_list(list_of(chan("nbits=\"2000000000\" ndims=\"0\"", bit))), -4);
  EXPECT_EQ(read_into_held_list(list_of(chan("nbits=\"-1\" ndims=\"0\""))), -4);
  EXPECT_EQ(read_into_held_list(list_of(chan("nbits=\"0\" ndims=\"0\"", bit))), -4);
  EXPECT_EQ(read_into_held_list(list_of(
                chan("nbits=\"0\" ndims=\"1\"",
                     "<DimDescr dim=\"0\" name=\"\" desc=\"\" units=\"\" nstats=\"5\"/>\n"))),
            -4);
  // A count mismatch in the first description undoes nothing already in the list
  // and keeps nothing of a later, valid one.
  EXPECT_EQ(read_into_held_list(
                list_of(chan("nbits=\"1\" ndims=\"0\"") + chan("nbits=\"0\" ndims=\"0\""))),
            -4);
}

TEST(ChanDescrReader, ChildrenNeedTheirParent) {
  EXPECT_EQ(read_into_held_list(list_of("<BitDescr bit=\"0\" name=\"b\" desc=\"d\"/>\n")), -4);
  EXPECT_EQ(read_into_held_list(
                list_of("<DimDescr dim=\"0\" name=\"\" desc=\"\" units=\"\" nstats=\"0\"/>\n")),
            -4);
  EXPECT_EQ(
      read_into_held_list(list_of(chan(
          "nbits=\"0\" ndims=\"0\"", "<StatDescr stat=\"0\" name=\"\" desc=\"\" units=\"\"/>\n"))),
      -4);
}

TEST(ChanDescrReader, MissingOrMalformedAttributesFail) {
  EXPECT_EQ(read_into_held_list(list_of(chan("nbits=\"0\""))), -3);
  EXPECT_EQ(read_into_held_list(list_of("<ChanDescr/>\n")), -3);
  for (const char* bad : {"", "12x", " 1", "0x10", "99999999999", "1.5", "+"}) {
    std::string doc = list_of(chan("nbits=\"0\" ndims=\"" + std::string(bad) + "\""));
    EXPECT_EQ(read_into_held_list(doc), -3) << bad;
  }
  std::string negative_unsigned = list_of(chan("nbits=\"0\" ndims=\"0\""));
  negative_unsigned.replace(negative_unsigned.find("dtype=\"4\""), 9, "dtype=\"-4\"");
  EXPECT_EQ(read_into_held_list(negative_unsigned), -3);
  EXPECT_EQ(read_into_held_list(
                list_of(chan("nbits=\"1\" ndims=\"0\"", "<BitDescr bit=\"0\" name=\"b\"/>\n"))),
            -3);
}

TEST(ChanDescrReader, LongTextsAreCutToTheirFields) {
  std::string doc = list_of(chan("nbits=\"0\" ndims=\"0\""));
  doc.replace(doc.find("units=\"u\""), 9, "units=\"" + std::string(5000, 'U') + "\"");
  doc.replace(doc.find("prop_name=\"P\""), 13, "prop_name=\"" + std::string(300, '&') + "\"");
  DescrList list;
  // '&' alone is not well-formed, so escape it the way a writer would.
  std::string escaped;
  for (char ch : doc) escaped += ch == '&' ? std::string("&amp;") : std::string(1, ch);
  ASSERT_EQ(parse_descr_list_read(&escaped[0], &list.v, false, false), 0);
  ASSERT_EQ(list.v.size(), 1u);
  EXPECT_EQ(std::string(list.v[0]->units), std::string(15, 'U'));
  EXPECT_EQ(std::string(list.v[0]->prop_name), std::string(255, '&'));
}

TEST(ChanDescrReader, DocumentsThatAreNotDescriptionListsFail) {
  EXPECT_EQ(read_into_held_list("<Other><ChanDescr/></Other>"), -2);
  EXPECT_LT(read_into_held_list(""), 0);
  EXPECT_EQ(read_into_held_list("<!DOCTYPE ChanDescrList [<!ENTITY e SYSTEM \"/etc/passwd\">]>"
                                "<ChanDescrList>&e;</ChanDescrList>"),
            -1);
  DescrList list;
  EXPECT_EQ(parse_descr_list_read(nullptr, &list.v, false, false), -1);
  char doc[] = "<ChanDescrList/>";
  EXPECT_EQ(parse_descr_list_read(doc, nullptr, false, false), -1);
}

TEST(ChanDescrReader, TruncatedDocumentsFailAtEveryCut) {
  RandomDescr gen(5);
  DescrList written;
  for (int i = 0; i < 2; ++i) written.v.push_back(gen.make());
  std::string doc;
  ASSERT_EQ(dump_chan_desr(&written.v, nullptr, 2, 0, -1, &doc, nullptr), 0);
  std::size_t end = doc.rfind("</ChanDescrList>");
  for (std::size_t cut = 0; cut < end; cut += 1 + cut / 50) {
    int rc = read_into_held_list(doc.substr(0, cut));
    EXPECT_LT(rc, 0) << "cut at " << cut;
  }
}

TEST(ChanDescrReader, BinaryGarbageFails) {
  std::mt19937 rng(77);
  for (int round = 0; round < 200; ++round) {
    std::string doc = round % 2 == 0 ? "<ChanDescrList>\n<ChanDescr " : "";
    std::size_t n = 1 + rng() % 300;
    for (std::size_t i = 0; i < n; ++i) doc += static_cast<char>(1 + rng() % 255);
    EXPECT_LT(read_into_held_list(doc), 0);
  }
}
