// Documents an attacker or a broken peer could send: every one must end in a clean
// failure or a bounded read, never a crash, a hang, a blow-up or a file access.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include <fcntl.h>
#include <sys/inotify.h>
#include <unistd.h>

#include "orxa_xml.h"

namespace {

struct Outcome {
  bool started = false;
  int elements = 0;
  int errors = 0;
  std::string attrs;  // every value of attribute "v" seen
};

Outcome read_all(std::string doc) {
  Outcome o;
  SAX_Memory_Parser p(&doc[0]);
  if (!p.init_ok() || p.start()) return o;
  o.started = true;
  char* tag = nullptr;
  char* v = nullptr;
  while (p.parse(&tag, nullptr) == 0) {
    if (tag == nullptr) continue;
    ++o.elements;
    if (p.get_attr("v", &v) == 0) o.attrs += v;
  }
  o.errors = p.get_error_counter();
  return o;
}

// Watches a file for any open or read while the object lives.
class AccessWatch {
 public:
  explicit AccessWatch(const std::string& path) {
    fd_ = inotify_init1(IN_NONBLOCK);
    if (fd_ >= 0) wd_ = inotify_add_watch(fd_, path.c_str(), IN_OPEN | IN_ACCESS);
  }
  ~AccessWatch() {
    if (fd_ >= 0) close(fd_);
  }
  bool usable() const { return fd_ >= 0 && wd_ >= 0; }
  bool touched() const {
    char buf[4096];
    return read(fd_, buf, sizeof buf) > 0;
  }

 private:
  int fd_ = -1;
  int wd_ = -1;
};

class SecretFile {
 public:
  SecretFile() {
    char name[] = "/tmp/orxa_xml_secret_XXXXXX";
    int fd = mkstemp(name);
    if (fd >= 0) {
      const char text[] = "<leak v=\"SECRET\"/>";
      if (write(fd, text, sizeof text - 1) < 0) path_.clear();
      close(fd);
      path_ = name;
    }
  }
  ~SecretFile() {
    if (!path_.empty()) std::remove(path_.c_str());
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace

TEST(SaxHostile, TruncatedDocumentsStopWithErrors) {
  const std::string whole =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<DAQREQ>\n<ReqId id=\"7\"/>\n"
      "<Chan name=\"A&amp;B\" start=\"0\"/>\n</DAQREQ>\n";
  int started = 0;
  for (std::size_t cut = 0; cut + 1 < whole.size(); ++cut) {
    Outcome o = read_all(whole.substr(0, cut));
    if (o.started) {
      ++started;
      EXPECT_GT(o.errors, 0) << "cut at " << cut;
    }
    EXPECT_LE(o.elements, 3);
  }
  EXPECT_GT(started, 0) << "most cuts hold a root element and start";
  EXPECT_EQ(read_all(whole).errors, 0);
}

TEST(SaxHostile, BinaryGarbageFailsCleanly) {
  std::mt19937 rng(12345);
  for (int round = 0; round < 300; ++round) {
    std::string doc(1 + rng() % 400, '\0');
    for (char& c : doc) c = static_cast<char>(1 + rng() % 255);
    if (round % 3 == 0) doc.insert(0, "<A v=\"");
    if (round % 5 == 0) doc.insert(0, "\xFE\xFF");  // claims UTF-16
    read_all(doc);
  }
}

TEST(SaxHostile, DeepNestingIsReadWithoutRecursion) {
  const int depth = 10000;
  std::string doc;
  for (int i = 0; i < depth; ++i) doc += "<a>";
  for (int i = 0; i < depth; ++i) doc += "</a>";
  Outcome o = read_all(doc);
  ASSERT_TRUE(o.started);
  EXPECT_EQ(o.elements, depth);
  EXPECT_EQ(o.errors, 0);
  Outcome unclosed = read_all(doc.substr(0, depth * 3));
  EXPECT_EQ(unclosed.elements, depth);
  EXPECT_GT(unclosed.errors, 0);
}

TEST(SaxHostile, HugeAttributeValueIsReadWhole) {
  std::string value(10 * 1024 * 1024, 'x');
  value[12345] = '&';  // escaped below, so the text still round-trips
  std::string doc = "<A v=\"";
  append_xml_escaped(doc, value.c_str());
  doc += "\"/>";
  Outcome o = read_all(doc);
  EXPECT_EQ(o.elements, 1);
  EXPECT_EQ(o.attrs.size(), value.size());
  EXPECT_TRUE(o.attrs == value);
  Outcome open_ended = read_all("<A v=\"" + value);
  EXPECT_EQ(open_ended.elements, 0);
  EXPECT_GT(open_ended.errors, 0);
}

TEST(SaxHostile, ExternalEntitiesAreNeverRead) {
  SecretFile secret;
  ASSERT_FALSE(secret.path().empty());
  AccessWatch watch(secret.path());
  ASSERT_TRUE(watch.usable());
  const std::string docs[] = {
      "<!DOCTYPE A [<!ENTITY e SYSTEM \"" + secret.path() + "\">]><A v=\"x\">&e;</A>",
      "<!DOCTYPE A [<!ENTITY e SYSTEM \"file://" + secret.path() + "\">]><A>&e;</A>",
      "<!DOCTYPE A SYSTEM \"" + secret.path() + "\"><A/>",
      "<!DOCTYPE A [<!ENTITY % p SYSTEM \"" + secret.path() + "\"> %p;]><A/>",
      "<!DOCTYPE A [<!ENTITY e SYSTEM \"/etc/passwd\">]><A v=\"&e;\">&e;</A>",
      "<!DOCTYPE A [<!ENTITY e SYSTEM \"http://127.0.0.1:1/x\">]><A>&e;</A>",
  };
  for (const std::string& doc : docs) {
    Outcome o = read_all(doc);
    EXPECT_EQ(o.attrs.find("SECRET"), std::string::npos);
    EXPECT_EQ(o.attrs.find("root:"), std::string::npos);
    EXPECT_FALSE(o.started) << "a document type declaration is refused: " << doc;
  }
  // Hints that a validating parser would follow are plain attributes here.
  const std::string hints[] = {
      "<A xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
      "xsi:noNamespaceSchemaLocation=\"" +
          secret.path() + "\"/>",
      "<A xmlns:xi=\"http://www.w3.org/2001/XInclude\"><xi:include href=\"" + secret.path() +
          "\"/></A>",
      "<?xml-stylesheet href=\"" + secret.path() + "\"?><A/>",
  };
  for (const std::string& doc : hints) {
    Outcome o = read_all(doc);
    EXPECT_TRUE(o.started);
    EXPECT_EQ(o.errors, 0) << doc;
    EXPECT_EQ(o.attrs.find("SECRET"), std::string::npos);
  }
  EXPECT_FALSE(watch.touched()) << "the parser opened a file it was not asked to read";
}

TEST(SaxHostile, EntityExpansionBombIsRefused) {
  std::string doc = "<!DOCTYPE lolz [<!ENTITY lol0 \"lollollollollollollollollollol\">";
  for (int i = 1; i <= 12; ++i) {
    doc += "<!ENTITY lol" + std::to_string(i) + " \"";
    for (int k = 0; k < 10; ++k) doc += "&lol" + std::to_string(i - 1) + ";";
    doc += "\">";
  }
  doc += "]><lolz v=\"&lol12;\">&lol12;</lolz>";
  Outcome o = read_all(doc);
  EXPECT_FALSE(o.started);
  EXPECT_EQ(o.elements, 0);
  EXPECT_TRUE(o.attrs.empty());
}

TEST(SaxHostile, FileParserReadsOnlyTheNamedFile) {
  SecretFile secret;
  SecretFile request;
  ASSERT_FALSE(secret.path().empty());
  FILE* f = std::fopen(request.path().c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fprintf(f, "<!DOCTYPE A [<!ENTITY e SYSTEM \"%s\">]><A v=\"&e;\"/>", secret.path().c_str());
  std::fclose(f);
  AccessWatch watch(secret.path());
  SAX_File_Parser p;
  EXPECT_TRUE(p.start(request.path().c_str()));
  char* tag = nullptr;
  EXPECT_NE(p.parse(&tag, nullptr), 0);
  EXPECT_FALSE(watch.touched());
}
