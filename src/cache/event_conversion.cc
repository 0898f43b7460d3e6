// DAQEqEvstore: the event overloads forward to the one body in event_conversion.h.
#include "event_conversion.h"

#include "cache_generation.h"

int DAQEqEvstore::daq_data_to_cache(orxa_eventheader* evhd, char* buf, int how) {
  return EventConversion<LegacyGen>::convert(*this, evhd, buf, how);
}

int DAQEqEvstore::daq_data_to_cache(orxa_eventheader_2024* evhd, char* buf, int how) {
  return EventConversion<Gen2024>::convert(*this, evhd, buf, how);
}
