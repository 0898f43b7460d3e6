// Sizes in decimal megabytes, like the rates people compare them with.
#include "fetch_report.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

namespace {

// "512 B", "12.3 kB", "2.2 MB", "1.4 GB".
std::string size_text(double bytes) {
  static const char* const kUnits[] = {"B", "kB", "MB", "GB", "TB"};
  int unit = 0;
  while (bytes >= 1000 && unit < 4) {
    bytes /= 1000;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, kUnits[unit]);
  return text;
}

}  // namespace

std::string fetch_summary_line(const DaqFetchCounters& c, double seconds,
                               unsigned long long dropped) {
  double bytes = static_cast<double>(c.received.bytes_received);
  char line[256];
  std::snprintf(
      line, sizeof line, "daqget: %llu events, %s in %.1f s (%s/s), %llu reconnects, %llu dropped",
      static_cast<unsigned long long>(c.received.events_received), size_text(bytes).c_str(),
      seconds, size_text(seconds > 0 ? bytes / seconds : 0).c_str(),
      static_cast<unsigned long long>(c.reconnects), dropped);
  return line;
}

std::string fetch_stats_json(const DaqFetchCounters& c, int exit_code) {
  const DaqReceiverCounters& r = c.received;
  nlohmann::ordered_json received = {{"events_received", r.events_received},
                                     {"bytes_received", r.bytes_received},
                                     {"dropped_events", r.dropped_events},
                                     {"dropped_sub_blocks", r.dropped_sub_blocks},
                                     {"records_evicted", r.records_evicted},
                                     {"pause_requests", r.pause_requests},
                                     {"holds_sent", r.holds_sent},
                                     {"resumes_sent", r.resumes_sent},
                                     {"paused_us", r.paused_us},
                                     {"max_depth", r.max_depth},
                                     {"last_event", r.last_event},
                                     {"last_seconds", r.last_seconds},
                                     {"last_micros", r.last_micros}};
  nlohmann::ordered_json j = {{"received", received},
                              {"records_delivered", c.records_delivered},
                              {"duplicates_skipped", c.duplicates_skipped},
                              {"reconnects", c.reconnects},
                              {"last_event", c.last_event},
                              {"last_seconds", c.last_seconds},
                              {"last_micros", c.last_micros},
                              {"elapsed_s", c.elapsed_s},
                              {"exit_code", exit_code}};
  return j.dump(2) + "\n";
}

bool write_fetch_stats(const std::string& path, const DaqFetchCounters& c, int exit_code,
                       std::string* error) {
  std::FILE* f = std::fopen(path.c_str(), "w");
  if (f == nullptr) {
    *error = "daqget: --stats " + path + ": " + std::strerror(errno);
    return true;
  }
  std::string text = fetch_stats_json(c, exit_code);
  bool failed = std::fwrite(text.data(), 1, text.size(), f) != text.size();
  failed = std::fclose(f) != 0 || failed;
  if (failed) *error = "daqget: --stats " + path + ": writing failed";
  return failed;
}
