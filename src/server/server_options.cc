// Command-line options of the daemon (docs/daq-server.md). Every number is range
// checked; an unknown option or a bad value is refused with one line.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "daq_data_server.h"

namespace {

bool read_long(const char* text, long low, long high, long* out) {
  if (text == nullptr || *text == '\0') return true;
  errno = 0;
  char* end = nullptr;
  long v = std::strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || v < low || v > high) return true;
  *out = v;
  return false;
}

bool read_int(const char* text, long low, long high, int* out) {
  long v = 0;
  if (read_long(text, low, high, &v)) return true;
  *out = static_cast<int>(v);
  return false;
}

// FACILITY/DEVICE/LOCATION, each part non-empty.
bool read_entry(const std::string& text, DaqServerOptions* o) {
  size_t a = text.find('/');
  size_t b = a == std::string::npos ? a : text.find('/', a + 1);
  if (a == std::string::npos || b == std::string::npos) return true;
  std::string location = text.substr(b + 1);
  if (!location.empty() && location.back() == '/') location.pop_back();
  if (a == 0 || b == a + 1 || location.empty() || location.find('/') != std::string::npos) {
    return true;
  }
  o->facility = text.substr(0, a);
  o->device = text.substr(a + 1, b - a - 1);
  o->location = location;
  return false;
}

const char kUsage[] =
    "usage: daq-server [--entry FAC/DEV/LOC] [--host ADDR] [--port N] [--names-file PATH]\n"
    "  [--data-host ADDR] [--max-requests N] [--catalog PATH] [--generation auto|legacy|2024]\n"
    "  [--rate HZ] [--real-time] [--origin SECONDS] [--max-events N] [--prepare-ms N]\n"
    "  [--accept-timeout-ms N] [--reply-timeout-ms N] [--send-stall-ms N]\n"
    "  [--idle-timeout-ms N] [--max-per-peer N] [--verbose]\n"
    "  [--busy N] [--error-first] [--error-final] [--processing N] [--echo-changed]\n"
    "  [--port-zero] [--delay-ms N]\n"
    "  [--drop-after N] [--stall-after N --stall-ms M] [--malformed-after N]\n";

}  // namespace

const char* server_usage() { return kUsage; }

bool parse_server_options(int argc, char** argv, DaqServerOptions* o, std::string* error,
                          bool* help) {
  *help = false;
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    bool bad = false;
    bool takes_value = true;
    long number = 0;
    if (name == "--help" || name == "-h") {
      *help = true;
      takes_value = false;
    } else if (name == "--real-time") {
      o->real_time = true;
      takes_value = false;
    } else if (name == "--verbose") {
      o->verbose = true;
      takes_value = false;
    } else if (name == "--error-first") {
      o->error_first = true;
      takes_value = false;
    } else if (name == "--error-final") {
      o->error_final = true;
      takes_value = false;
    } else if (name == "--echo-changed") {
      o->echo_changed = true;
      takes_value = false;
    } else if (name == "--port-zero") {
      o->port_zero = true;
      takes_value = false;
    } else if (value == nullptr) {
      bad = true;
    } else if (name == "--entry") {
      bad = read_entry(value, o);
    } else if (name == "--host") {
      o->control_host = value;
    } else if (name == "--port") {
      bad = read_int(value, 0, 65535, &o->control_port);
    } else if (name == "--names-file") {
      o->names_file = value;
    } else if (name == "--data-host") {
      o->data_host = value;
    } else if (name == "--max-requests") {
      bad = read_int(value, 1, 10000, &o->max_requests);
    } else if (name == "--catalog") {
      o->catalog_file = value;
    } else if (name == "--generation") {
      std::string g = value;
      if (g == "auto")
        o->generation = DAQ_GENERATION_AUTO;
      else if (g == "legacy")
        o->generation = DAQ_GENERATION_LEGACY;
      else if (g == "2024")
        o->generation = DAQ_GENERATION_2024;
      else
        bad = true;
    } else if (name == "--rate") {
      char* end = nullptr;
      double rate = std::strtod(value, &end);
      bad = end == value || *end != '\0' || !(rate > 0.0 && rate <= 100000.0);
      if (!bad) o->rate_hz = rate;
    } else if (name == "--origin") {
      bad = read_long(value, 0, 4000000000L, &number);
      if (!bad) o->origin_sec = number;
    } else if (name == "--max-events") {
      bad = read_long(value, 1, 2000000000L, &o->max_events);
    } else if (name == "--prepare-ms") {
      bad = read_int(value, 0, 3600000, &o->prepare_ms);
    } else if (name == "--accept-timeout-ms") {
      bad = read_int(value, 1, 86400000, &o->accept_timeout_ms);
    } else if (name == "--reply-timeout-ms") {
      bad = read_int(value, 1, 86400000, &o->reply_timeout_ms);
    } else if (name == "--send-stall-ms") {
      bad = read_int(value, 0, 86400000, &o->send_stall_ms);
    } else if (name == "--idle-timeout-ms") {
      bad = read_int(value, 0, 86400000, &o->idle_timeout_ms);
    } else if (name == "--max-per-peer") {
      bad = read_int(value, 0, 1000000, &o->max_per_peer);
    } else if (name == "--busy") {
      bad = read_int(value, 0, 1000000, &o->busy_times);
    } else if (name == "--processing") {
      bad = read_int(value, 0, 1000000, &o->processing_times);
    } else if (name == "--delay-ms") {
      bad = read_int(value, 0, 600000, &o->answer_delay_ms);
    } else if (name == "--drop-after") {
      bad = read_long(value, 0, 2000000000L, &o->drop_after);
    } else if (name == "--stall-after") {
      bad = read_long(value, 0, 2000000000L, &o->stall_after);
    } else if (name == "--stall-ms") {
      bad = read_int(value, 0, 3600000, &o->stall_ms);
    } else if (name == "--malformed-after") {
      bad = read_long(value, 0, 2000000000L, &o->malformed_after);
    } else {
      *error = "daq-server: unknown option " + name;
      return true;
    }
    if (bad) {
      *error = "daq-server: bad or missing value for " + name;
      return true;
    }
    if (takes_value) ++i;
  }
  return false;
}
