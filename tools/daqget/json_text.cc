// ASCII is escaped here as the library escapes it; text with bytes beyond
// ASCII takes the library's own road, which checks and replaces bad UTF-8.
#include "json_text.h"

#include <nlohmann/json.hpp>

void append_json_string(std::string& out, const std::string& text) {
  bool beyond_ascii = false, escapes = false;
  for (unsigned char c : text) {
    beyond_ascii |= c >= 0x80;
    escapes |= (c < 0x20) | (c == '"') | (c == '\\');
  }
  if (beyond_ascii) {  // UTF-8 to check, and to replace where invalid
    out += nlohmann::ordered_json(text).dump(-1, ' ', false,
                                             nlohmann::ordered_json::error_handler_t::replace);
    return;
  }
  out += '"';
  if (!escapes) {
    out += text;
    out += '"';
    return;
  }
  static const char kHex[] = "0123456789abcdef";
  for (char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          out += "\\u00";
          out += kHex[(c >> 4) & 0xf];
          out += kHex[c & 0xf];
        } else {
          out += c;
        }
    }
  }
  out += '"';
}
