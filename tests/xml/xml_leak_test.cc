// Many documents through fresh parsers. LeakSanitizer checks the whole run at
// exit; the count makes a per-parse leak of the parser, its handlers or the
// library's state stand out. Slow only under the sanitizers.
#include <gtest/gtest.h>

#include <string>

#include "orxa_xml.h"

TEST(SaxParsers, TenThousandParsesDoNotLeak) {
  std::string doc = "<DAQREQ><Chan name=\"A/B/C\" start=\"0\"/><File name=\"f&lt;1\"/></DAQREQ>";
  for (int i = 0; i < 10000; ++i) {
    SAX_Memory_Parser p(&doc[0]);
    ASSERT_FALSE(p.start());
    char* tag = nullptr;
    char* v = nullptr;
    int elements = 0;
    while (p.parse(&tag, nullptr) == 0) {
      if (tag != nullptr) ++elements;
    }
    ASSERT_EQ(elements, 3);
    ASSERT_EQ(p.get_attr("name", &v), 0);
    ASSERT_STREQ(v, "f<1");
  }
}
