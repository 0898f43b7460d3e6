// Validation of requests before sending and of replies after receiving. The
// request's times are local times of the experiment's zone, so the conversion
// sets TZ for its duration (ZoneScope) and then gives the process back the TZ it
// had (or its absence): the application's own local-time conversions must not
// change zone behind its back. The process-wide local_time_lock keeps two
// validations (and the reply's conversion) from seeing each other's zone.
#include <cstdlib>
#include <ctime>
#include <string>

#include "daq_diag.h"
#include "daq_mutex.h"
#include "daq_server_util_def.h"
#include "daq_text.h"
#include "time_text.h"
#include "zone_time.h"

namespace {
int current_seconds() { return static_cast<int>(time(nullptr)); }

// Reads the configuration file into a fresh request and merges it into request.
// The fresh request starts without an experiment: only an Exp the file names
// itself may replace the caller's.
int merge_configuration(daq_server_request* request) {
  daq_server_request from;
  clean_request(&from);
  from.exp[0] = '\0';
  char path[DAQ_CONF_FILE_SIZE + 1];
  copy_text(path, request->conf_file, field_length(request->conf_file));
  int rc = parse_daq_request_from_file(path, &from);
  if (rc == 0) rc = merge_daq_request(request, &from);
  clean_request(&from);
  return rc;
}

int convert_times(daq_server_request* request) {
  struct tm start;
  if (!read_time_text(request->t_start, sizeof request->t_start, &start)) return -7;

  // The C library would read an unknown zone as UTC and shift the request.
  std::string zone_name = experiment_zone_name();
  ZoneFileSeen seen;
  std::string unknown = unknown_zone_reason(zone_name, &seen);
  if (!unknown.empty()) {
    daq_print("ORXA_EXP_TIMEZONE: %s\n", unknown.c_str());
    return -7;
  }
  ZoneScope zone(zone_name, &seen);
  int seconds = local_seconds(&start);
  request->t_start_sec = seconds < 0 ? 0 : seconds;
  if (request->t_stop[0] != '\0') {
    struct tm stop;
    if (!read_time_text(request->t_stop, sizeof request->t_stop, &stop)) return -8;
    seconds = local_seconds(&stop);
    if (seconds < 0) {
      request->t_stop_sec = 0;
      return 0;
    }
    request->t_stop_sec = seconds;
  } else {
    request->t_stop_sec = current_seconds();
  }
  if (request->t_start_sec != 0 && request->t_stop_sec != 0 &&
      request->t_start_sec >= request->t_stop_sec) {
    return -10;
  }
  return 0;
}
}  // namespace

int validate_daq_request(daq_server_request* request, bool cfg_file) {
  if (request == nullptr) return -1;
  if (cfg_file && request->conf_file[0] != '\0') {
    int rc = merge_configuration(request);
    if (rc != 0) return rc;
  }
  if (request->id == 0) return -9;
  bool no_range = request->t_start[0] == '\0' && request->run_first == -1;
  if (no_range) {
    if (request->file_list.empty()) return -2;
  } else if (request->exp[0] == '\0' && request->file_list.empty()) {
    return -3;
  }
  if (request->req_type < ORXA_DAQ_REQ_DATA || request->req_type > ORXA_DAQ_REQ_PASSED_ON)
    return -5;
  if (request->comm_mode < 1 || request->comm_mode > 2) return -6;
  if (request->run_first > request->run_last && request->file_list.empty()) return -9;
  // A request by runs or files converts nothing and leaves TZ as it is.
  if (request->t_start[0] == '\0') return 0;
  return convert_times(request);
}

int validate_daq_reply(daq_server_reply* reply, int* port, char** host, bool* mode) {
  if (reply == nullptr) return -1;
  daq_server_request& request = reply->request;
  if (request.t_start[0] != '\0') {
    struct tm start;
    if (!read_time_text(request.t_start, sizeof request.t_start, &start)) return -7;
    struct tm stop;
    bool has_stop = request.t_stop[0] != '\0';
    if (has_stop && !read_time_text(request.t_stop, sizeof request.t_stop, &stop)) {
      // The start is converted before the stop is found unreadable.
      DaqLockGuard guard(local_time_lock());
      request.t_start_sec = local_seconds(&start);
      return -8;
    }
    DaqLockGuard guard(local_time_lock());
    request.t_start_sec = local_seconds(&start);
    request.t_stop_sec = has_stop ? local_seconds(&stop) : current_seconds();
  }
  if (request.run_first > request.run_last) return -9;
  if (port != nullptr) *port = reply->port;
  if (host != nullptr) *host = reply->host;
  if (mode != nullptr) *mode = reply->evid64bitmode;
  return 0;
}

int GET_EVENT_JUMP(int f) { return f >> 4; }
