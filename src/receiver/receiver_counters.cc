// The receivers' counters. To be kept beside each receiver; for now only what
// the receiver already counts.
#include "daq_receiver_counters.h"

#include "eq_daq_data.h"
#include "eq_daq_data_2024.h"

namespace {

template <class Receiver>
DaqReceiverCounters counters_of(Receiver& receiver) {
  DaqReceiverCounters c;
  c.dropped_events = receiver.get_dropped_events();
  c.dropped_sub_blocks = receiver.get_dropped_sub_blocks();
  return c;
}

}  // namespace

DaqReceiverCounters daq_receiver_counters(EqDAQdata& receiver) { return counters_of(receiver); }
DaqReceiverCounters daq_receiver_counters(EqDAQdata2024& receiver) { return counters_of(receiver); }
