// The stream part of the road: one template over the generation mapping.
#ifndef DAQ_FETCH_STREAM_H
#define DAQ_FETCH_STREAM_H

#include <functional>

#include "daq_fetch.h"
#include "daq_server_util_def.h"

using DaqFetchDeliver = std::function<bool(DaqFetchRecord&)>;

// Opens the receiver of generation G on the reply's stream and hands every
// record to deliver until the stream has ended and the cache is empty, stop is
// set or deliver returns false. Sets the state's end figures and error; returns
// a DAQ_FETCH_* result.
template <class G>
int stream_records(DaqFetch::State& state, daq_server_reply* reply, const DaqFetchDeliver& deliver);

#endif
