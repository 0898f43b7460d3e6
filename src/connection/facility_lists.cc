// Facility server lists (odd-numbered servers first) and address composition.
// An address that does not fit its 80-character buffer is refused as a whole:
// a cut address would silently call another property.
#include "facility_lists.h"

#include <charconv>
#include <cstring>

namespace {

const char kLumarServers[] =
    "LUMAR.DAQ/DAQ.SERVER1/DAQ.DATA.SVR/:LUMAR.DAQ/DAQ.SERVER3/DAQ.DATA.SVR/:"
    "LUMAR.DAQ/DAQ.SERVER5/DAQ.DATA.SVR/:LUMAR.DAQ/DAQ.SERVER2/DAQ.DATA.SVR/:"
    "LUMAR.DAQ/DAQ.SERVER4/DAQ.DATA.SVR/:LUMAR.DAQ/DAQ.SERVER6/DAQ.DATA.SVR/";
const char kNovikServers[] =
    "NOVIK.DAQ/DAQ.SERVER1/DAQ.DATA.SVR/:NOVIK.DAQ/DAQ.SERVER3/DAQ.DATA.SVR/:"
    "NOVIK.DAQ/DAQ.SERVER5/DAQ.DATA.SVR/:NOVIK.DAQ/DAQ.SERVER2/DAQ.DATA.SVR/:"
    "NOVIK.DAQ/DAQ.SERVER4/DAQ.DATA.SVR/:NOVIK.DAQ/DAQ.SERVER6/DAQ.DATA.SVR/";
const char kVendaServers[] =
    "VENDA.DAQ/DAQ.SERVER1/DAQ.DATA.SVR/:VENDA.DAQ/DAQ.SERVER3/DAQ.DATA.SVR/:"
    "VENDA.DAQ/DAQ.SERVER2/DAQ.DATA.SVR/:VENDA.DAQ/DAQ.SERVER4/DAQ.DATA.SVR/";
const char kTarsenServers[] =
    "TARSEN.DAQ/DAQ.SERVER1/DAQ.DATA.SVR/:TARSEN.DAQ/DAQ.SERVER3/DAQ.DATA.SVR/:"
    "TARSEN.DAQ/DAQ.SERVER2/DAQ.DATA.SVR/:TARSEN.DAQ/DAQ.SERVER4/DAQ.DATA.SVR/";

}  // namespace

const char* facility_server_list(const char* linac) {
  if (linac != nullptr) {
    if (std::strcmp(linac, "NOVIK") == 0) return kNovikServers;
    if (std::strcmp(linac, "VENDA") == 0) return kVendaServers;
    if (std::strcmp(linac, "TARSEN") == 0) return kTarsenServers;
  }
  return kLumarServers;
}

bool facility_has_list(const char* linac) {
  return linac != nullptr &&
         (std::strcmp(linac, "LUMAR") == 0 || facility_server_list(linac) != kLumarServers);
}

std::vector<std::string> server_list_entries(const std::string& list) {
  std::vector<std::string> entries;
  size_t begin = 0;
  while (begin < list.size()) {
    size_t end = list.find(':', begin);
    if (end == std::string::npos) end = list.size();
    if (end == begin) break;
    entries.push_back(list.substr(begin, end - begin));
    if (end == list.size()) break;
    begin = end + 1;
    if (begin == list.size()) break;  // a trailing separator: an empty last entry
  }
  return entries;
}

bool compose_property_address(char* buf, const std::string& entry, const char* property,
                              int number) {
  // Put together by hand: a printf per property call cost more than the rest of it.
  char* const end = buf + DAQ_ADDRESS_SIZE - 1;  // room left for the NUL
  char* w = buf;
  auto put = [&](const char* text, size_t n) {
    if (n > static_cast<size_t>(end - w)) return false;
    std::memcpy(w, text, n);
    w += n;
    return true;
  };
  bool fits = put(entry.c_str(), std::strlen(entry.c_str()));
  if (fits && (entry.empty() || entry.back() != '/')) fits = put("/", 1);
  if (fits) fits = put(property, std::strlen(property));
  if (fits && number >= 0) {
    auto r = std::to_chars(w, end, number);
    fits = r.ec == std::errc();
    if (fits) w = r.ptr;
  }
  if (!fits) {
    buf[0] = '\0';
    return true;
  }
  *w = '\0';
  return false;
}
