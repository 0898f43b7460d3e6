// EqAdr: splits "/FACILITY/DEVICE[/LOCATION]/PROPERTY" into its parts. The
// property is the last part; everything before it names the server.
#include <vector>

#include "velmor.h"

namespace velmor {

EqAdr::EqAdr() = default;

bool EqAdr::adr(const std::string& text) {
  text_ = text;
  facility_.clear();
  device_.clear();
  location_.clear();
  property_.clear();
  valid_ = false;

  std::vector<std::string> parts;
  size_t at = text.empty() || text[0] != '/' ? 0 : 1;
  while (at <= text.size()) {
    size_t slash = text.find('/', at);
    if (slash == std::string::npos) slash = text.size();
    parts.push_back(text.substr(at, slash - at));
    at = slash + 1;
  }
  // Two to four parts, none empty: FACILITY[/DEVICE[/LOCATION]]/PROPERTY.
  if (parts.size() < 2 || parts.size() > 4) return true;
  for (const std::string& p : parts)
    if (p.empty()) return true;
  facility_ = parts[0];
  if (parts.size() > 2) device_ = parts[1];
  if (parts.size() > 3) location_ = parts[2];
  property_ = parts.back();
  valid_ = true;
  return false;
}

const char* error_code_text(int code) {
  switch (code) {
    case EQ_OK:
      return "ok";
    case EQ_ERR_UNKNOWN_SERVER:
      return "unknown server";
    case EQ_ERR_CONNECTION_REFUSED:
      return "connection refused";
    case EQ_ERR_TIMEOUT:
      return "timeout";
    case EQ_ERR_PROTOCOL:
      return "protocol error";
    case EQ_ERR_UNKNOWN_PROPERTY:
      return "property unknown";
    case EQ_ERR_SERVER_FAILURE:
      return "server-side failure";
    case EQ_ERR_BAD_ADDRESS:
      return "bad address";
    case EQ_ERR_CONNECTION_LOST:
      return "connection lost";
    case EQ_ERR_NOT_SUPPORTED:
      return "call not supported by the property";
    case EQ_ERR_INVALID_ARGUMENT:
      return "invalid argument";
    case EQ_ERR_INJECTED:
      return "injected failure";
    case EQ_ERR_CONNECT_FAILED:
      return "connect failed";
    default:
      return "unknown error";
  }
}

}  // namespace velmor
