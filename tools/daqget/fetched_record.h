// Writing one record of the fetch: one line per channel, one per value of a
// slow-data block, each under the name the server gave it.
#ifndef DAQGET_FETCHED_RECORD_H
#define DAQGET_FETCHED_RECORD_H

#include <string>

#include "daq_fetch.h"
#include "record_writer.h"

struct RecordTally {
  long events = 0;  // event records written (slow-data records not counted)
  long slow_blocks = 0;
  long rows = 0;
};

// The name line i of a record is written under: the server's name for the
// value, or, when the record carries no names, what the value itself carries.
std::string fetched_channel_name(const DaqFetchRecord& record, size_t i);

void write_fetched_record(const DaqFetchRecord& record, RecordWriter& writer, RecordTally* tally);

#endif
