// What the server will serve for a request: the time range, the events, the
// channels, the files found and not found, or the reason it cannot serve it.
#ifndef DAQ_SERVER_REQUEST_PLAN_H
#define DAQ_SERVER_REQUEST_PLAN_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "channel_catalog.h"
#include "daq_server_util_def.h"

struct PlanSettings {
  double rate_hz = 10.0;
  int64_t origin_sec = 1735689600;
  int64_t now_sec = 0;
  long max_events = 10000000;
  int generation = -1;  // -1 auto, 0 legacy, 1 2024
};

struct RequestPlan {
  std::string error;  // non-empty: the "ERROR: ..." reason; nothing else is valid
  int t_start = 0;
  int t_stop = 0;
  uint64_t first_event = 0;
  uint64_t event_count = 0;
  bool gen_2024 = false;
  bool channel_list_only = false;
  int runs = 0;
  std::vector<const CatalogChannel*> event_channels;
  std::vector<const CatalogChannel*> slow_channels;
  std::vector<std::string> found_files;
  std::vector<std::string> nf_files;
  std::vector<std::string> nf_channels;
  // The request's own copies of channels it samples; the channel lists point
  // into them, and every copy of the plan keeps them alive.
  std::vector<std::shared_ptr<const CatalogChannel>> sampled;
};

// Plans a request that parse_daq_request read. Fills the seconds fields of
// the request (validation) but nothing the echo compares. A channel whose
// sampling parameters cannot be honoured is listed among the not-found
// channels as "NAME (reason)"; a request whose events would not fit the data
// link gets an error.
RequestPlan plan_request(daq_server_request* request, const ChannelCatalog& catalog,
                         const PlanSettings& settings);

// Event time of event index i of a plan.
void plan_event_time(const RequestPlan& plan, double rate_hz, uint64_t index, uint32_t* seconds,
                     uint32_t* micros);

// Readable text of a validate_daq_request code.
const char* validation_reason(int code);

#endif
