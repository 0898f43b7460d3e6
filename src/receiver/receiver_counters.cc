// The receivers' counters, read from the block kept beside each receiver; the
// drop counts come from the receiver's own getters.
#include "daq_receiver_counters.h"

#include "eq_daq_data.h"
#include "eq_daq_data_2024.h"
#include "receiver_counter_block.h"

namespace {

template <class Receiver>
DaqReceiverCounters counters_of(Receiver& receiver) {
  auto block = find_receiver_counters(&receiver);
  DaqReceiverCounters c = block != nullptr ? block->read() : DaqReceiverCounters();
  c.dropped_events = receiver.get_dropped_events();
  c.dropped_sub_blocks = receiver.get_dropped_sub_blocks();
  return c;
}

}  // namespace

DaqReceiverCounters daq_receiver_counters(EqDAQdata& receiver) { return counters_of(receiver); }
DaqReceiverCounters daq_receiver_counters(EqDAQdata2024& receiver) { return counters_of(receiver); }
