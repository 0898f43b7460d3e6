// What daqget says of a fetch when it ends: one line on standard error, and on
// request the counters as a JSON object (keys: docs/daqget.md).
#ifndef DAQGET_FETCH_REPORT_H
#define DAQGET_FETCH_REPORT_H

#include <string>

#include "daq_fetch.h"

// "daqget: 600 events, 12.3 MB in 10.2 s (1.2 MB/s), 0 reconnects, 0 dropped",
// without a line end (sizes in decimal units, B to TB); seconds is the fetch's
// duration, dropped its events and channel sub-blocks thrown away.
std::string fetch_summary_line(const DaqFetchCounters& counters, double seconds,
                               unsigned long long dropped);

// Every counter under its field's name, the receiver's in "received", plus
// "exit_code".
std::string fetch_stats_json(const DaqFetchCounters& counters, int exit_code);

// Writes the JSON to path. False on success; true with a one-line reason.
bool write_fetch_stats(const std::string& path, const DaqFetchCounters& counters, int exit_code,
                       std::string* error);

#endif
