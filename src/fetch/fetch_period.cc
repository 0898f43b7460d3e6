#include "fetch_period.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <ctime>

#include "fetch_request.h"
#include "time_text.h"
#include "zone_time.h"

namespace {

std::string utc_text(int64_t seconds) {
  time_t t = static_cast<time_t>(seconds);
  struct tm utc;
  char text[32] = "";
  if (gmtime_r(&t, &utc) == nullptr || std::strftime(text, sizeof text, "%FT%TZ", &utc) == 0)
    return std::to_string(seconds);
  return text;
}

// The earliest and latest reading of a local text in the current zone.
bool reading_bounds(const std::string& text, int64_t* low, int64_t* high) {
  struct tm fields;
  int64_t readings[2];
  if (!read_time_text(text.c_str(), text.size(), &fields)) return false;
  int n = local_readings(fields, readings);
  if (n == 0) return false;
  *low = readings[0];
  *high = readings[n - 1];
  return true;
}

bool zone_refused(const std::string& zone, std::string* error) {
  std::string reason = unknown_zone_reason(zone);
  if (reason.empty()) return false;
  *error = "ORXA_EXP_TIMEZONE: " + reason;
  return true;
}

}  // namespace

bool period_request_texts(const DaqFetchRequest& q, std::string* start_text, std::string* stop_text,
                          std::string* error) {
  if (q.start_sec > INT32_MAX || q.stop_sec > INT32_MAX) {
    bool start = q.start_sec > INT32_MAX;
    *error = std::string(start ? "start " : "stop ") +
             std::to_string(start ? q.start_sec : q.stop_sec) + ": value refused";
    return true;
  }
  std::string zone = experiment_zone_name();
  if (zone_refused(zone, error)) return true;
  ZoneScope scope(zone);
  int64_t stop = std::max<int64_t>(q.stop_sec, 0);
  if (covering_texts(q.start_sec, stop, start_text, stop_text)) {
    *error = "the period " + utc_text(q.start_sec) + " .. " + utc_text(q.stop_sec) +
             " cannot be written in the experiment's zone " + zone;
    return true;
  }
  return false;
}

bool period_mismatch(const DaqFetchRequest& q, const daq_server_reply& reply, std::string* error) {
  const daq_server_stat& stat = reply.stat;
  const daq_server_request& echo = reply.request;
  if (q.start_sec <= 0 || q.accept_period_mismatch || stat.t_start_sec <= 0 ||
      stat.t_stop_sec <= 0 || echo.t_start[0] == '\0')
    return false;
  // The echo is the request as sent (connect() compares them), texts included.
  std::string start_text(echo.t_start, strnlen(echo.t_start, sizeof echo.t_start));
  std::string stop_text(echo.t_stop, strnlen(echo.t_stop, sizeof echo.t_stop));
  std::string zone = experiment_zone_name();
  if (zone_refused(zone, error)) return true;
  bool outside = false;
  {
    ZoneScope scope(zone);
    int64_t low = 0, high = 0;
    if (reading_bounds(start_text, &low, &high) && stat.t_start_sec < low) outside = true;
    if (!stop_text.empty() && reading_bounds(stop_text, &low, &high) && stat.t_stop_sec > high)
      outside = true;
  }
  if (!outside) return false;
  *error = "the server reports the period " + utc_text(stat.t_start_sec) + " .. " +
           utc_text(stat.t_stop_sec) + ", not the one asked (" + utc_text(q.start_sec) + " .. " +
           (q.stop_sec > 0 ? utc_text(q.stop_sec) : std::string("now")) +
           "): its time zone differs from ORXA_EXP_TIMEZONE=" + zone;
  return true;
}

bool period_widened(const DaqFetchRequest& q) {
  if (q.start_sec <= 0) return false;
  std::string start_text, stop_text, error;
  if (period_request_texts(q, &start_text, &stop_text, &error)) return false;
  return start_text != instant_request_text(q.start_sec) ||
         (q.stop_sec > 0 && stop_text != instant_request_text(q.stop_sec));
}

bool instant_in_request(const DaqFetchRequest& q, uint32_t sec, uint32_t usec) {
  (void)usec;  // the range's ends are whole seconds
  // A caller that accepts the server's reading of the texts takes its period.
  if (q.start_sec <= 0 || q.accept_period_mismatch) return true;
  return sec >= q.start_sec && (q.stop_sec <= 0 || sec < q.stop_sec);
}
