// The cheaper scanner may read a document only where it cannot tell: every
// document it is given must read exactly as the other scanner reads it (items,
// attributes, error count, messages), also on a reader that read other
// documents before, and no document it is not given may reach it.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "orxa_xml.h"
#include "plain_document.h"
#include "sax_reader.h"

namespace {

const char* const kSeeds[] = {
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<DAQREP>\n<DAQREQ>\n<ReqId id=\"17\"/>\n"
    "<TStart time=\"2025-3-1T10:0:0\"/>\n<Chan name=\"DIAG/T1.SPECT\" start=\"-1\"/>\n"
    "</DAQREQ>\n<Reply rep=\"5000\" host=\"127.0.0.1\" EvId64bitmode=\"Yes\"/>\n"
    "<Reason com=\"OK: 3 &amp; &lt;4&gt; &quot;x&quot; &apos;y&apos;\"/>\n<Statistics>\n"
    "<DataLoc code=\"0x1A\"/>\n<File name=\"f&#9;1&#10;2&#13;3&#x41;\"/>\n</Statistics>\n"
    "</DAQREP>\n",
    "<?xml version='1.0' encoding='utf-8' standalone='yes'?><a v=\"1\"><b v='2'/>t</a>",
    "<?xml version=\"1.1\"?>\n<a v=\"x\ty\nz\"><!-- c --><![CDATA[<x>]]><?pi data?></a>",
    "\xEF\xBB\xBF<a v=\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\"> \xC3\xA9 </a><!-- end -->",
    "<a v=\"1\" v=\"2\"/>",
    "<a v=\"&unknown;\">&other;</a>",
    "<a xmlns=\"urn:x\" xmlns:p=\"urn:p\" p:v=\"1\"><p:b v=\"2\"/></a>",
    "<a><b></a></b>",
    "<a v=\"<\"/>",
    "<a/><b/>",
    "<a>&#0;&#xD800;&#65;</a>",
    "<a v=1/>",
    "<a\n v\n =\n \"s\"\n/>\n\n",
    "<?xml version=\"1.0\"?><?xml version=\"1.0\"?><a/>",
    "<a></a>trailing<b/>",
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<?xml version=\"1.0\"?>\n<a/>",
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n",
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n\xC3<a/>",
    "<",
};

// Mutations lean on the characters that steer a scanner.
const char kSpecial[] = "<>&;\"'=/!?[]-#x \t\n\r:a1\xC3\xA9\x80\xFF";

std::string mutate(std::string doc, std::mt19937& rng) {
  int edits = 1 + static_cast<int>(rng() % 3);
  for (int i = 0; i < edits && !doc.empty(); ++i) {
    std::size_t at = rng() % doc.size();
    char c = kSpecial[rng() % (sizeof kSpecial - 1)];
    switch (rng() % 4) {
      case 0:
        doc[at] = c;
        break;
      case 1:
        doc.insert(at, 1, c);
        break;
      case 2:
        doc.erase(at, 1 + rng() % 4);
        break;
      default:
        doc.resize(at);
        break;
    }
  }
  return doc;
}

// One reader of each kind, reused as the cache reuses them.
class Reader {
 public:
  explicit Reader(ScannerKind kind) : kind_(kind) {}

  std::string read(const std::string& doc) {
    if (!r_ || !r_->reusable()) r_.reset(new SaxReader("SAX_Memory_Parser", kind_));
    r_->rewind();
    testing::internal::CaptureStdout();
    std::string trace = r_->start_memory(doc.c_str()) ? "refused" : "started";
    char* tag = nullptr;
    while (trace.size() < 100000 && r_->next(&tag) == 0) {
      trace += '\n';
      if (tag == nullptr) continue;
      trace += tag;
      for (const char* name : {"v", "id", "name", "com", "rep", "host", "p:v", "xmlns"}) {
        char* value = nullptr;
        if (r_->attr(name, &value) == 0) trace += std::string(" ") + name + "=" + value;
      }
    }
    trace += "\nerrors " + std::to_string(r_->errors());
    return trace + "\n" + testing::internal::GetCapturedStdout();
  }

 private:
  ScannerKind kind_;
  std::unique_ptr<SaxReader> r_;
};

}  // namespace

TEST(PlainDocument, OnlyDocumentsThatCannotDeclareATypeArePlain) {
  EXPECT_TRUE(plain_document(kSeeds[0]));
  EXPECT_TRUE(plain_document("\xEF\xBB\xBF<a><!-- x --><![CDATA[<x>]]></a>"));
  const char* const not_plain[] = {
      "<!DOCTYPE a><a/>",
      "<a/><!doctype b>",
      " <a/>",
      "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><a/>",
      "<?xml version=\"1.0\" encoding=\"UTF-7\"?><a/>+ADw-!DOCTYPE a+AD4-",
      "<?xml version=\"1.0\" encoding=\"UTF-8\" encoding=\"UTF-8\"?><a/>",
      "<?xml version=\"1.0>\" encoding=\"UTF-16\"?><a/>",
      "<a>\xC0\xBC!DOCTYPE</a>",
      "<a>\xE0\x80\xBC</a>",
      "<a>\xF0\x80\x80\xBC</a>",
      "<a>\xF8\x80\x80\x80\xBC</a>",
      "\x4C\x6F\xA7\x94",  // "<?xm" in EBCDIC
      "",
  };
  for (const char* doc : not_plain) EXPECT_FALSE(plain_document(doc)) << doc;
  for (std::size_t pad = 0; pad < 17; ++pad) {  // wherever it falls in a word
    std::string at(pad, ' ');
    EXPECT_FALSE(plain_document(("<a>" + at + "<!DOCTYPE a></a>").c_str())) << pad;
    EXPECT_FALSE(plain_document(("<a>" + at + "\xC1\xBC</a>").c_str())) << pad;
    EXPECT_TRUE(plain_document(("<a>" + at + "\xC3\xA9<!--x--></a>").c_str())) << pad;
  }
  EXPECT_FALSE(plain_document(nullptr));
}

TEST(PlainDocument, BothScannersReadEveryPlainDocumentAlike) {
  Reader checking(ScannerKind::kChecking);
  Reader well_formed(ScannerKind::kWellFormed);
  std::mt19937 rng(20261209);
  int compared = 0;
  for (int round = 0; round < 3000; ++round) {
    std::string doc = kSeeds[round % (sizeof kSeeds / sizeof kSeeds[0])];
    if (round >= 100) doc = mutate(doc, rng);
    if (!plain_document(doc.c_str())) continue;
    ++compared;
    ASSERT_EQ(checking.read(doc), well_formed.read(doc)) << "document: " << doc;
  }
  EXPECT_GT(compared, 2000);
}

// Also through a scope, which lends the cache to parsers made without one.
TEST(PlainDocument, CachedParsersStillRefuseADocumentType) {
  SAX_Parser_Cache cache;
  std::string plain = kSeeds[1];
  std::string typed = "<!DOCTYPE a [<!ENTITY e \"boom\">]><a v=\"&e;\"/>";
  for (int i = 0; i < 4; ++i) {
    SAX_Parser_Cache_Scope lend(i % 2 == 0 ? nullptr : &cache);
    SAX_Parser_Cache* given = i % 2 == 0 ? &cache : nullptr;
    for (int k = 0; k < 2; ++k) {
      SAX_Memory_Parser first(&plain[0], given);  // goes back to the cache whole
      ASSERT_FALSE(first.start());
      char* tag = nullptr;
      std::string names;
      while (first.parse(&tag, nullptr) == 0) names += tag != nullptr ? tag : "";
      EXPECT_EQ(names, "ab");
    }
    SAX_Memory_Parser second(&typed[0], given);
    EXPECT_TRUE(second.start());
  }
}
