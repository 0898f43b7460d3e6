// ISO calendar time to seconds since the epoch, always as UTC (timegm), so the
// result never depends on the process's TZ. Fields are checked before use:
// timegm would otherwise quietly roll 2024-2-31 over into March.
#include <cstdio>
#include <ctime>

#include "orxa_chan_descr.h"

namespace {

bool leap_year(unsigned y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned days_in_month(unsigned year, unsigned month) {
  static const unsigned days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && leap_year(year) ? 29 : days[month - 1];
}

}  // namespace

bool time_from_isodate2(char* text, time_t* t) {
  if (text == nullptr || t == nullptr) return true;
  unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (std::sscanf(text, "%u-%u-%uT%u:%u:%u", &year, &month, &day, &hour, &minute, &second) != 6) {
    return true;
  }
  // %u takes a sign and wraps it, so the checks also catch "-5".
  if (year < 1900 || year > 9999 || month < 1 || month > 12 || day < 1 ||
      day > days_in_month(year, month) || hour > 23 || minute > 59 || second > 60) {
    return true;
  }
  struct tm tm = {};
  tm.tm_year = static_cast<int>(year) - 1900;
  tm.tm_mon = static_cast<int>(month) - 1;
  tm.tm_mday = static_cast<int>(day);
  tm.tm_hour = static_cast<int>(hour);
  tm.tm_min = static_cast<int>(minute);
  tm.tm_sec = static_cast<int>(second);
  *t = timegm(&tm);
  return false;
}
