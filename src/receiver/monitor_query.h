// The monitor queries of both receivers: status, bounds and record queries.
//
// A record query holds the cache lock from its first test to the end of delivery
// (copies, seen mark or removal included), so the receiver thread can neither
// reuse nor evict the record while it is read. A query that removes the record
// hands out the record's own objects rather than copies (monitor_copy.h). Queries that find nothing
// or whose copy fails change nothing in the cache. thr_id and done are read once per query, so the
// bits of one result agree with each other.
#ifndef DAQ_MONITOR_QUERY_H
#define DAQ_MONITOR_QUERY_H

#include <cstring>
#include <new>

#include "daq_diag.h"
#include "monitor_copy.h"
#include "receiver_body.h"

// Holds the cache lock for one query: released where the query is done with the
// cache, and on every other way out of it.
class CacheHold {
 public:
  explicit CacheHold(EqEvstore& cache) : cache_(&cache) { cache.lock(); }
  ~CacheHold() { release(); }
  CacheHold(const CacheHold&) = delete;
  CacheHold& operator=(const CacheHold&) = delete;
  void release() {
    if (cache_ == nullptr) return;
    cache_->unlock();
    cache_ = nullptr;
  }

 private:
  EqEvstore* cache_;
};

template <class Gen>
int DaqReceiverBody<Gen>::thread_bits(Receiver& r) {
  return (r.thr_id.load() == 0 ? DAQ_MON_NO_THREAD : 0) + (r.done.load() ? DAQ_MON_DONE : 0);
}

template <class Gen>
int DaqReceiverBody<Gen>::status_query(Receiver& r, int* ent) {
  CacheHold hold(r.cache);
  int records = Gen::count(r.cache, false);
  bool empty = Gen::is_empty(r.cache);
  bool full = Gen::is_full(r.cache);
  hold.release();
  int result = empty ? DAQ_MON_EMPTY : full ? DAQ_MON_DATA + DAQ_MON_FULL : DAQ_MON_DATA;
  if (ent != nullptr) *ent = empty ? 0 : records;
  return result + thread_bits(r);
}

template <class Gen>
bool DaqReceiverBody<Gen>::time_bound(Receiver& r, time_stamp* tm, int how) {
  if (tm == nullptr) return true;
  CacheHold hold(r.cache);
  return how == 0 ? r.cache.get_first_time(tm) : r.cache.get_last_time(tm);
}

template <class Gen>
bool DaqReceiverBody<Gen>::number_bound(Receiver& r, BoundNumber* ev_num, int how) {
  if (ev_num == nullptr) return true;
  CacheHold hold(r.cache);
  return how == 0 ? Gen::first_number(r.cache, ev_num) : Gen::last_number(r.cache, ev_num);
}

// Modes that need a time when no event number is given find nothing without one.
template <class Gen>
typename Gen::Record* DaqReceiverBody<Gen>::locate(Receiver& r, QueryNumber evnum, time_stamp* tm,
                                                   int how) {
  EqEvstore& c = r.cache;
  if (how & DAQ_GET_FIRST) return Gen::first(c, how);
  if (how & DAQ_GET_LAST) return Gen::last(c, how);
  if (how & DAQ_GET_THIS)
    return evnum != 0 ? Gen::find(c, evnum) : tm ? Gen::find(c, *tm) : nullptr;
  if (how & DAQ_GET_NEXT)
    return evnum != 0 ? Gen::next(c, evnum) : tm ? Gen::next(c, *tm) : nullptr;
  if (how & DAQ_GET_PREV)
    return evnum != 0 ? Gen::prev(c, evnum) : tm ? Gen::prev(c, *tm) : nullptr;
  if (evnum != 0) return Gen::find(c, evnum);
  if (tm != nullptr) return Gen::find(c, *tm);
  return Gen::first(c, EQCACHE_FIND_TIME);
}

template <class Gen>
int DaqReceiverBody<Gen>::record_query(Receiver& r, QueryNumber evnum, time_stamp* tm, Result** out,
                                       char* chan, int how, int rem, Record** rc) {
  bool by_channel = chan != nullptr && chan[0] != '\0';
  int bits = thread_bits(r);
  bool no_thread = (bits & DAQ_MON_NO_THREAD) != 0;
  CacheHold hold(r.cache);
  if (Gen::is_empty(r.cache)) {
    hold.release();
    return no_thread ? DAQ_MON_NO_MORE + bits : DAQ_MON_EMPTY + bits;
  }
  Record* record = locate(r, evnum, tm, how);
  eq_evstore_entry* wanted = nullptr;
  if (record != nullptr && by_channel) wanted = Gen::channel(r.cache, record, chan);
  if (record == nullptr || (by_channel && wanted == nullptr)) {
    hold.release();
    if (no_thread && (how & EQCACHE_FIND_NOTSEEN)) return DAQ_MON_NO_MORE + bits;
    return DAQ_MON_NOT_FOUND + bits;
  }
  Result* result = new (std::nothrow) Result();
  bool failed = result == nullptr;
  // A removed record gives its objects away instead of copies of them.
  bool removing = (rem & DAQ_GET_REMOVE) != 0;
  if (!failed && removing) {
    failed = by_channel ? take_entries(&wanted, 1, result)
                        : take_entries(record->entry.data(), record->entry.size(), result);
  } else if (!failed && by_channel) {
    failed = append_entry_copy(wanted, result);
  } else if (!failed) {
    for (eq_evstore_entry* entry : record->entry) {
      if ((failed = append_entry_copy(entry, result))) break;
    }
  }
  if (failed) {
    hold.release();
    daq_line("+++++++++++++++++++++++++++++++++++++++++++++++++++++++++++++++ bad res");
    release_result(result);
    daq_line("+++++++++++++++++++++++++++++++++++++++++++++++++++++++++++++++ delete res");
    return DAQ_MON_BAD_RESULT + bits;
  }
  if (out != nullptr) {
    *out = result;
  } else {
    release_result(result);
  }
  if (rc != nullptr) *rc = record;
  if (removing) {
    Gen::remove(r.cache, record);
  } else {
    Gen::set_seen(r.cache, record);
  }
  hold.release();
  return DAQ_MON_DATA + bits;
}

template <class Gen>
int DaqReceiverBody<Gen>::options_query(Receiver& r, Result** out, Options* op, Record** rc) {
  if (op == nullptr) {
    return record_query(r, 0, nullptr, out, nullptr, DAQ_GET_FIRST + EQCACHE_FIND_TIME,
                        DAQ_GET_REMOVE, rc);
  }
  // The caller's name may fill the field without a NUL; a name of that length
  // matches no entry (entry names are shorter), so it is searched as it stands.
  char name[sizeof op->chan + 1];
  std::memcpy(name, op->chan, sizeof op->chan);
  name[sizeof op->chan] = '\0';
  return record_query(r, op->evnum, &op->time, out, name[0] != '\0' ? name : nullptr, op->access,
                      op->access, rc);
}

#endif
