// EqEvstore: the navigation half. Every legacy/_2024 pair forwards to one body in
// record_navigation.h. None of these operations locks: by their contract the
// caller holds the cache lock, which each one states with its scope.
#include "record_navigation.h"

#include "daq_generation.h"

using Nav = Navigation<LegacyGen>;
using Nav2024 = Navigation<Gen2024>;

int EqEvstore::FindFirstIndx(int how) {
  CacheLockScope held(*this, false);
  return Nav::extreme_index(*this, how, Extreme::first);
}
int EqEvstore::FindFirstIndx_2024(int how) {
  CacheLockScope held(*this, false);
  return Nav2024::extreme_index(*this, how, Extreme::first);
}
eq_evstore_record* EqEvstore::FindFirstRecord(int how) {
  CacheLockScope held(*this, false);
  return Nav::extreme_record(*this, how, Extreme::first);
}
eq_evstore_record_2024* EqEvstore::FindFirstRecord_2024(int how) {
  CacheLockScope held(*this, false);
  return Nav2024::extreme_record(*this, how, Extreme::first);
}
int EqEvstore::FindLastIndx(int how) {
  CacheLockScope held(*this, false);
  return Nav::extreme_index(*this, how, Extreme::last);
}
int EqEvstore::FindLastIndx_2024(int how) {
  CacheLockScope held(*this, false);
  return Nav2024::extreme_index(*this, how, Extreme::last);
}
eq_evstore_record* EqEvstore::FindLastRecord(int how) {
  CacheLockScope held(*this, false);
  return Nav::extreme_record(*this, how, Extreme::last);
}
eq_evstore_record_2024* EqEvstore::FindLastRecord_2024(int how) {
  CacheLockScope held(*this, false);
  return Nav2024::extreme_record(*this, how, Extreme::last);
}

namespace {
template <class Record, class Out>
bool store_event_number(const Record* r, Out* out) {
  if (r == nullptr) return true;
  if (out != nullptr) *out = static_cast<Out>(r->event_number);
  return false;
}

// The legacy list first; the 2024 list only when the legacy one yields nothing.
bool store_time(EqEvstore& s, Extreme which, time_stamp* tm) REQUIRES(cache_mutex(s)) {
  const eq_evstore_record* r = Nav::extreme_record(s, EQCACHE_FIND_TIME, which);
  const eq_evstore_record_2024* r2024 =
      r != nullptr ? nullptr : Nav2024::extreme_record(s, EQCACHE_FIND_TIME, which);
  if (r == nullptr && r2024 == nullptr) return true;
  if (tm != nullptr) *tm = r != nullptr ? r->time : r2024->time;
  return false;
}
}  // namespace

bool EqEvstore::get_first_eventnum(int* evnum) {
  CacheLockScope held(*this, false);
  return store_event_number(Nav::extreme_record(*this, EQCACHE_FIND_EVNUM, Extreme::first), evnum);
}
bool EqEvstore::get_first_eventnum_2024(uint64_t* evnum) {
  CacheLockScope held(*this, false);
  return store_event_number(Nav2024::extreme_record(*this, EQCACHE_FIND_EVNUM, Extreme::first),
                            evnum);
}
bool EqEvstore::get_last_eventnum(int* evnum) {
  CacheLockScope held(*this, false);
  return store_event_number(Nav::extreme_record(*this, EQCACHE_FIND_EVNUM, Extreme::last), evnum);
}
bool EqEvstore::get_last_eventnum_2024(uint64_t* evnum) {
  CacheLockScope held(*this, false);
  return store_event_number(Nav2024::extreme_record(*this, EQCACHE_FIND_EVNUM, Extreme::last),
                            evnum);
}

bool EqEvstore::get_first_time(time_stamp* tm) {
  CacheLockScope held(*this, false);
  return store_time(*this, Extreme::first, tm);
}
bool EqEvstore::get_last_time(time_stamp* tm) {
  CacheLockScope held(*this, false);
  return store_time(*this, Extreme::last, tm);
}

int EqEvstore::FindNextIndx(uint32_t ev) {
  CacheLockScope held(*this, false);
  return Nav::step_index(*this, ev, Direction::next);
}
int EqEvstore::FindNextIndx_2024(uint64_t ev) {
  CacheLockScope held(*this, false);
  return Nav2024::step_index(*this, ev, Direction::next);
}
eq_evstore_record* EqEvstore::FindNextRecord(uint32_t ev) {
  CacheLockScope held(*this, false);
  return Nav::at(*this, Nav::step_index(*this, ev, Direction::next));
}
eq_evstore_record_2024* EqEvstore::FindNextRecord_2024(uint64_t ev) {
  CacheLockScope held(*this, false);
  return Nav2024::at(*this, Nav2024::step_index(*this, ev, Direction::next));
}
int EqEvstore::FindPrevIndx(uint32_t ev) {
  CacheLockScope held(*this, false);
  return Nav::step_index(*this, ev, Direction::prev);
}
int EqEvstore::FindPrevIndx_2024(uint64_t ev) {
  CacheLockScope held(*this, false);
  return Nav2024::step_index(*this, ev, Direction::prev);
}
eq_evstore_record* EqEvstore::FindPrevRecord(uint32_t ev) {
  CacheLockScope held(*this, false);
  return Nav::at(*this, Nav::step_index(*this, ev, Direction::prev));
}
eq_evstore_record_2024* EqEvstore::FindPrevRecord_2024(uint64_t ev) {
  CacheLockScope held(*this, false);
  return Nav2024::at(*this, Nav2024::step_index(*this, ev, Direction::prev));
}

int EqEvstore::FindNextIndx(time_stamp ts) {
  CacheLockScope held(*this, false);
  return Nav::step_index(*this, ts, Direction::next);
}
int EqEvstore::FindNextIndx_2024(time_stamp ts) {
  CacheLockScope held(*this, false);
  return Nav2024::step_index(*this, ts, Direction::next);
}
eq_evstore_record* EqEvstore::FindNextRecord(time_stamp ts) {
  CacheLockScope held(*this, false);
  return Nav::at(*this, Nav::step_index(*this, ts, Direction::next));
}
eq_evstore_record_2024* EqEvstore::FindNextRecord_2024(time_stamp ts) {
  CacheLockScope held(*this, false);
  return Nav2024::at(*this, Nav2024::step_index(*this, ts, Direction::next));
}
int EqEvstore::FindPrevIndx(time_stamp ts) {
  CacheLockScope held(*this, false);
  return Nav::step_index(*this, ts, Direction::prev);
}
int EqEvstore::FindPrevIndx_2024(time_stamp ts) {
  CacheLockScope held(*this, false);
  return Nav2024::step_index(*this, ts, Direction::prev);
}
eq_evstore_record* EqEvstore::FindPrevRecord(time_stamp ts) {
  CacheLockScope held(*this, false);
  return Nav::at(*this, Nav::step_index(*this, ts, Direction::prev));
}
eq_evstore_record_2024* EqEvstore::FindPrevRecord_2024(time_stamp ts) {
  CacheLockScope held(*this, false);
  return Nav2024::at(*this, Nav2024::step_index(*this, ts, Direction::prev));
}

eq_evstore_record* EqEvstore::FindRecord(int evnum) {
  CacheLockScope held(*this, false);
  return Nav::find_by_event(*this, static_cast<uint32_t>(evnum));
}
eq_evstore_record_2024* EqEvstore::FindRecord_2024(uint64_t evnum) {
  CacheLockScope held(*this, false);
  return Nav2024::find_by_event(*this, evnum);
}
eq_evstore_record* EqEvstore::FindRecord(time_stamp time) {
  CacheLockScope held(*this, false);
  return Nav::find_by_time(*this, time);
}
eq_evstore_record_2024* EqEvstore::FindRecord_2024(time_stamp time) {
  CacheLockScope held(*this, false);
  return Nav2024::find_by_time(*this, time);
}

eq_evstore_entry* EqEvstore::FindChannel(eq_evstore_record* rec, char* name) {
  return Nav::channel(rec, name);
}
eq_evstore_entry* EqEvstore::FindChannel_2024(eq_evstore_record_2024* rec, char* name) {
  return Nav2024::channel(rec, name);
}
eq_evstore_entry* EqEvstore::FindChannel(int evnum, char* name) {
  if (name == nullptr || name[0] == '\0') return nullptr;
  CacheLockScope held(*this, false);
  return Nav::channel(Nav::find_by_event(*this, static_cast<uint32_t>(evnum)), name);
}
eq_evstore_entry* EqEvstore::FindChannel_2024(uint64_t evnum, char* name) {
  if (name == nullptr || name[0] == '\0') return nullptr;
  CacheLockScope held(*this, false);
  return Nav2024::channel(Nav2024::find_by_event(*this, evnum), name);
}
eq_evstore_entry* EqEvstore::FindChannel(time_stamp time, char* name) {
  if (name == nullptr || name[0] == '\0') return nullptr;
  CacheLockScope held(*this, false);
  return Nav::channel(Nav::find_by_time(*this, time), name);
}
eq_evstore_entry* EqEvstore::FindChannel_2024(time_stamp time, char* name) {
  if (name == nullptr || name[0] == '\0') return nullptr;
  CacheLockScope held(*this, false);
  return Nav2024::channel(Nav2024::find_by_time(*this, time), name);
}
