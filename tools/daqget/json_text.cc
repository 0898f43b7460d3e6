// Plain ASCII goes straight through; anything the library would escape or
// replace takes the library's own road, so the text stays exactly its text.
#include "json_text.h"

#include <nlohmann/json.hpp>

void append_json_string(std::string& out, const std::string& text) {
  bool plain = true;
  for (unsigned char c : text) {
    if (c < 0x20 || c >= 0x7f || c == '"' || c == '\\') {
      plain = false;
      break;
    }
  }
  if (!plain) {
    out += nlohmann::ordered_json(text).dump(-1, ' ', false,
                                             nlohmann::ordered_json::error_handler_t::replace);
    return;
  }
  out += '"';
  out += text;
  out += '"';
}
