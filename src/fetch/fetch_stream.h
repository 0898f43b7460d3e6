// The stream part of the road: one template over the generation mapping.
#ifndef DAQ_FETCH_STREAM_H
#define DAQ_FETCH_STREAM_H

#include <functional>
#include <string>

#include "daq_fetch.h"
#include "daq_server_util_def.h"

using DaqFetchDeliver = std::function<bool(DaqFetchRecord&)>;

// Opens the receiver of generation G on the reply's stream and hands every
// record not delivered before (by the state's mark) to deliver until the stream
// has ended and the cache is empty, stop is set or deliver returns false. Adds
// the stream's figures to the state, sets its error (and cause when the stream
// broke); returns a DAQ_FETCH_* result.
template <class G>
int stream_records(DaqFetch::State& state, daq_server_reply* reply, const DaqFetchDeliver& deliver);

// error() of a stopped fetch.
std::string stopped_text(const DaqFetch::State& state);

#endif
