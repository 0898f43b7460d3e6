// The request is filled only through EqDAQconnect's setters, so daqget refuses
// exactly what an application would be refused. Time texts are read by the
// library in the experiment's zone; daqget converts its own forms (seconds, a
// UTC text ending in Z) into that zone's text so both ends agree on the instant.
#include "request_builder.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "eq_daq_connect.h"

namespace {

// Runs f with TZ set to the zone the library validates in; restores TZ after.
template <class F>
void in_experiment_zone(F f) {
  const char* had = std::getenv("TZ");
  std::string saved = had != nullptr ? had : "";
  const char* zone = std::getenv("ORXA_EXP_TIMEZONE");
  setenv("TZ", zone != nullptr ? zone : "CET", 1);
  tzset();
  f();
  if (had != nullptr) {
    setenv("TZ", saved.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

}  // namespace

std::string seconds_to_request_text(long seconds) {
  char text[DAQ_TIME_TEXT_SIZE] = "";
  in_experiment_zone([&] {
    time_t t = static_cast<time_t>(seconds);
    struct tm local {};
    if (localtime_r(&t, &local) != nullptr) strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
  });
  return text;
}

bool normalise_time_text(const std::string& text, std::string* out) {
  if (text.empty() || (text.back() != 'Z' && text.back() != 'z')) {
    *out = text;
    return false;
  }
  unsigned y, mo, d, h, mi, s;
  char tail = 0;
  if (std::sscanf(text.c_str(), "%u-%u-%uT%u:%u:%u%c", &y, &mo, &d, &h, &mi, &s, &tail) != 7)
    return true;
  struct tm utc {};
  utc.tm_year = static_cast<int>(y) - 1900;
  utc.tm_mon = static_cast<int>(mo) - 1;
  utc.tm_mday = static_cast<int>(d);
  utc.tm_hour = static_cast<int>(h);
  utc.tm_min = static_cast<int>(mi);
  utc.tm_sec = static_cast<int>(s);
  time_t t = timegm(&utc);
  if (t <= 0) return true;
  *out = seconds_to_request_text(static_cast<long>(t));
  return out->empty();
}

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
    if (normalise_time_text(text, &request_text)) {
      *error = std::string("daqget: ") + option + " " + text +
               ": not YEAR-MONTH-DAYTHOUR:MINUTE:SECOND";
      return true;
    }
  } else if (seconds > 0) {
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

}  // namespace

const char* validation_meaning(int code) {
  switch (code) {
    case -1: return "no request";
    case -2: return "nothing selected: give a start time, a first run or a file";
    case -3: return "neither an experiment nor a file";
    case -5: return "the request type is not 1, 2 or 3";
    case -6: return "the communication mode is not push or handshake";
    case -7: return "the start time cannot be read";
    case -8: return "the stop time cannot be read";
    case -9: return "the run range is empty";
    case -10: return "the start is not before the stop";
    default: return "the configuration file cannot be read or merged";
  }
}

bool build_request(const DaqgetOptions& o, EqDAQconnect* c, std::string* error) {
  long start_sec = o.start_sec;
  long stop_sec = o.stop_sec;
  bool has_range = !o.start_text.empty() || start_sec > 0 || o.run_first >= 0 ||
                   !o.files.empty() || !o.config_file.empty();
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

  int run_first = o.run_first;
  if (run_first >= 0 && c->set_run_first(run_first) != 0)
    return refuse(error, "--first-run", std::to_string(run_first));
  if (o.run_last >= 0 && c->set_run_last(o.run_last) != 0)
    return refuse(error, "--last-run", std::to_string(o.run_last));
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
