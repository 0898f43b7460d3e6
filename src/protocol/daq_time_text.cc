// Strict reading of the time texts people write. The fields are checked against
// the calendar before any conversion, because the conversion would silently
// roll February 31 into March.
#include "daq_time_text.h"

#include <cstdint>
#include <ctime>

#include "zone_time.h"

namespace {

const int64_t kLastSecond = INT32_MAX;  // 2038-01-19T03:14:07Z
const char kBeyond[] = "after 2038-01-19T03:14:07Z, beyond the protocol's 32-bit seconds";

// Digits at text[*at] (at most max, so the value fits); false when there are none.
bool read_number(const std::string& text, size_t* at, size_t max, long* value) {
  size_t start = *at;
  long v = 0;
  while (*at < text.size() && *at - start < max && text[*at] >= '0' && text[*at] <= '9')
    v = v * 10 + (text[(*at)++] - '0');
  *value = v;
  return *at > start;
}

bool leap_year(long y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int days_in_month(long year, long month) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && leap_year(year) ? 29 : days[month - 1];
}

// The zone after the seconds: none (naive), Z, or [+-]hh[[:]mm]. False when the
// rest is not one of these.
bool read_zone(const std::string& text, size_t at, bool* naive, long* offset) {
  *naive = at == text.size();
  *offset = 0;
  if (*naive) return true;
  if (text[at] == 'Z' || text[at] == 'z') return at + 1 == text.size();
  if (text[at] != '+' && text[at] != '-') return false;
  long sign = text[at++] == '-' ? -1 : 1;
  size_t from = at;
  long hours = 0;
  long minutes = 0;
  if (!read_number(text, &at, 2, &hours) || at - from != 2) return false;
  if (at < text.size()) {
    if (text[at] == ':') ++at;
    from = at;
    if (!read_number(text, &at, 2, &minutes) || at - from != 2) return false;
  }
  if (at != text.size() || hours > 23 || minutes > 59) return false;
  *offset = sign * (hours * 3600 + minutes * 60);
  return true;
}

bool zone_failure(std::string* why) {
  std::string zone = experiment_zone_name();
  std::string reason = unknown_zone_reason(zone);
  if (reason.empty()) return false;
  *why = "ORXA_EXP_TIMEZONE: " + reason;
  return true;
}

}  // namespace

bool daq_read_time_text(const std::string& text, int64_t* seconds, std::string* why) {
  long f[6] = {0, 0, 0, 0, 0, 0};
  const char separators[] = "--T::";
  size_t at = 0;
  for (int i = 0; i < 6; ++i) {
    if (!read_number(text, &at, 9, &f[i]) ||
        (i < 5 && (at >= text.size() || text[at++] != separators[i]))) {
      *why = "not YEAR-MONTH-DAYTHOUR:MINUTE:SECOND";
      return true;
    }
  }
  bool naive = false;
  long offset = 0;
  if (!read_zone(text, at, &naive, &offset)) {
    *why = "unexpected text after the seconds (a zone is Z, +hh:mm or -hh:mm)";
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
  int64_t instant = 0;
  if (naive) {
    if (zone_failure(why)) return true;
    ZoneScope zone(experiment_zone_name());
    if (!local_instant(fields, &instant)) {
      *why = "cannot be read in the experiment's zone";
      return true;
    }
  } else {
    instant = static_cast<int64_t>(timegm(&fields)) - offset;
  }
  if (instant < 1) {
    *why = "before 1970-01-01T00:00:01Z";
    return true;
  }
  if (instant > kLastSecond) {
    *why = kBeyond;
    return true;
  }
  *seconds = instant;
  return false;
}

bool daq_instant_time_text(int64_t seconds, std::string* text, std::string* why) {
  if (seconds < 1 || seconds > kLastSecond) {
    *why = seconds < 1 ? "before 1970-01-01T00:00:01Z" : kBeyond;
    return true;
  }
  if (zone_failure(why)) return true;
  ZoneScope zone(experiment_zone_name());
  *text = local_text(seconds);
  if (text->empty()) {
    *why = "cannot be written in the experiment's zone";
    return true;
  }
  return false;
}

bool daq_check_experiment_zone(std::string* why) { return zone_failure(why); }
