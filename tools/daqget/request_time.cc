// Strict reading of request time texts. The fields are checked against the
// calendar before any conversion, because mktime would silently roll February 31
// into March; a local time that a daylight-saving change skips is left to the
// conversion, as the server reads it the same way.
#include "request_time.h"

#include <cstdlib>
#include <ctime>

#include "daq_server_util_def.h"

namespace {

// Runs f with TZ set to the zone the library validates in; restores TZ after.
template <class F>
void in_experiment_zone(F f) {
  const char* had = std::getenv("TZ");
  std::string saved = had != nullptr ? had : "";
  const char* zone = std::getenv("ORXA_EXP_TIMEZONE");
  setenv("TZ", zone != nullptr ? zone : "CET", 1);
  tzset();
  f();
  if (had != nullptr) {
    setenv("TZ", saved.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

// Digits at text[*at] (at most 9, so the value fits); false when there are none.
bool read_number(const std::string& text, size_t* at, long* value) {
  size_t start = *at;
  long v = 0;
  while (*at < text.size() && *at - start < 9 && text[*at] >= '0' && text[*at] <= '9')
    v = v * 10 + (text[(*at)++] - '0');
  *value = v;
  return *at > start;
}

const char kBeyond[] = "after 2038-01-19T03:14:07Z, beyond the protocol's 32-bit seconds";

bool leap_year(long y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int days_in_month(long year, long month) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && leap_year(year) ? 29 : days[month - 1];
}

}  // namespace

std::string seconds_to_request_text(long seconds) {
  char text[DAQ_TIME_TEXT_SIZE] = "";
  in_experiment_zone([&] {
    time_t t = static_cast<time_t>(seconds);
    struct tm local {};
    if (localtime_r(&t, &local) != nullptr)
      strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
  });
  return text;
}

bool read_request_time(const std::string& text, std::string* out, std::string* why) {
  long f[6] = {0, 0, 0, 0, 0, 0};
  const char separators[] = "--T::";
  size_t at = 0;
  for (int i = 0; i < 6; ++i) {
    if (!read_number(text, &at, &f[i]) ||
        (i < 5 && (at >= text.size() || text[at++] != separators[i]))) {
      *why = "not YEAR-MONTH-DAYTHOUR:MINUTE:SECOND";
      return true;
    }
  }
  bool utc = at < text.size() && (text[at] == 'Z' || text[at] == 'z');
  if (at + (utc ? 1 : 0) != text.size()) {
    *why = "unexpected text after the seconds";
    return true;
  }
  if (f[1] < 1 || f[1] > 12 || f[2] < 1 || f[2] > days_in_month(f[0], f[1]) || f[3] > 23 ||
      f[4] > 59 || f[5] > 59) {
    *why = "no such date or time";
    return true;
  }
  if (f[0] > 2038) {
    *why = kBeyond;
    return true;
  }
  struct tm fields {};
  fields.tm_year = static_cast<int>(f[0] - 1900);
  fields.tm_mon = static_cast<int>(f[1] - 1);
  fields.tm_mday = static_cast<int>(f[2]);
  fields.tm_hour = static_cast<int>(f[3]);
  fields.tm_min = static_cast<int>(f[4]);
  fields.tm_sec = static_cast<int>(f[5]);
  fields.tm_isdst = -1;
  long long instant = 0;
  if (utc) {
    instant = timegm(&fields);
  } else {
    in_experiment_zone([&] { instant = mktime(&fields); });
  }
  if (instant < 1) {
    *why = "before 1970-01-01T00:00:01Z";
    return true;
  }
  if (instant > kLastRequestSecond) {
    *why = kBeyond;
    return true;
  }
  *out = utc ? seconds_to_request_text(static_cast<long>(instant)) : text;
  if (out->empty()) {
    *why = "cannot be written in the experiment's zone";
    return true;
  }
  return false;
}
