#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <unistd.h>

#include "orxa_xml.h"

namespace {

// Element names in document order, "-" for the items that are no element start.
template <class Parser>
std::string walk(Parser& p) {
  std::string seen;
  char* tag = nullptr;
  char* value = nullptr;
  while (p.parse(&tag, &value) == 0) {
    seen += tag != nullptr ? tag : "-";
    seen += ' ';
  }
  return seen;
}

std::string elements_only(const std::string& walked) {
  std::string out;
  std::size_t pos = 0;
  while (pos < walked.size()) {
    std::size_t end = walked.find(' ', pos);
    std::string item = walked.substr(pos, end - pos);
    if (item != "-") out += item + ' ';
    pos = end + 1;
  }
  return out;
}

std::string attr_of(SAX_Memory_Parser& p, const char* name) {
  char* v = nullptr;
  if (p.get_attr(name, &v) != 0) return "<absent>";
  return v;
}

}  // namespace

TEST(SaxMemoryParser, ReportsElementStartsInDocumentOrder) {
  char doc[] =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<DAQREP>\n<DAQREQ>\n<ReqId id=\"7\"/>\n</DAQREQ>\n"
      "<!-- note -->text<Statistics><File name=\"f1\"/></Statistics>\n</DAQREP>\n";
  SAX_Memory_Parser p(doc);
  ASSERT_TRUE(p.init_ok());
  ASSERT_FALSE(p.start());
  std::string walked = walk(p);
  EXPECT_EQ(elements_only(walked), "DAQREP DAQREQ ReqId Statistics File ");
  EXPECT_NE(walked.find('-'), std::string::npos) << "non-element items come as null tags";
  EXPECT_EQ(p.get_error_counter(), 0);
  char* tag = nullptr;
  EXPECT_NE(p.parse(&tag, nullptr), 0) << "the end stays the end";
  EXPECT_EQ(tag, nullptr);
}

TEST(SaxMemoryParser, EmptyRootElementIsReported) {
  char doc[] = "<DAQREQ/>";
  SAX_Memory_Parser p(doc);
  ASSERT_FALSE(p.start());
  EXPECT_EQ(elements_only(walk(p)), "DAQREQ ");
}

TEST(SaxMemoryParser, AttributesBelongToTheElementLastReported) {
  char doc[] = "<A x=\"1\" y=''><B x=\"2\"/>tail</A>";
  SAX_Memory_Parser p(doc);
  ASSERT_FALSE(p.start());
  char* tag = nullptr;
  ASSERT_EQ(p.parse(&tag, nullptr), 0);
  ASSERT_STREQ(tag, "A");
  EXPECT_EQ(attr_of(p, "x"), "1");
  EXPECT_EQ(attr_of(p, "y"), "");
  EXPECT_EQ(attr_of(p, "z"), "<absent>");
  EXPECT_EQ(attr_of(p, "X"), "<absent>") << "names are case-sensitive";
  while (p.parse(&tag, nullptr) == 0 && tag == nullptr) {
  }
  ASSERT_STREQ(tag, "B");
  EXPECT_EQ(attr_of(p, "x"), "2");
  EXPECT_EQ(attr_of(p, "y"), "<absent>");
  // Items after B that are no element start leave B the element last reported.
  int items = 0;
  while (p.parse(&tag, nullptr) == 0) {
    ++items;
    EXPECT_EQ(tag, nullptr);
    EXPECT_EQ(attr_of(p, "x"), "2");
  }
  EXPECT_GT(items, 0) << "the text and the end tag come as null tags";
  EXPECT_EQ(attr_of(p, "x"), "2");
  EXPECT_EQ(p.get_error_counter(), 0);
}

TEST(SaxMemoryParser, AttributesCanBeAskedInAnyOrderAndAgain) {
  char doc[] = "<A a=\"1\" b=\"2\" c=\"3\" ab=\"4\"/>";
  SAX_Memory_Parser p(doc);
  ASSERT_FALSE(p.start());
  char* tag = nullptr;
  ASSERT_EQ(p.parse(&tag, nullptr), 0);
  EXPECT_EQ(attr_of(p, "c"), "3");
  EXPECT_EQ(attr_of(p, "a"), "1");
  EXPECT_EQ(attr_of(p, "ab"), "4");
  EXPECT_EQ(attr_of(p, "b"), "2");
  EXPECT_EQ(attr_of(p, "b"), "2");
  EXPECT_EQ(attr_of(p, "a"), "1");
  EXPECT_EQ(attr_of(p, ""), "<absent>");
  EXPECT_EQ(attr_of(p, "abc"), "<absent>");
}

TEST(SaxMemoryParser, AttributeBeforeFirstElementIsAbsent) {
  char doc[] = "<A x=\"1\"/>";
  SAX_Memory_Parser p(doc);
  char* v = nullptr;
  EXPECT_NE(p.get_attr("x", &v), 0);
  ASSERT_FALSE(p.start());
  EXPECT_NE(p.get_attr("x", &v), 0);
}

TEST(SaxMemoryParser, EscapedValuesRoundTrip) {
  const std::vector<std::string> texts = {"",
                                          "plain",
                                          "quote\" apostrophe' lt< gt> amp&",
                                          "&amp; already escaped &lt;",
                                          "tab\tnewline\ncr\r  double  blank ",
                                          "\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80",
                                          "]]> <!-- -->",
                                          "<injected name=\"x\"/>"};
  for (const std::string& text : texts) {
    std::string doc;
    set_xml_header(doc);
    doc += "<E v=\"";
    append_xml_escaped(doc, text.c_str());
    doc += "\"/>\n";
    SAX_Memory_Parser p(&doc[0]);
    ASSERT_FALSE(p.start());
    char* tag = nullptr;
    ASSERT_EQ(p.parse(&tag, nullptr), 0);
    ASSERT_STREQ(tag, "E");
    EXPECT_EQ(attr_of(p, "v"), text);
    EXPECT_EQ(elements_only(walk(p)), "");
    EXPECT_EQ(p.get_error_counter(), 0) << text;
  }
}

TEST(SaxMemoryParser, NullDocumentIsNotInitialised) {
  SAX_Memory_Parser p(nullptr);
  EXPECT_FALSE(p.init_ok());
  EXPECT_TRUE(p.start());
  char* tag = reinterpret_cast<char*>(1);
  EXPECT_NE(p.parse(&tag, nullptr), 0);
  EXPECT_EQ(tag, nullptr);
}

TEST(SaxMemoryParser, MalformedDocumentCountsErrorsAndStops) {
  char doc[] = "<A><B x=\"1\"></A><C/>";
  SAX_Memory_Parser p(doc);
  ASSERT_FALSE(p.start());
  EXPECT_EQ(elements_only(walk(p)), "A B ");
  EXPECT_GT(p.get_error_counter(), 0);
}

TEST(SaxMemoryParser, DocumentWithoutRootCannotStart) {
  for (std::string doc : {"", "  \n", "<?xml version=\"1.0\"?>\n", "<!-- only -->"}) {
    SAX_Memory_Parser p(&doc[0]);
    ASSERT_TRUE(p.init_ok());
    EXPECT_TRUE(p.start()) << "'" << doc << "'";
    char* tag = reinterpret_cast<char*>(1);
    EXPECT_NE(p.parse(&tag, nullptr), 0) << "'" << doc << "'";
    EXPECT_EQ(tag, nullptr);
    EXPECT_GT(p.get_error_counter(), 0) << "'" << doc << "'";
  }
}

TEST(SaxMemoryParser, StartTwiceFails) {
  char doc[] = "<A/>";
  SAX_Memory_Parser p(doc);
  ASSERT_FALSE(p.start());
  EXPECT_TRUE(p.start());
}

class SaxFileParserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/orxa_xml_reader_XXXXXX";
    int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    close(fd);
    path_ = name;
  }
  void TearDown() override { std::remove(path_.c_str()); }
  void write(const std::string& text) {
    FILE* f = std::fopen(path_.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
  }
  std::string path_;
};

TEST_F(SaxFileParserTest, ReadsTheFileNamedAtStart) {
  write("<?xml version=\"1.0\"?>\n<DAQREQ>\n<Exp name=\"a&amp;b\"/>\n</DAQREQ>\n");
  SAX_File_Parser p;
  ASSERT_TRUE(p.init_ok());
  ASSERT_FALSE(p.start(path_.c_str()));
  char* tag = nullptr;
  ASSERT_EQ(p.parse(&tag, nullptr), 0);
  EXPECT_STREQ(tag, "DAQREQ");
  while (p.parse(&tag, nullptr) == 0 && tag == nullptr) {
  }
  ASSERT_STREQ(tag, "Exp");
  char* v = nullptr;
  ASSERT_EQ(p.get_attr("name", &v), 0);
  EXPECT_STREQ(v, "a&b");
  EXPECT_EQ(p.get_error_counter(), 0);
}

TEST_F(SaxFileParserTest, MissingFileOrPathFails) {
  SAX_File_Parser a;
  EXPECT_TRUE(a.start("/nonexistent/dir/request.xml"));
  char* tag = nullptr;
  EXPECT_NE(a.parse(&tag, nullptr), 0);
  SAX_File_Parser b;
  EXPECT_TRUE(b.start(nullptr));
  SAX_File_Parser c;
  EXPECT_TRUE(c.start(""));
}

TEST(SaxParsers, AbandonedParseReleasesEverything) {
  std::string doc = "<A><B/><C/><D/></A>";
  for (int i = 0; i < 200; ++i) {
    SAX_Memory_Parser p(&doc[0]);
    ASSERT_FALSE(p.start());
    char* tag = nullptr;
    ASSERT_EQ(p.parse(&tag, nullptr), 0);
  }
}

// One cache serves documents in turn: each reads as with a new parser, whatever
// the one before it left (an abandoned scan, errors, a refused document type).
TEST(SaxParserCache, KeptParserReadsEveryDocumentAfresh) {
  SAX_Parser_Cache cache;
  std::string good = "<R><E v=\"1\"/><F w=\"2\"/></R>";
  auto read_good = [&](const char* when) {
    std::string doc = good;
    SAX_Memory_Parser p(&doc[0], &cache);
    ASSERT_FALSE(p.start()) << when;
    EXPECT_EQ(attr_of(p, "w"), "<absent>") << when << ": no element reported yet";
    char* tag = nullptr;
    while (p.parse(&tag, nullptr) == 0 && (tag == nullptr || std::string(tag) != "E")) {
    }
    EXPECT_EQ(attr_of(p, "v"), "1") << when;
    EXPECT_EQ(elements_only(walk(p)), "F ") << when;
    EXPECT_EQ(p.get_error_counter(), 0) << when;
  };
  read_good("first");
  {
    std::string doc = "<A><B/><C/></A>";
    SAX_Memory_Parser p(&doc[0], &cache);
    ASSERT_FALSE(p.start());
    char* tag = nullptr;
    ASSERT_EQ(p.parse(&tag, nullptr), 0);
  }
  read_good("after an abandoned document");
  {
    std::string doc = "<A><B x=\"1\"></A><C/>";
    SAX_Memory_Parser p(&doc[0], &cache);
    ASSERT_FALSE(p.start());
    EXPECT_EQ(elements_only(walk(p)), "A B ");
    EXPECT_GT(p.get_error_counter(), 0);
  }
  read_good("after a malformed document");
  {
    std::string doc = "<!DOCTYPE R [<!ENTITY e \"x\">]><R/>";
    SAX_Memory_Parser p(&doc[0], &cache);
    EXPECT_TRUE(p.start() || elements_only(walk(p)).empty());
  }
  read_good("after a refused document type");
  std::string empty;
  SAX_Memory_Parser none(&empty[0], &cache);
  EXPECT_TRUE(none.start());
  EXPECT_GT(none.get_error_counter(), 0);
}
