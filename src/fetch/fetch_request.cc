// Every field goes through EqDAQconnect's setters, so a fetch refuses exactly
// what an application driving the connection would be refused.
#include "fetch_request.h"

#include "daq_time_text.h"
#include "eq_daq_connect.h"
#include "fetch_period.h"

namespace {

bool refuse(std::string* error, const char* field, const std::string& value) {
  *error = std::string(field) + " " + value + ": value refused";
  return true;
}

// The range's texts: covering texts for a time range, a stop's own text when
// only a stop is given.
bool set_times(const DaqFetchRequest& q, EqDAQconnect* c, std::string* error) {
  std::string start, stop;
  if (q.start_sec > 0) {
    if (period_request_texts(q, &start, &stop, error)) return true;
  } else if (q.stop_sec > 0) {
    if (q.stop_sec > INT32_MAX) return refuse(error, "stop", std::to_string(q.stop_sec));
    if (daq_instant_time_text(q.stop_sec, &stop, error)) return true;
  }
  if (!start.empty() && c->set_start_time(start.c_str()) != 0)
    return refuse(error, "start", std::to_string(q.start_sec));
  if (!stop.empty() && c->set_stop_time(stop.c_str()) != 0)
    return refuse(error, "stop", std::to_string(q.stop_sec));
  return false;
}

}  // namespace

std::string instant_request_text(int64_t seconds) {
  std::string text, why;
  return daq_instant_time_text(seconds, &text, &why) ? std::string() : text;
}

std::string requested_name(const std::string& channel) {
  return channel.substr(0, channel.find('@'));
}

bool fill_fetch_request(const DaqFetchRequest& q, EqDAQconnect* c, std::string* error) {
  if (set_times(q, c, error)) return true;
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
