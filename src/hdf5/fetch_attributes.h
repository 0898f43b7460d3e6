// The root attributes that describe a fetch: its request, the reply's
// statistics and, at close, its counters and result.
#ifndef DAQ_HDF5_FETCH_ATTRIBUTES_H
#define DAQ_HDF5_FETCH_ATTRIBUTES_H

#include <hdf5.h>

#include <string>
#include <vector>

#include "daq_fetch.h"

struct daq_server_reply;

// What the sink keeps of a reply (the reply itself belongs to the connection).
struct ReplyStats {
  int t_start_sec = 0, t_stop_sec = 0, files = 0, fids = 0, events = 0, data_loc = 0, avail = 0;
  std::vector<std::string> channels_not_found, files_not_found, file_names;
  std::string host;
  int port = 0;
  bool evid64 = false;
};

ReplyStats copy_reply_stats(const daq_server_reply& reply);

// Each returns true on failure.
bool write_request_attributes(hid_t root, const DaqFetchRequest& request);
bool write_reply_attributes(hid_t root, const ReplyStats& reply);
bool write_fetch_attributes(hid_t root, const DaqFetch* fetch, int result);

#endif
