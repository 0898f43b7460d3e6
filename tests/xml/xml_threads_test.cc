// Parsers created, used and destroyed on many threads at once: the library's
// shared state is set up and torn down under its use count, whichever thread
// comes first or last.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "orxa_xml.h"

TEST(SaxThreads, EightThreadsParseConcurrently) {
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t, &failures] {
      for (int i = 0; i < 300; ++i) {
        std::string value = "t" + std::to_string(t) + "&i" + std::to_string(i);
        std::string doc = "<L><E v=\"";
        append_xml_escaped(doc, value.c_str());
        doc += "\"/><E v=\"x\"/></L>";
        SAX_Memory_Parser p(&doc[0]);
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
  EXPECT_EQ(failures.load(), 0);
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
