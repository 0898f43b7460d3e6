// The scalar key by which lookups measure the distance between time stamps.
// timelow carries microseconds, so the key is in milliseconds: a key of
// timeup * 1000 + timelow would rank 1 s + 999999 us after 2 s + 0 us.
#ifndef DAQ_CACHE_TIME_KEY_H
#define DAQ_CACHE_TIME_KEY_H

#include "orxa_event_format.h"

inline double time_key_ms(const time_stamp& ts) {
  return static_cast<double>(ts.timeup) * 1000.0 + static_cast<double>(ts.timelow) / 1000.0;
}

// Lexicographic order, seconds first: the order of first/last and of eviction.
inline bool time_before(const time_stamp& a, const time_stamp& b) {
  return a.timeup != b.timeup ? a.timeup < b.timeup : a.timelow < b.timelow;
}

#endif
