// Writing one record of the fetch: one line per channel, one per value of a
// slow-data block, each under the name the server gave it.
#ifndef DAQGET_FETCHED_RECORD_H
#define DAQGET_FETCHED_RECORD_H

#include "daq_fetch.h"
#include "record_writer.h"

struct RecordTally {
  long events = 0;  // event records written (slow-data records not counted)
  long slow_blocks = 0;
  long rows = 0;
};

void write_fetched_record(const DaqFetchRecord& record, RecordWriter& writer, RecordTally* tally);

#endif
