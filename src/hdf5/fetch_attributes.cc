// Attribute names are the file's contract (docs/hdf5-layout.md); times are
// written both as UTC seconds and as ISO text so that a reader needs no zone.
#include "fetch_attributes.h"

#include <cstring>
#include <ctime>

#include "daq_server_util_def.h"
#include "h5_attributes.h"

namespace {

std::string iso_utc(int64_t seconds) {
  if (seconds <= 0) return "";
  time_t t = static_cast<time_t>(seconds);
  struct tm utc {};
  if (gmtime_r(&t, &utc) == nullptr) return "";
  char text[40];
  strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

std::vector<std::string> texts(const std::vector<char*>& list) {
  std::vector<std::string> out;
  for (const char* p : list)
    if (p != nullptr) out.emplace_back(p);
  return out;
}

const char* generation_name(int generation) {
  switch (generation) {
    case DAQ_FETCH_GEN_LEGACY:
      return "legacy";
    case DAQ_FETCH_GEN_2024:
      return "2024";
    default:
      return "auto";
  }
}

}  // namespace

ReplyStats copy_reply_stats(const daq_server_reply& r) {
  ReplyStats s;
  s.t_start_sec = r.stat.t_start_sec;
  s.t_stop_sec = r.stat.t_stop_sec;
  s.files = r.stat.files;
  s.fids = r.stat.fids;
  s.events = r.stat.events;
  s.data_loc = r.stat.data_loc;
  s.avail = r.stat.avail;
  s.channels_not_found = texts(r.stat.nf_chan_list);
  s.files_not_found = texts(r.stat.nf_file_list);
  s.file_names = texts(r.stat.file_list);
  s.host.assign(r.host, strnlen(r.host, sizeof r.host));
  s.port = r.port;
  s.evid64 = r.evid64bitmode;
  return s;
}

bool write_request_attributes(hid_t g, const DaqFetchRequest& q) {
  return h5_attr_texts(g, "request_channels", q.channels) ||
         h5_attr_i64(g, "request_start_sec", q.start_sec) ||
         h5_attr_i64(g, "request_stop_sec", q.stop_sec) ||
         h5_attr_text(g, "request_start", iso_utc(q.start_sec)) ||
         h5_attr_text(g, "request_stop", iso_utc(q.stop_sec)) ||
         h5_attr_i32(g, "request_first_run", q.first_run) ||
         h5_attr_i32(g, "request_last_run", q.last_run) ||
         h5_attr_text(g, "request_servers", q.servers) ||
         h5_attr_text(g, "request_facility", q.facility) ||
         h5_attr_text(g, "request_experiment", q.experiment) ||
         h5_attr_text(g, "request_comm_mode",
                      q.comm_mode == DAQ_FETCH_HANDSHAKE ? "handshake" : "push") ||
         h5_attr_text(g, "request_generation", generation_name(q.generation));
}

bool write_reply_attributes(hid_t g, const ReplyStats& r) {
  return h5_attr_i32(g, "reply_t_start_sec", r.t_start_sec) ||
         h5_attr_i32(g, "reply_t_stop_sec", r.t_stop_sec) ||
         h5_attr_i32(g, "reply_files", r.files) || h5_attr_i32(g, "reply_fids", r.fids) ||
         h5_attr_i32(g, "reply_events", r.events) || h5_attr_i32(g, "reply_data_loc", r.data_loc) ||
         h5_attr_i32(g, "reply_avail", r.avail) ||
         h5_attr_texts(g, "reply_channels_not_found", r.channels_not_found) ||
         h5_attr_texts(g, "reply_files_not_found", r.files_not_found) ||
         h5_attr_texts(g, "reply_file_names", r.file_names) ||
         h5_attr_text(g, "reply_host", r.host) || h5_attr_i32(g, "reply_port", r.port) ||
         h5_attr_i32(g, "reply_evid64", r.evid64 ? 1 : 0);
}

bool write_fetch_attributes(hid_t g, const DaqFetch* fetch, int result) {
  if (h5_attr_i32(g, "fetch_result", result)) return true;
  if (fetch == nullptr) return h5_attr_text(g, "fetch_error", "");
  DaqFetchCounters c = fetch->counters();
  const DaqReceiverCounters& r = c.received;
  return h5_attr_text(g, "fetch_error", fetch->error()) ||
         h5_attr_u64(g, "fetch_records_delivered", c.records_delivered) ||
         h5_attr_u64(g, "fetch_duplicates_skipped", c.duplicates_skipped) ||
         h5_attr_u64(g, "fetch_reconnects", c.reconnects) ||
         h5_attr_u64(g, "fetch_last_event", c.last_event) ||
         h5_attr_u32(g, "fetch_last_seconds", c.last_seconds) ||
         h5_attr_u32(g, "fetch_last_micros", c.last_micros) ||
         h5_attr_double(g, "fetch_elapsed_s", c.elapsed_s) ||
         h5_attr_u64(g, "received_events", r.events_received) ||
         h5_attr_u64(g, "received_bytes", r.bytes_received) ||
         h5_attr_u64(g, "received_dropped_events", r.dropped_events) ||
         h5_attr_u64(g, "received_dropped_sub_blocks", r.dropped_sub_blocks) ||
         h5_attr_u64(g, "received_records_evicted", r.records_evicted) ||
         h5_attr_u64(g, "received_pause_requests", r.pause_requests) ||
         h5_attr_u64(g, "received_holds_sent", r.holds_sent) ||
         h5_attr_u64(g, "received_resumes_sent", r.resumes_sent) ||
         h5_attr_u64(g, "received_paused_us", r.paused_us) ||
         h5_attr_u64(g, "received_max_depth", r.max_depth);
}
