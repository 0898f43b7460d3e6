#include <gtest/gtest.h>

#include <string>

#include "orxa_xml.h"

TEST(XmlWriter, TagsAndHeaderHaveExactForm) {
  std::string out;
  set_xml_header(out);
  START_TAGN(out, "DAQREQ");
  START_TAG(out, "ChanDescrList");
  END_TAG(out, "ChanDescrList");
  END_TAGN(out, "DAQREQ");
  EXPECT_EQ(out,
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<DAQREQ>\n"
            "<ChanDescrList></ChanDescrList></DAQREQ>\n");
}

TEST(XmlWriter, TagsAppendToExistingText) {
  std::string out = "abc";
  START_TAG(out, "X");
  EXPECT_EQ(out, "abc<X>");
}

TEST(XmlEscape, PlainTextIsUnchanged) {
  std::string out;
  append_xml_escaped(out, "SECTION/DEVICE/PROPERTY 0.5 /daq/cat-1_x");
  EXPECT_EQ(out, "SECTION/DEVICE/PROPERTY 0.5 /daq/cat-1_x");
  append_xml_escaped(out, nullptr);
  EXPECT_EQ(out, "SECTION/DEVICE/PROPERTY 0.5 /daq/cat-1_x");
}

TEST(XmlEscape, SpecialCharactersBecomeReferences) {
  std::string out;
  append_xml_escaped(out, "a\"b<c>d&e'f\tg\nh\ri");
  EXPECT_EQ(out, "a&quot;b&lt;c&gt;d&amp;e&apos;f&#9;g&#10;h&#13;i");
}

TEST(XmlEscape, BytesXmlCannotCarryBecomeQuestionMarks) {
  std::string out;
  // control character, lone continuation byte, truncated sequence, overlong
  // form, surrogate, U+FFFF; valid two-, three- and four-byte forms are kept.
  append_xml_escaped(out,
                     "a\x01"
                     "b\x80"
                     "c\xC3"
                     "d\xC0\xAF"
                     "e\xED\xA0\x80"
                     "f\xEF\xBF\xBF"
                     "g");
  EXPECT_EQ(out, "a?b?c?d??e???f???g");
  out.clear();
  append_xml_escaped(out, "\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80");
  EXPECT_EQ(out, "\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80");
  out.clear();
  append_xml_escaped(out, "x\xF0\x9F");  // cut at the terminator
  EXPECT_EQ(out, "x??");
}
