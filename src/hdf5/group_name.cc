#include "group_name.h"

std::string escape_group_name(const std::string& channel) {
  if (channel.empty()) return "%00";
  if (channel == ".") return "%2E";
  std::string out;
  out.reserve(channel.size());
  for (char c : channel) {
    if (c == '%') {
      out += "%25";
    } else if (c == '/') {
      out += "%2F";
    } else if (c == '#') {  // '#' marks the sibling groups of one channel
      out += "%23";
    } else {
      out += c;
    }
  }
  return out;
}
