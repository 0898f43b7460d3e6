#include "request_time.h"

#include "daq_time_text.h"

std::string seconds_to_request_text(long seconds) {
  std::string text;
  std::string why;
  return daq_instant_time_text(seconds, &text, &why) ? std::string() : text;
}

bool read_request_instant(const std::string& text, int64_t* seconds, std::string* why) {
  return daq_read_time_text(text, seconds, why);
}

bool read_request_time(const std::string& text, std::string* out, std::string* why) {
  int64_t instant = 0;
  if (daq_read_time_text(text, &instant, why)) return true;
  // A text without a zone goes as given: the library reads it the same way.
  if (text.find_first_of("+-Zz", text.find('T')) == std::string::npos) {
    *out = text;
    return false;
  }
  return daq_instant_time_text(instant, out, why);
}
