// Times reach the fetch as UTC instants: daqget reads its texts strictly (a
// naive text in the experiment's zone, Z or an offset as given) and the fetch
// writes them back as the protocol's local texts. Everything else goes through
// EqDAQconnect's setters, so daqget refuses exactly what an application would
// be refused.
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

bool read_time(const char* what, const std::string& text, int64_t* seconds, std::string* error) {
  std::string why;
  if (!read_request_instant(text, seconds, &why)) return false;
  *error = std::string("daqget: ") + what + " " + text + ": " + why;
  return true;
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

// Reads a --config file on its own before anything is sent, so its failure is
// told apart from the validation's codes (both share connect's result). Its
// times, when the options give none, are read like the options' texts: the
// library would read them in the experiment's zone only.
bool read_config(const std::string& path, int64_t* start, int64_t* stop, std::string* error) {
  daq_server_request file;
  clean_request(&file);
  std::string name = path;
  int rc = parse_daq_request_from_file(&name[0], &file);
  bool failed = rc != 0;
  if (failed) {
    *error = "daqget: --config " + path + ": " + config_reason(path, rc);
  } else {
    std::string from(file.t_start, strnlen(file.t_start, sizeof file.t_start));
    std::string to(file.t_stop, strnlen(file.t_stop, sizeof file.t_stop));
    std::string what = "--config " + path + ": TStart";
    failed = *start == 0 && !from.empty() && read_time(what.c_str(), from, start, error);
    what = "--config " + path + ": TStop";
    failed = failed || (*stop == 0 && !to.empty() && read_time(what.c_str(), to, stop, error));
  }
  clean_request(&file);
  return failed;
}

}  // namespace

bool build_request(const DaqgetOptions& o, DaqFetchRequest* q, std::string* error) {
  int64_t start = o.start_sec;
  int64_t stop = o.stop_sec;
  if (!o.start_text.empty() && read_time("--start", o.start_text, &start, error)) return true;
  if (!o.stop_text.empty() && read_time("--stop", o.stop_text, &stop, error)) return true;
  bool has_range = start > 0 || o.run_first >= 0 || !o.files.empty() || !o.config_file.empty();
  if (!has_range && o.local) {
    start = kLocalDefaultStartSec;
    if (stop <= 0) stop = start + kLocalDefaultSeconds;
  } else if (!has_range && o.list_channels) {
    // A request must select something; the channels of the last hour are the
    // ones a user most likely means.
    stop = static_cast<int64_t>(time(nullptr));
    start = stop - 3600;
  }
  if (!o.config_file.empty() && read_config(o.config_file, &start, &stop, error)) return true;
  q->start_sec = start;
  q->stop_sec = stop;
  // Run 0 ("all runs") is set on the connection: the fetch takes runs from 1.
  if (o.run_first > 0) {
    q->first_run = o.run_first;
    q->last_run = o.run_last > 0 ? o.run_last : o.run_first;
  }
  q->channels = o.channels;
  q->experiment = o.experiment;
  q->facility = o.facility;
  q->comm_mode = o.handshake ? DAQ_FETCH_HANDSHAKE : DAQ_FETCH_PUSH;
  q->depth = o.depth;
  q->increment = o.increment;
  q->connect_timeout_s = o.connect_timeout;
  if (o.idle_timeout >= 0) q->idle_timeout_ms = static_cast<int>(o.idle_timeout * 1000.0 + 0.5);
  q->generation = o.generation == Generation::kLegacy ? DAQ_FETCH_GEN_LEGACY
                  : o.generation == Generation::k2024 ? DAQ_FETCH_GEN_2024
                                                      : DAQ_FETCH_GEN_AUTO;
  if (o.retries >= 0) q->retries = o.retries;
  return false;
}

bool complete_request(const DaqgetOptions& o, EqDAQconnect* c, std::string* error) {
  // The protocol writes "all runs" as first run 0, which set_run_first refuses.
  if (o.run_first == 0) {
    daq_server_request* request = c->get_server_request();
    request->run_first = 0;
    request->run_last = 0;
  }
  if (!o.data_dir.empty() && c->set_data_dir(o.data_dir.c_str()) != 0)
    return refuse(error, "--data-dir", o.data_dir);
  if (!o.catalog_dir.empty() && c->set_ctl_dir(o.catalog_dir.c_str()) != 0)
    return refuse(error, "--catalog-dir", o.catalog_dir);
  if (!o.config_file.empty() && c->set_conf_file(o.config_file.c_str()) != 0)
    return refuse(error, "--config", o.config_file);
  if (o.scan_mode >= 0 && c->set_scan_mode(o.scan_mode) != 0)
    return refuse(error, "--scan-mode", std::to_string(o.scan_mode));
  if (o.request_type > 0 && c->set_request_type(o.request_type) != 0)
    return refuse(error, "--request-type", std::to_string(o.request_type));
  for (const std::string& file : o.files) {
    if (c->add_file(file.c_str()) != 0) return refuse(error, "--file", file);
  }
  return false;
}
