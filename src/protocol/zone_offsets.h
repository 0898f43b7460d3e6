// Offsets from UTC of a zone, remembered by UTC hour, so that finding every
// reading of a local time does not ask the C library fifty times (nor switch
// the process's TZ and reload the zone file for it). An hour is remembered only
// when its first and last second have the same offset: no zone changes its
// offset twice within an hour. A zone is known by its name, TZDIR and its
// file's identity, so a zone database updated under a running process is read
// again.
#ifndef DAQ_PROTOCOL_ZONE_OFFSETS_H
#define DAQ_PROTOCOL_ZONE_OFFSETS_H

#include <cstdint>
#include <string>
#include <unordered_map>

// What tells one version of a file from another; exists is false when there
// is no such file.
struct ZoneFileId {
  bool exists = false;
  uint64_t device = 0;
  uint64_t inode = 0;
  int64_t size = 0;
  int64_t changed_ns = 0;
  bool operator==(const ZoneFileId& o) const {
    return exists == o.exists && device == o.device && inode == o.inode && size == o.size &&
           changed_ns == o.changed_ns;
  }
};

ZoneFileId zone_file_id(const std::string& path);

// A file's identity as read once, so a second look moments later (the zone
// check, then the conversions of one validation) costs no second stat.
struct ZoneFileSeen {
  std::string path;
  ZoneFileId id;
};

// The file the C library reads for a TZ value (a POSIX rule may name none:
// then the path leads nowhere and the rule's text is all there is).
std::string zone_file_path(const std::string& zone, const std::string& tzdir);

class ZoneOffsetCache {
 public:
  // Under local_time_lock(). The cache of zone as the zone is now (as seen,
  // when seen names the zone's file); null when memory runs out (then nothing
  // is remembered).
  static ZoneOffsetCache* of(const std::string& zone, const ZoneFileSeen* seen = nullptr);

  // The offset in force at seconds, when its hour is remembered.
  bool find(int64_t seconds, long* offset);
  // True with the offset when every hour from the one holding from to the one
  // holding to is remembered with one offset, as far as the run below tells.
  bool uniform(int64_t from, int64_t to, long* offset) const;
  // Remembers the offset of the hour starting at hour_start.
  void keep(int64_t hour_start, long offset);

 private:
  void forget();

  std::string zone_;
  std::string tzdir_;
  ZoneFileId file_;
  std::unordered_map<int64_t, long> hours_;
  // Consecutive remembered hours with one offset, met last: the fifty-odd
  // neighbouring hours that one reading asks about cost a compare each.
  // Empty while run_first_ > run_last_.
  int64_t run_first_ = 1;
  int64_t run_last_ = 0;
  long run_offset_ = 0;
};

#endif
