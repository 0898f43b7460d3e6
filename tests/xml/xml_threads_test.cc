// Parsers created, used and destroyed on many threads at once: the library's
// shared state is set up and torn down under its use count, whichever thread
// comes first or last.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "orxa_xml.h"

namespace {

// Eight threads read 300 documents each; the count of wrong readings.
int failures_on_eight_threads(SAX_Parser_Cache* cache) {
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t, cache, &failures] {
      for (int i = 0; i < 300; ++i) {
        std::string value = "t" + std::to_string(t) + "&i" + std::to_string(i);
        std::string doc = "<L><E v=\"";
        append_xml_escaped(doc, value.c_str());
        doc += "\"/><E v=\"x\"/></L>";
        SAX_Memory_Parser p(&doc[0], cache);
        if (!p.init_ok() || p.start()) {
          ++failures;
          continue;
        }
        char* tag = nullptr;
        char* v = nullptr;
        int elements = 0;
        bool first_ok = false;
        while (p.parse(&tag, nullptr) == 0) {
          if (tag == nullptr) continue;
          if (++elements == 2) first_ok = p.get_attr("v", &v) == 0 && value == v;
        }
        if (elements != 3 || !first_ok || p.get_error_counter() != 0) ++failures;
      }
    });
  }
  for (auto& th : threads) th.join();
  return failures.load();
}

}  // namespace

TEST(SaxThreads, EightThreadsParseConcurrently) {
  EXPECT_EQ(failures_on_eight_threads(nullptr), 0);
}

TEST(SaxThreads, EightThreadsShareOneCache) {
  SAX_Parser_Cache cache;
  EXPECT_EQ(failures_on_eight_threads(&cache), 0);
}

TEST(SaxThreads, OverlappingLifetimesKeepTheLibraryAlive) {
  // One parser stays alive on the main thread while others come and go.
  char doc[] = "<A><B/></A>";
  SAX_Memory_Parser outer(doc);
  ASSERT_FALSE(outer.start());
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 200; ++i) {
        char inner_doc[] = "<C/>";
        SAX_Memory_Parser inner(inner_doc);
        inner.start();
      }
    });
  }
  for (auto& th : threads) th.join();
  char* tag = nullptr;
  ASSERT_EQ(outer.parse(&tag, nullptr), 0);
  EXPECT_STREQ(tag, "A");
  while (outer.parse(&tag, nullptr) == 0 && tag == nullptr) {
  }
  EXPECT_STREQ(tag, "B");
}
