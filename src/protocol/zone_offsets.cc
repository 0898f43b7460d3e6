#include "zone_offsets.h"

#include <sys/stat.h>

#include <cstdlib>
#include <list>
#include <new>

namespace {

// Enough for years of hours; a cache beyond it starts again.
const size_t kMostHours = 1 << 16;
// Zones remembered at once; the one used longest ago makes way.
const size_t kMostZones = 8;

int64_t hour_of(int64_t seconds) { return (seconds >= 0 ? seconds : seconds - 3599) / 3600; }

}  // namespace

ZoneFileId zone_file_id(const std::string& path) {
  ZoneFileId id;
  struct stat st;
  if (path.empty() || stat(path.c_str(), &st) != 0) return id;
  id.exists = true;
  id.device = static_cast<uint64_t>(st.st_dev);
  id.inode = static_cast<uint64_t>(st.st_ino);
  id.size = static_cast<int64_t>(st.st_size);
  id.changed_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  return id;
}

std::string zone_file_path(const std::string& zone, const std::string& tzdir) {
  // As the C library resolves TZ: an empty value is UTC's file, a leading ':'
  // is dropped, a relative name lies below TZDIR or the default folder.
  std::string name = zone.empty() ? "Universal" : zone[0] == ':' ? zone.substr(1) : zone;
  if (name.empty() || name[0] == '/') return name;
  return (tzdir.empty() ? std::string("/usr/share/zoneinfo") : tzdir) + "/" + name;
}

ZoneOffsetCache* ZoneOffsetCache::of(const std::string& zone, const ZoneFileSeen* seen) {
  static std::list<ZoneOffsetCache> zones;
  try {
    const char* dir = std::getenv("TZDIR");  // the caller holds the lock setenv takes
    std::string tzdir = dir != nullptr ? dir : "";
    std::string path = zone_file_path(zone, tzdir);
    ZoneFileId file = seen != nullptr && seen->path == path ? seen->id : zone_file_id(path);
    for (auto it = zones.begin(); it != zones.end(); ++it) {
      if (it->zone_ != zone || it->tzdir_ != tzdir) continue;
      zones.splice(zones.begin(), zones, it);
      if (!(zones.front().file_ == file)) {
        zones.front().forget();
        zones.front().file_ = file;
      }
      return &zones.front();
    }
    if (zones.size() >= kMostZones) zones.pop_back();
    zones.emplace_front();
    zones.front().zone_ = zone;
    zones.front().tzdir_ = tzdir;
    zones.front().file_ = file;
    return &zones.front();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

bool ZoneOffsetCache::find(int64_t seconds, long* offset) {
  int64_t hour = hour_of(seconds);
  if (hour >= run_first_ && hour <= run_last_) {
    *offset = run_offset_;
    return true;
  }
  auto it = hours_.find(hour);
  if (it == hours_.end()) return false;
  *offset = it->second;
  // The run grows only by a remembered neighbour with its offset, so every
  // hour inside it is remembered with that offset.
  if (it->second == run_offset_ && hour == run_last_ + 1 && run_first_ <= run_last_) {
    run_last_ = hour;
  } else if (it->second == run_offset_ && hour == run_first_ - 1 && run_first_ <= run_last_) {
    run_first_ = hour;
  } else {
    run_first_ = run_last_ = hour;
    run_offset_ = it->second;
  }
  return true;
}

bool ZoneOffsetCache::uniform(int64_t from, int64_t to, long* offset) const {
  if (hour_of(from) < run_first_ || hour_of(to) > run_last_) return false;
  *offset = run_offset_;
  return true;
}

void ZoneOffsetCache::forget() {
  hours_.clear();
  run_first_ = 1;
  run_last_ = 0;
}

void ZoneOffsetCache::keep(int64_t hour_start, long offset) {
  if (hours_.size() >= kMostHours) forget();
  try {
    hours_[hour_of(hour_start)] = offset;
  } catch (const std::bad_alloc&) {
    // Not remembered: the next reading asks the C library again.
  }
}
