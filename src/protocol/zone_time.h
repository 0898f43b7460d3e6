// The experiment's zone and the conversions between instants and its local
// texts. Every switch of the process's TZ goes through ZoneScope, so there is
// one lock and one restore for the whole library.
#ifndef DAQ_PROTOCOL_ZONE_TIME_H
#define DAQ_PROTOCOL_ZONE_TIME_H

#include <cstdint>
#include <ctime>
#include <string>

#include "daq_mutex.h"
#include "zone_offsets.h"

// ORXA_EXP_TIMEZONE when set (also when empty, which the C library reads as
// UTC), else "CET". Takes local_time_lock(): call it outside a ZoneScope, as
// unknown_zone_reason.
std::string experiment_zone_name();

// Empty when the C library reads name as the zone it names: a file of the zone
// database (TZDIR or /usr/share/zoneinfo) or a POSIX TZ rule; else one line
// saying that the zone is unknown. seen, when given, receives the identity of
// the file looked at, for the ZoneScope that follows.
std::string unknown_zone_reason(const std::string& name, ZoneFileSeen* seen = nullptr);

// Holds local_time_lock() and makes zone the one the conversions below use for
// its life. The process's TZ is set to zone only when a conversion needs the C
// library (most readings come from the zone's remembered offsets); then, on
// destruction, the process gets back the TZ it had (or its absence) and the
// zone state is reloaded.
class ZoneScope {
 public:
  // The lock is held across the object's life, which the analysis cannot follow.
  explicit ZoneScope(const std::string& zone,
                     const ZoneFileSeen* seen = nullptr) NO_THREAD_SAFETY_ANALYSIS;
  ~ZoneScope() NO_THREAD_SAFETY_ANALYSIS;
  ZoneScope(const ZoneScope&) = delete;
  ZoneScope& operator=(const ZoneScope&) = delete;
};

// Inside a ZoneScope. The instants whose local time shows fields (normalised as
// timegm does: month 13 is January of the next year): none in a gap a clock
// change skips, two in an hour it repeats, earliest first. Returns the count.
int local_readings(const struct tm& fields, int64_t out[2]);

// Inside a ZoneScope. The instant a local time means: its first reading; in a
// gap, the fields read with the offset in force before the change. false when
// it cannot be found.
bool local_instant(const struct tm& fields, int64_t* seconds);

// Inside a ZoneScope. The local text YEAR-MM-DDTHH:MM:SS of an instant; empty
// when it has none.
std::string local_text(int64_t seconds);

// Inside a ZoneScope. Local texts whose every reading lies at or before start
// (start_text) and at or after stop (stop_text), as close as the zone allows:
// a server that reads them in this zone, whichever occurrence of a repeated
// hour it takes, asks at least [start, stop]. stop 0: no stop text. False on
// success.
bool covering_texts(int64_t start, int64_t stop, std::string* start_text, std::string* stop_text);

#endif
