// The request is filled only through EqDAQconnect's setters, so daqget refuses
// exactly what an application would be refused. Time texts are read by the
// library in the experiment's zone; daqget converts its own forms (seconds, a
// UTC text ending in Z) into that zone's text so both ends agree on the instant.
#include "request_builder.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "eq_daq_connect.h"
#include "request_time.h"

namespace {

bool refuse(std::string* error, const char* option, const std::string& value) {
  *error = std::string("daqget: ") + option + " " + value + ": value refused";
  return true;
}

bool set_time(EqDAQconnect* c, bool start, const std::string& text, long seconds,
              std::string* error) {
  const char* option = start ? "--start" : "--stop";
  std::string request_text;
  if (!text.empty()) {
    std::string why;
    if (read_request_time(text, &request_text, &why)) {
      *error = std::string("daqget: ") + option + " " + text + ": " + why;
      return true;
    }
  } else if (seconds > 0) {
    if (seconds > kLastRequestSecond)
      return refuse(error, start ? "--start-sec" : "--stop-sec", std::to_string(seconds));
    request_text = seconds_to_request_text(seconds);
    if ((start ? c->set_start_time(static_cast<int>(seconds))
               : c->set_stop_time(static_cast<int>(seconds))) != 0)
      return refuse(error, start ? "--start-sec" : "--stop-sec", std::to_string(seconds));
  } else {
    return false;
  }
  int rc = start ? c->set_start_time(request_text.c_str()) : c->set_stop_time(request_text.c_str());
  return rc != 0 ? refuse(error, option, text.empty() ? request_text : text) : false;
}

// Runs are set through the setters except "all runs": the protocol writes it as
// first run 0, which set_run_first refuses, so it goes into the request itself.
// A first run alone is the single run (the validation refuses a first run above
// an unset last run).
bool set_runs(const DaqgetOptions& o, EqDAQconnect* c, std::string* error) {
  if (o.run_first < 0) return false;
  if (o.run_first == 0) {
    daq_server_request* request = c->get_server_request();
    request->run_first = 0;
    request->run_last = 0;
    return false;
  }
  int last = o.run_last > 0 ? o.run_last : o.run_first;
  if (c->set_run_first(o.run_first) != 0)
    return refuse(error, "--first-run", std::to_string(o.run_first));
  if (c->set_run_last(last) != 0) return refuse(error, "--last-run", std::to_string(last));
  return false;
}

// What parse_daq_request_from_file's result says about a configuration file.
std::string config_reason(const std::string& path, int rc) {
  std::FILE* f = std::fopen(path.c_str(), "r");
  if (f == nullptr) return std::strerror(errno);
  std::fclose(f);
  if (rc < 0)
    return "not a request document (no DAQREQ element, or an invalid ReqId, ReqType or CommMode)";
  return "not a well-formed request document (parser result " + std::to_string(rc) + ")";
}

}  // namespace

const char* validation_meaning(int code) {
  switch (code) {
    case -1:
      return "no request";
    case -2:
      return "nothing selected: give a start time, a first run or a file";
    case -3:
      return "neither an experiment nor a file";
    case -5:
      return "the request type is not 1, 2 or 3";
    case -6:
      return "the communication mode is not push or handshake";
    case -7:
      return "the start time cannot be read";
    case -8:
      return "the stop time cannot be read";
    case -9:
      return "the run range is empty";
    case -10:
      return "the start is not before the stop";
    default:
      return "the configuration file cannot be read or merged";
  }
}

bool build_request(const DaqgetOptions& o, EqDAQconnect* c, std::string* error) {
  long start_sec = o.start_sec;
  long stop_sec = o.stop_sec;
  bool has_range = !o.start_text.empty() || start_sec > 0 || o.run_first >= 0 || !o.files.empty() ||
                   !o.config_file.empty();
  if (!has_range && o.local) {
    start_sec = kLocalDefaultStartSec;
    if (stop_sec <= 0 && o.stop_text.empty()) stop_sec = start_sec + kLocalDefaultSeconds;
  } else if (!has_range && o.list_channels) {
    // A request must select something; the channels of the last hour are the
    // ones a user most likely means.
    stop_sec = static_cast<long>(time(nullptr));
    start_sec = stop_sec - 3600;
  }
  if (set_time(c, true, o.start_text, start_sec, error)) return true;
  if (set_time(c, false, o.stop_text, stop_sec, error)) return true;

  if (set_runs(o, c, error)) return true;
  if (!o.experiment.empty() && c->set_experiment(o.experiment.c_str()) != 0)
    return refuse(error, "--experiment", o.experiment);
  if (!o.data_dir.empty() && c->set_data_dir(o.data_dir.c_str()) != 0)
    return refuse(error, "--data-dir", o.data_dir);
  if (!o.catalog_dir.empty() && c->set_ctl_dir(o.catalog_dir.c_str()) != 0)
    return refuse(error, "--catalog-dir", o.catalog_dir);
  if (!o.config_file.empty() && c->set_conf_file(o.config_file.c_str()) != 0)
    return refuse(error, "--config", o.config_file);
  if (o.scan_mode >= 0 && c->set_scan_mode(o.scan_mode) != 0)
    return refuse(error, "--scan-mode", std::to_string(o.scan_mode));
  if (o.handshake && c->set_comm_mode(ORXA_DAQ_COMM_HNDS) != 0)
    return refuse(error, "--handshake", "");
  if (o.request_type > 0 && c->set_request_type(o.request_type) != 0)
    return refuse(error, "--request-type", std::to_string(o.request_type));
  for (const std::string& channel : o.channels) {
    if (c->add_channel(channel.c_str()) != 0) return refuse(error, "--channel", channel);
  }
  for (const std::string& file : o.files) {
    if (c->add_file(file.c_str()) != 0) return refuse(error, "--file", file);
  }
  return false;
}

bool check_request(EqDAQconnect* c, std::string* error) {
  daq_server_request* request = c->get_server_request();
  if (request->conf_file[0] != '\0') {
    std::string path(request->conf_file, strnlen(request->conf_file, sizeof request->conf_file));
    daq_server_request scratch;
    clean_request(&scratch);
    int rc = parse_daq_request_from_file(&path[0], &scratch);
    clean_request(&scratch);
    if (rc != 0) {
      *error = "daqget: --config " + path + ": " + config_reason(path, rc);
      return true;
    }
  }
  // A deep copy through copy_reply: the holder lends the connection's texts
  // for the copy and gives them back before it is cleaned.
  daq_server_reply holder;
  daq_server_reply copy;
  clean_reply(&holder);
  clean_reply(&copy);
  holder.request = *request;
  bool no_copy = copy_reply(&copy, &holder);
  holder.request.chan_list.clear();
  holder.request.file_list.clear();
  clean_reply(&holder);
  if (no_copy) {
    clean_reply(&copy);
    *error = "daqget: the request cannot be checked (out of memory)";
    return true;
  }
  int rc = validate_daq_request(&copy.request, true);
  clean_reply(&copy);
  if (rc != 0) {
    *error = std::string("daqget: invalid request: ") + validation_meaning(rc) + " (code " +
             std::to_string(rc) + ")";
    return true;
  }
  return false;
}
