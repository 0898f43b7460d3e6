// EqEvstore: the navigation half. Every legacy/_2024 pair forwards to one body in
// record_navigation.h.
#include "record_navigation.h"

#include "cache_generation.h"

using Nav = Navigation<LegacyGen>;
using Nav2024 = Navigation<Gen2024>;

int EqEvstore::FindFirstIndx(int how) { return Nav::extreme_index(cache, how, Extreme::first); }
int EqEvstore::FindFirstIndx_2024(int how) {
  return Nav2024::extreme_index(cache_2024, how, Extreme::first);
}
eq_evstore_record* EqEvstore::FindFirstRecord(int how) {
  return Nav::at(cache, FindFirstIndx(how));
}
eq_evstore_record_2024* EqEvstore::FindFirstRecord_2024(int how) {
  return Nav2024::at(cache_2024, FindFirstIndx_2024(how));
}
int EqEvstore::FindLastIndx(int how) { return Nav::extreme_index(cache, how, Extreme::last); }
int EqEvstore::FindLastIndx_2024(int how) {
  return Nav2024::extreme_index(cache_2024, how, Extreme::last);
}
eq_evstore_record* EqEvstore::FindLastRecord(int how) { return Nav::at(cache, FindLastIndx(how)); }
eq_evstore_record_2024* EqEvstore::FindLastRecord_2024(int how) {
  return Nav2024::at(cache_2024, FindLastIndx_2024(how));
}

namespace {
template <class Record, class Out>
bool store_event_number(const Record* r, Out* out) {
  if (r == nullptr) return true;
  if (out != nullptr) *out = static_cast<Out>(r->event_number);
  return false;
}

template <class Record, class Record2024>
bool store_time(const Record* r, const Record2024* r2024, time_stamp* tm) {
  if (r == nullptr && r2024 == nullptr) return true;
  if (tm != nullptr) *tm = r != nullptr ? r->time : r2024->time;
  return false;
}
}  // namespace

bool EqEvstore::get_first_eventnum(int* evnum) {
  return store_event_number(FindFirstRecord(EQCACHE_FIND_EVNUM), evnum);
}
bool EqEvstore::get_first_eventnum_2024(uint64_t* evnum) {
  return store_event_number(FindFirstRecord_2024(EQCACHE_FIND_EVNUM), evnum);
}
bool EqEvstore::get_last_eventnum(int* evnum) {
  return store_event_number(FindLastRecord(EQCACHE_FIND_EVNUM), evnum);
}
bool EqEvstore::get_last_eventnum_2024(uint64_t* evnum) {
  return store_event_number(FindLastRecord_2024(EQCACHE_FIND_EVNUM), evnum);
}

bool EqEvstore::get_first_time(time_stamp* tm) {
  eq_evstore_record* r = FindFirstRecord(EQCACHE_FIND_TIME);
  return store_time(r, r ? nullptr : FindFirstRecord_2024(EQCACHE_FIND_TIME), tm);
}
bool EqEvstore::get_last_time(time_stamp* tm) {
  eq_evstore_record* r = FindLastRecord(EQCACHE_FIND_TIME);
  return store_time(r, r ? nullptr : FindLastRecord_2024(EQCACHE_FIND_TIME), tm);
}

int EqEvstore::FindNextIndx(uint32_t ev) { return Nav::step_index(cache, ev, Direction::next); }
int EqEvstore::FindNextIndx_2024(uint64_t ev) {
  return Nav2024::step_index(cache_2024, ev, Direction::next);
}
eq_evstore_record* EqEvstore::FindNextRecord(uint32_t ev) {
  return Nav::at(cache, FindNextIndx(ev));
}
eq_evstore_record_2024* EqEvstore::FindNextRecord_2024(uint64_t ev) {
  return Nav2024::at(cache_2024, FindNextIndx_2024(ev));
}
int EqEvstore::FindPrevIndx(uint32_t ev) { return Nav::step_index(cache, ev, Direction::prev); }
int EqEvstore::FindPrevIndx_2024(uint64_t ev) {
  return Nav2024::step_index(cache_2024, ev, Direction::prev);
}
eq_evstore_record* EqEvstore::FindPrevRecord(uint32_t ev) {
  return Nav::at(cache, FindPrevIndx(ev));
}
eq_evstore_record_2024* EqEvstore::FindPrevRecord_2024(uint64_t ev) {
  return Nav2024::at(cache_2024, FindPrevIndx_2024(ev));
}

int EqEvstore::FindNextIndx(time_stamp ts) { return Nav::step_index(cache, ts, Direction::next); }
int EqEvstore::FindNextIndx_2024(time_stamp ts) {
  return Nav2024::step_index(cache_2024, ts, Direction::next);
}
eq_evstore_record* EqEvstore::FindNextRecord(time_stamp ts) {
  return Nav::at(cache, FindNextIndx(ts));
}
eq_evstore_record_2024* EqEvstore::FindNextRecord_2024(time_stamp ts) {
  return Nav2024::at(cache_2024, FindNextIndx_2024(ts));
}
int EqEvstore::FindPrevIndx(time_stamp ts) { return Nav::step_index(cache, ts, Direction::prev); }
int EqEvstore::FindPrevIndx_2024(time_stamp ts) {
  return Nav2024::step_index(cache_2024, ts, Direction::prev);
}
eq_evstore_record* EqEvstore::FindPrevRecord(time_stamp ts) {
  return Nav::at(cache, FindPrevIndx(ts));
}
eq_evstore_record_2024* EqEvstore::FindPrevRecord_2024(time_stamp ts) {
  return Nav2024::at(cache_2024, FindPrevIndx_2024(ts));
}

eq_evstore_record* EqEvstore::FindRecord(int evnum) {
  return Nav::find_by_event(cache, static_cast<uint32_t>(evnum));
}
eq_evstore_record_2024* EqEvstore::FindRecord_2024(uint64_t evnum) {
  return Nav2024::find_by_event(cache_2024, evnum);
}
eq_evstore_record* EqEvstore::FindRecord(time_stamp time) {
  return Nav::find_by_time(cache, time, max_time_diff);
}
eq_evstore_record_2024* EqEvstore::FindRecord_2024(time_stamp time) {
  return Nav2024::find_by_time(cache_2024, time, max_time_diff);
}

eq_evstore_entry* EqEvstore::FindChannel(eq_evstore_record* rec, char* name) {
  return Nav::channel(rec, name);
}
eq_evstore_entry* EqEvstore::FindChannel_2024(eq_evstore_record_2024* rec, char* name) {
  return Nav2024::channel(rec, name);
}
eq_evstore_entry* EqEvstore::FindChannel(int evnum, char* name) {
  if (name == nullptr || name[0] == '\0') return nullptr;
  return Nav::channel(FindRecord(evnum), name);
}
eq_evstore_entry* EqEvstore::FindChannel_2024(uint64_t evnum, char* name) {
  if (name == nullptr || name[0] == '\0') return nullptr;
  return Nav2024::channel(FindRecord_2024(evnum), name);
}
eq_evstore_entry* EqEvstore::FindChannel(time_stamp time, char* name) {
  if (name == nullptr || name[0] == '\0') return nullptr;
  return Nav::channel(FindRecord(time), name);
}
eq_evstore_entry* EqEvstore::FindChannel_2024(time_stamp time, char* name) {
  if (name == nullptr || name[0] == '\0') return nullptr;
  return Nav2024::channel(FindRecord_2024(time), name);
}

int EqEvstore::find_by_name(eq_evstore_record* rec, char* name) {
  return Nav::entry_position(rec, name);
}
int EqEvstore::find_by_name_2024(eq_evstore_record_2024* rec, char* name) {
  return Nav2024::entry_position(rec, name);
}
int EqEvstore::find_by_name(int where, char* name) {
  if (where < 0 || static_cast<std::size_t>(where) >= cache.size()) return NAV_INVALID;
  return Nav::entry_position(cache[where], name);
}
int EqEvstore::find_by_name_2024(int where, char* name) {
  if (where < 0 || static_cast<std::size_t>(where) >= cache_2024.size()) return NAV_INVALID;
  return Nav2024::entry_position(cache_2024[where], name);
}
