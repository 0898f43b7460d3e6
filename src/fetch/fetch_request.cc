// Every field goes through EqDAQconnect's setters, so a fetch refuses exactly
// what an application driving the connection would be refused.
#include "fetch_request.h"

#include <cstdlib>
#include <ctime>

#include "daq_mutex.h"
#include "eq_daq_connect.h"
#include "time_text.h"

namespace {

bool refuse(std::string* error, const char* field, const std::string& value) {
  *error = std::string(field) + " " + value + ": value refused";
  return true;
}

bool set_time(EqDAQconnect* c, bool start, int64_t seconds, std::string* error) {
  const char* field = start ? "start" : "stop";
  if (seconds <= 0) return false;
  if (seconds > INT32_MAX) return refuse(error, field, std::to_string(seconds));
  std::string text = instant_request_text(seconds);
  int rc = text.empty() ? -1
           : start      ? c->set_start_time(text.c_str())
                        : c->set_stop_time(text.c_str());
  return rc != 0 ? refuse(error, field, std::to_string(seconds)) : false;
}

}  // namespace

std::string instant_request_text(int64_t seconds) {
  char text[DAQ_TIME_TEXT_SIZE] = "";
  // Validation sets the process-wide TZ under this lock too.
  DaqLockGuard guard(local_time_lock());
  const char* had = std::getenv("TZ");
  std::string saved = had != nullptr ? had : "";
  const char* zone = std::getenv("ORXA_EXP_TIMEZONE");
  setenv("TZ", zone != nullptr ? zone : "CET", 1);
  tzset();
  time_t t = static_cast<time_t>(seconds);
  struct tm local {};
  if (localtime_r(&t, &local) != nullptr) strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
  if (had != nullptr) {
    setenv("TZ", saved.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
  return text;
}

std::string requested_name(const std::string& channel) {
  return channel.substr(0, channel.find('@'));
}

bool fill_fetch_request(const DaqFetchRequest& q, EqDAQconnect* c, std::string* error) {
  if (set_time(c, true, q.start_sec, error)) return true;
  if (set_time(c, false, q.stop_sec, error)) return true;
  if (q.first_run > 0) {
    int last = q.last_run > 0 ? q.last_run : q.first_run;
    if (c->set_run_first(q.first_run) != 0)
      return refuse(error, "first run", std::to_string(q.first_run));
    if (c->set_run_last(last) != 0) return refuse(error, "last run", std::to_string(last));
  }
  if (!q.experiment.empty() && c->set_experiment(q.experiment.c_str()) != 0)
    return refuse(error, "experiment", q.experiment);
  int mode = q.comm_mode == DAQ_FETCH_HANDSHAKE ? ORXA_DAQ_COMM_HNDS : ORXA_DAQ_COMM_PUSH;
  if (q.comm_mode != DAQ_FETCH_PUSH && q.comm_mode != DAQ_FETCH_HANDSHAKE)
    return refuse(error, "communication mode", std::to_string(q.comm_mode));
  if (c->set_comm_mode(mode) != 0) return refuse(error, "communication mode", std::to_string(mode));
  for (const std::string& channel : q.channels) {
    if (c->add_channel(channel.c_str()) != 0) return refuse(error, "channel", channel);
  }
  if (q.connect_timeout_s > 0 && c->set_connect_timeout(q.connect_timeout_s) != 0)
    return refuse(error, "connect timeout", std::to_string(q.connect_timeout_s));
  return false;
}
