// Readings of local times are found from the offsets the zone uses around them,
// not from mktime: mktime picks one occurrence of a repeated hour by the state
// its previous call left, so two servers (or two requests) would disagree.
#include "zone_time.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <utility>

#include "time_text.h"
#include "zone_offsets.h"

namespace {

const char kZoneVariable[] = "ORXA_EXP_TIMEZONE";
const char kDefaultZone[] = "CET";
// Offsets in use are searched this far on both sides of a wall-clock time: no
// zone is further than 26 hours from UTC.
const int kOffsetSearchHours = 26;
// Covering texts step outward this far at a time, at most this many times.
const int kCoverStep = 900;
const int kCoverSteps = 240;
// Zone files whose verdict is kept at once.
const size_t kMostVerdicts = 16;

bool read_tzif_magic(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  char magic[4] = {0, 0, 0, 0};
  size_t got = std::fread(magic, 1, sizeof magic, f);
  std::fclose(f);
  return got == sizeof magic && std::memcmp(magic, "TZif", 4) == 0;
}

// A verdict is kept with the file's identity, so a zone checked again costs a
// stat, not an open and a read.
bool is_tzif_file(const std::string& path, ZoneFileSeen* seen) {
  ZoneFileId id = zone_file_id(path);
  if (seen != nullptr) {
    seen->path = path;
    seen->id = id;
  }
  if (!id.exists) return false;
  static std::map<std::string, std::pair<ZoneFileId, bool>> verdicts;  // local_time_lock()
  {
    DaqLockGuard guard(local_time_lock());
    auto it = verdicts.find(path);
    if (it != verdicts.end() && it->second.first == id) return it->second.second;
  }
  bool tzif = read_tzif_magic(path);
  DaqLockGuard guard(local_time_lock());
  try {
    if (verdicts.size() >= kMostVerdicts) verdicts.clear();
    verdicts[path] = {id, tzif};
  } catch (const std::bad_alloc&) {
    // Not kept: checked again next time.
  }
  return tzif;
}

// getenv under the lock: a ZoneScope's setenv may move the environment while
// another thread reads it.
bool read_environment(const char* name, std::string* value) {
  DaqLockGuard guard(local_time_lock());
  const char* v = std::getenv(name);
  if (v != nullptr) *value = v;
  return v != nullptr;
}

bool in_database(const std::string& name, ZoneFileSeen* seen) {
  if (name.empty()) return false;
  if (name[0] == '/') return is_tzif_file(name, seen);
  // Only names below the database's folder.
  if (name == ".." || name.compare(0, 3, "../") == 0 || name.find("/../") != std::string::npos)
    return false;
  std::string base;
  if (!read_environment("TZDIR", &base) || base.empty()) base = "/usr/share/zoneinfo";
  return is_tzif_file(base + "/" + name, seen);
}

// Reads up to max digits; false when there is none or the value passes limit.
bool digits(const char*& p, int max, int limit) {
  int n = 0;
  int value = 0;
  while (n < max && std::isdigit(static_cast<unsigned char>(*p))) {
    value = value * 10 + (*p++ - '0');
    ++n;
  }
  return n > 0 && value <= limit;
}

bool rule_name(const char*& p) {
  const char* start = p;
  if (*p == '<') {
    ++p;
    while (std::isalnum(static_cast<unsigned char>(*p)) || *p == '+' || *p == '-') ++p;
    if (*p != '>' || p - start - 1 < 3) return false;
    ++p;
    return true;
  }
  while (std::isalpha(static_cast<unsigned char>(*p))) ++p;
  return p - start >= 3;
}

// [+-]hh[:mm[:ss]]; rule times may count hours up to 167.
bool rule_time(const char*& p, int hour_digits, int hour_limit) {
  if (*p == '+' || *p == '-') ++p;
  if (!digits(p, hour_digits, hour_limit)) return false;
  for (int i = 0; i < 2 && *p == ':'; ++i) {
    ++p;
    if (!digits(p, 2, 59)) return false;
  }
  return true;
}

// Jn, n or Mm.w.d, then an optional /time.
bool rule_date(const char*& p) {
  if (*p == 'J') {
    ++p;
    if (!digits(p, 3, 365)) return false;
  } else if (*p == 'M') {
    ++p;
    if (!digits(p, 2, 12) || *p++ != '.' || !digits(p, 1, 5) || *p++ != '.' || !digits(p, 1, 6))
      return false;
  } else if (!digits(p, 3, 365)) {
    return false;
  }
  if (*p == '/') {
    ++p;
    return rule_time(p, 3, 167);
  }
  return true;
}

// std offset [dst [offset] [,date[/time],date[/time]]]
bool posix_rule(const std::string& text) {
  const char* p = text.c_str();
  if (!rule_name(p) || !rule_time(p, 2, 24)) return false;
  if (*p == '\0') return true;
  if (!rule_name(p)) return false;
  if (*p != ',' && *p != '\0' && !rule_time(p, 2, 24)) return false;
  if (*p == '\0') return true;
  if (*p++ != ',' || !rule_date(p) || *p++ != ',' || !rule_date(p)) return false;
  return *p == '\0';
}

// The fields read as if they were UTC: the wall clock's own count of seconds.
bool wall_seconds(const struct tm& fields, int64_t* wall) {
  struct tm f = fields;
  f.tm_isdst = 0;
  errno = 0;
  time_t t = timegm(&f);
  if (t == static_cast<time_t>(-1) && errno != 0) return false;
  *wall = static_cast<int64_t>(t);
  return true;
}

// The open ZoneScope. The process's TZ is switched only when a conversion
// needs the C library, so a reading found in the remembered offsets costs
// neither the switch nor the two reloads of a zone file.
struct OpenZone {
  bool open = false;
  bool applied = false;
  bool had_zone = false;
  std::string saved;
  std::string zone;
  ZoneOffsetCache* offsets = nullptr;
};

OpenZone& open_zone() {
  static OpenZone zone;  // guarded by local_time_lock()
  return zone;
}

// Inside a ZoneScope: the process's TZ becomes zone (by default the scope's), once.
void apply_zone(const char* zone = nullptr) {
  OpenZone& z = open_zone();
  if (!z.open || z.applied) return;
  const char* had = std::getenv("TZ");
  z.had_zone = had != nullptr;
  if (z.had_zone) z.saved = had;
  setenv("TZ", zone != nullptr ? zone : z.zone.c_str(), 1);
  tzset();
  z.applied = true;
}

bool library_offset(int64_t seconds, long* offset) {
  time_t t = static_cast<time_t>(seconds);
  struct tm local;
  if (localtime_r(&t, &local) == nullptr) return false;
  *offset = local.tm_gmtoff;
  return true;
}

// The offset in force at seconds in the open zone (outside a ZoneScope: the
// process's zone); false when the C library cannot convert it.
bool offset_at(int64_t seconds, long* offset) {
  OpenZone& z = open_zone();
  if (!z.open || z.offsets == nullptr) return library_offset(seconds, offset);
  if (z.offsets->find(seconds, offset)) return true;
  apply_zone();
  int64_t hour = seconds - ((seconds % 3600) + 3600) % 3600;
  long first = 0;
  long last = 0;
  if (library_offset(hour, &first) && library_offset(hour + 3599, &last) && first == last) {
    z.offsets->keep(hour, first);
    *offset = first;
    return true;
  }
  return library_offset(seconds, offset);
}

// In a ZoneScope: true with the offset when every hour from..to is known to
// have that one offset.
bool uniform_offset(int64_t from, int64_t to, long* offset) {
  OpenZone& z = open_zone();
  return z.open && z.offsets != nullptr && z.offsets->uniform(from, to, offset);
}

int64_t wall_clock(int64_t seconds) {
  long offset = 0;
  return offset_at(seconds, &offset) ? seconds + offset : seconds;
}

}  // namespace

std::string experiment_zone_name() {
  std::string zone;
  return read_environment(kZoneVariable, &zone) ? zone : kDefaultZone;
}

std::string unknown_zone_reason(const std::string& name, ZoneFileSeen* seen) {
  if (name.empty()) return "";  // UTC by definition
  if (name[0] == ':') {
    if (in_database(name.substr(1), seen)) return "";
  } else if (in_database(name, seen) || posix_rule(name)) {
    return "";
  }
  return "time zone '" + name + "' is unknown (neither in the zone database nor a TZ rule)";
}

ZoneScope::ZoneScope(const std::string& zone, const ZoneFileSeen* seen) {
  local_time_lock().lock();
  OpenZone& z = open_zone();
  z.open = true;
  z.applied = false;
  try {
    z.zone = zone;
    z.offsets = ZoneOffsetCache::of(zone, seen);
  } catch (const std::bad_alloc&) {
    // No copy of the name: the zone is set now, as the C library will be asked.
    z.offsets = nullptr;
    apply_zone(zone.c_str());
  }
}

ZoneScope::~ZoneScope() {
  OpenZone& z = open_zone();
  if (z.applied) {
    if (z.had_zone) {
      setenv("TZ", z.saved.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  z.open = false;
  z.applied = false;
  z.offsets = nullptr;
  local_time_lock().unlock();
}

int local_readings(const struct tm& fields, int64_t out[2]) {
  int64_t wall = 0;
  if (!wall_seconds(fields, &wall)) return 0;
  const int kSamples = 2 * kOffsetSearchHours + 1;
  long offsets[kSamples];
  int kinds = 0;
  const int64_t span = kOffsetSearchHours * 3600LL;
  // Far from any change of offset the samples below would all agree.
  bool uniform = uniform_offset(wall - span, wall + span, &offsets[0]);
  if (uniform) kinds = 1;
  for (int h = -kOffsetSearchHours; !uniform && h <= kOffsetSearchHours; ++h) {
    long offset = 0;
    if (!offset_at(wall + h * 3600LL, &offset)) continue;
    if (std::find(offsets, offsets + kinds, offset) == offsets + kinds) offsets[kinds++] = offset;
  }
  int64_t found[kSamples];
  int count = 0;
  for (int i = 0; i < kinds; ++i) {
    int64_t candidate = wall - offsets[i];
    if (wall_clock(candidate) == wall &&
        std::find(found, found + count, candidate) == found + count)
      found[count++] = candidate;
  }
  std::sort(found, found + count);
  int n = std::min(count, 2);
  for (int i = 0; i < n; ++i) out[i] = found[i];
  return n;
}

bool local_instant(const struct tm& fields, int64_t* seconds) {
  int64_t readings[2];
  if (local_readings(fields, readings) > 0) {
    *seconds = readings[0];
    return true;
  }
  // A gap: read with the offset in force before the change, as mktime and
  // Python's datetime do, so 02:30 on a spring day is 03:30 after the change.
  int64_t wall = 0;
  if (!wall_seconds(fields, &wall)) return false;
  int64_t low = wall - kOffsetSearchHours * 3600LL;
  int64_t high = wall + kOffsetSearchHours * 3600LL;
  if (wall_clock(low) > wall || wall_clock(high) <= wall) return false;
  while (high - low > 1) {
    int64_t middle = low + (high - low) / 2;
    (wall_clock(middle) > wall ? high : low) = middle;
  }
  *seconds = wall - (wall_clock(high - 1) - (high - 1));
  return true;
}

std::string local_text(int64_t seconds) {
  apply_zone();
  time_t t = static_cast<time_t>(seconds);
  struct tm local;
  char text[32] = "";
  if (localtime_r(&t, &local) == nullptr ||
      std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local) == 0)
    return "";
  return text;
}

namespace {
// The local text at or around seconds whose every reading lies on the asked
// side of bound, stepping outward by kCoverStep.
bool cover(int64_t bound, int direction, std::string* text) {
  int64_t at = bound;
  for (int i = 0; i < kCoverSteps; ++i, at += direction * kCoverStep) {
    std::string candidate = local_text(at);
    struct tm fields;
    int64_t readings[2];
    if (candidate.empty() || !read_time_text(candidate.c_str(), candidate.size(), &fields))
      return false;
    int n = local_readings(fields, readings);
    if (n == 0) continue;
    bool covers = direction < 0 ? readings[n - 1] <= bound : readings[0] >= bound;
    if (covers) {
      *text = candidate;
      return true;
    }
  }
  return false;
}
}  // namespace

bool covering_texts(int64_t start, int64_t stop, std::string* start_text, std::string* stop_text) {
  if (!cover(start, -1, start_text)) return true;
  stop_text->clear();
  return stop > 0 && !cover(stop, 1, stop_text);
}
