#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "orxa_chan_descr.h"

namespace {

bool read_time(const std::string& text, time_t* t) {
  std::string copy = text;
  return time_from_isodate2(&copy[0], t);
}

}  // namespace

TEST(IsoTime, ReadsAsUtcWhateverTheZone) {
  const char* saved = std::getenv("TZ");
  std::string saved_tz = saved != nullptr ? saved : "";
  setenv("TZ", "Asia/Tokyo", 1);
  tzset();
  time_t t = 0;
  EXPECT_FALSE(read_time("2024-5-17T10:0:0", &t));
  EXPECT_EQ(t, 1715940000);
  EXPECT_FALSE(read_time("2024-05-17T10:05:00Z", &t));
  EXPECT_EQ(t, 1715940300);
  EXPECT_FALSE(read_time("1970-1-1T0:0:0", &t));
  EXPECT_EQ(t, 0);
  EXPECT_FALSE(read_time("2024-2-29T23:59:59", &t));
  EXPECT_EQ(t, 1709251199);
  if (saved != nullptr) {
    setenv("TZ", saved_tz.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

TEST(IsoTime, UnreadableTextsFailAndLeaveTheResult) {
  time_t t = 42;
  for (const char* bad :
       {"", "2024-5-17", "2024-5-17 10:0:0", "yesterday", "2024-13-1T0:0:0", "2023-2-29T0:0:0",
        "2024-4-31T0:0:0", "2024-5-0T0:0:0", "2024-5-17T24:0:0", "2024-5-17T10:60:0",
        "2024-5-17T10:0:61", "-5-5-17T10:0:0", "2024--5-17T10:0:0"}) {
    EXPECT_TRUE(read_time(bad, &t)) << bad;
  }
  EXPECT_EQ(t, 42);
  EXPECT_TRUE(time_from_isodate2(nullptr, &t));
  char text[] = "2024-5-17T10:0:0";
  EXPECT_TRUE(time_from_isodate2(text, nullptr));
}
