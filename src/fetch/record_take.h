// Taking the earliest record out of a receiver's cache with its head and names.
// get_monitor hands out the values but not their names, and a record is gone
// (its address free for reuse) once taken, so both are read in one cache hold
// by the receiver body.
#ifndef DAQ_FETCH_RECORD_TAKE_H
#define DAQ_FETCH_RECORD_TAKE_H

#include <string>
#include <utility>
#include <vector>

#include "channel_answer.h"
#include "daq_fetch.h"
#include "receiver_body.h"

// The receiver's monitor code (DAQ_MON_*); on DAQ_MON_DATA *rec is complete and
// owns its values.
template <class G>
int take_record(typename G::Receiver& receiver, const std::vector<std::string>& requested,
                DaqFetchRecord* rec) {
  typename DaqReceiverBody<G>::RecordHead head;
  std::vector<EqData_dtype*>* values = nullptr;
  int rc = DaqReceiverBody<G>::take_first(receiver, &values, &head);
  if (values == nullptr) return rc;
  rec->values = values;
  rec->event = head.event;
  rec->seconds = head.seconds;
  rec->micros = head.micros;
  rec->slow = !values->empty() && (*values)[0] != nullptr && (*values)[0]->slblock != nullptr;
  rec->names = std::move(head.names);
  rec->requested.clear();
  for (const std::string& name : rec->names)
    rec->requested.push_back(answered_channel(requested, name));
  return rc;
}

#endif
