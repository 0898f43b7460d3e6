// Taking the earliest record out of a receiver's cache together with its
// names. get_monitor hands out the values but not their names, so the names of
// the record about to be taken are read under the cache lock first, and kept
// only when get_monitor took that same record (only the fetch removes records;
// the receiver thread only appends).
#ifndef DAQ_FETCH_RECORD_TAKE_H
#define DAQ_FETCH_RECORD_TAKE_H

#include <cstring>
#include <string>
#include <vector>

#include "daq_fetch.h"
#include "daq_generation.h"

// The earliest record's head and names into *rec; the record itself, or null
// when the cache is empty.
template <class G>
const typename G::Record* peek_record(typename G::Receiver& receiver, DaqFetchRecord* rec) {
  DAQEqEvstore* cache = receiver.get_cache();
  cache->lock();
  const typename G::Record* r = G::first(*cache, EQCACHE_FIND_TIME);
  if (r != nullptr) {
    rec->event = r->event_number;
    rec->seconds = r->time.timeup;
    rec->micros = r->time.timelow;
    for (const eq_evstore_entry* e : r->entry) {
      if (e != nullptr) rec->names.emplace_back(e->name, strnlen(e->name, sizeof e->name));
    }
  }
  cache->unlock();
  return r;
}

// Completes *rec for the values get_monitor handed out (taken into
// rec->values); same: it took the peeked record. Head and names come from the
// values themselves when it did not.
void complete_record(bool same, std::vector<EqData_dtype*>* values,
                     const std::vector<std::string>& requested, DaqFetchRecord* rec);

#endif
