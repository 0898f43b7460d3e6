#include "time_text.h"

#include <cctype>
#include <climits>
#include <cstdint>
#include <cstring>

#include "daq_mutex.h"
#include "zone_time.h"

namespace {
// One %u conversion: blanks, an optional sign, at least one digit. The value wraps
// modulo 2^32 as %u does; no digit means no conversion.
bool read_unsigned(const char*& p, const char* end, uint32_t* value) {
  while (p < end && std::isspace(static_cast<unsigned char>(*p))) ++p;
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) {
    negative = *p == '-';
    ++p;
  }
  if (p >= end || !std::isdigit(static_cast<unsigned char>(*p))) return false;
  uint32_t v = 0;
  while (p < end && std::isdigit(static_cast<unsigned char>(*p))) {
    v = v * 10u + static_cast<uint32_t>(*p - '0');
    ++p;
  }
  *value = negative ? 0u - v : v;
  return true;
}

// The field as tm stores it: a %u value above INT_MAX is what a signed reading
// of the same bits gives.
int as_int(uint32_t value, int offset) {
  long long v = static_cast<long long>(static_cast<int32_t>(value)) - offset;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}
}  // namespace

bool read_time_text(const char* text, std::size_t size, struct tm* out) {
  const char* p = text;
  const char* end = text + ::strnlen(text, size);
  const char separators[] = "--T::";
  uint32_t fields[6];
  for (int i = 0; i < 6; ++i) {
    if (!read_unsigned(p, end, &fields[i])) return false;
    if (i < 5) {
      if (p >= end || *p != separators[i]) return false;
      ++p;
    }
  }
  std::memset(out, 0, sizeof *out);
  out->tm_year = as_int(fields[0], 1900);
  out->tm_mon = as_int(fields[1], 1);
  out->tm_mday = as_int(fields[2], 0);
  out->tm_hour = as_int(fields[3], 0);
  out->tm_min = as_int(fields[4], 0);
  out->tm_sec = as_int(fields[5], 0);
  out->tm_isdst = -1;
  return true;
}

int local_seconds(struct tm* fields) {
  int64_t t = 0;
  if (!local_instant(*fields, &t) || t < INT32_MIN || t > INT32_MAX) return -1;
  return static_cast<int>(t);
}

DaqMutex& local_time_lock() {
  static DaqMutex lock;
  return lock;
}
