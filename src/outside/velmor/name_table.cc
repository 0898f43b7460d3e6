// The name table: facility/device (or facility/device/location) to host:port.
// In-process entries come first, then VELMOR_NAMES (an inline list or a file).
// The parsed environment table is cached and rebuilt only when the variable's
// text or the file's modification time changes, so a lookup per call is cheap.
#include <strings.h>
#include <sys/stat.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

#include "daq_diag.h"
#include "daq_mutex.h"
#include "velmor.h"

namespace velmor {

namespace {

// Far above any real table (a line per server), far below harm.
constexpr size_t kMaxNamesFileBytes = 1u << 20;

struct Endpoint {
  std::string host;
  int port = 0;
};

std::string upper(const std::string& s) {
  std::string u(s);
  for (char& ch : u) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  return u;
}

// A table key: no leading or trailing '/', upper case.
std::string table_key(std::string name) {
  while (!name.empty() && name.front() == '/') name.erase(0, 1);
  while (!name.empty() && name.back() == '/') name.pop_back();
  return upper(name);
}

std::string trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return std::string();
  size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

// "host:port" (the last ':' splits, so a bracket-free IPv6 host is not supported).
bool parse_endpoint(const std::string& text, Endpoint* ep) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return true;
  std::string port = text.substr(colon + 1);
  if (port.empty() || port.size() > 5) return true;
  for (char ch : port)
    if (!std::isdigit(static_cast<unsigned char>(ch))) return true;
  ep->port = std::atoi(port.c_str());
  if (ep->port < 1 || ep->port > 65535) return true;
  ep->host = text.substr(0, colon);
  return false;
}

// One entry "NAME=host:port" or "NAME host:port"; malformed ones are reported once.
void add_entry(const std::string& raw, std::map<std::string, Endpoint>* table) {
  std::string line = trim(raw);
  if (line.empty()) return;
  size_t split = line.find('=');
  if (split == std::string::npos) split = line.find_first_of(" \t");
  Endpoint ep;
  if (split == std::string::npos || trim(line.substr(0, split)).empty() ||
      parse_endpoint(trim(line.substr(split + 1)), &ep)) {
    daq_print("velmor name table: ignoring malformed entry \"%s\"\n", line.c_str());
    return;
  }
  (*table)[table_key(trim(line.substr(0, split)))] = ep;
}

class NameTable {
 public:
  bool register_entry(const char* name, const char* host, int port) EXCLUDES(mu_) {
    if (name == nullptr || host == nullptr || *name == '\0' || *host == '\0' || port < 1 ||
        port > 65535)
      return true;
    DaqLockGuard lock(mu_);
    local_[table_key(name)] = Endpoint{host, port};
    return false;
  }

  bool unregister_entry(const char* name) EXCLUDES(mu_) {
    if (name == nullptr) return true;
    DaqLockGuard lock(mu_);
    return local_.erase(table_key(name)) == 0;
  }

  bool resolve(const EqAdr& a, std::string* host, int* port) EXCLUDES(mu_) {
    if (!a.valid()) return true;
    std::string keys[3];
    int n = 0;
    std::string fac = upper(a.facility());
    if (!a.location().empty())
      keys[n++] = fac + "/" + upper(a.device()) + "/" + upper(a.location());
    if (!a.device().empty()) keys[n++] = fac + "/" + upper(a.device());
    keys[n++] = fac;
    DaqLockGuard lock(mu_);
    refresh_environment_locked();
    for (const std::map<std::string, Endpoint>* table : {&local_, &env_}) {
      for (int i = 0; i < n; ++i) {
        auto it = table->find(keys[i]);
        if (it != table->end()) {
          *host = it->second.host;
          *port = it->second.port;
          return false;
        }
      }
    }
    return true;
  }

 private:
  void refresh_environment_locked() REQUIRES(mu_) {
    const char* value = std::getenv("VELMOR_NAMES");
    std::string text = value != nullptr ? value : "";
    bool inline_list = text.find('=') != std::string::npos;
    long mtime = -1;
    if (!text.empty() && !inline_list) {
      struct stat st;
      if (stat(text.c_str(), &st) == 0)
        mtime = static_cast<long>(st.st_mtim.tv_sec) * 1000000000L + st.st_mtim.tv_nsec;
    }
    if (text == env_text_ && mtime == env_mtime_) return;
    env_text_ = text;
    env_mtime_ = mtime;
    env_.clear();
    if (text.empty()) return;
    if (inline_list) {
      std::stringstream list(text);
      std::string entry;
      while (std::getline(list, entry, ';')) add_entry(entry, &env_);
      return;
    }
    std::ifstream file(text, std::ios::binary);
    if (!file) {
      daq_print("velmor name table: cannot read VELMOR_NAMES file \"%s\"\n", text.c_str());
      return;
    }
    // Read with a bound, so a device or an endless file cannot take all memory.
    std::string all;
    char chunk[4096];
    while (all.size() <= kMaxNamesFileBytes && file.read(chunk, sizeof chunk).gcount() > 0)
      all.append(chunk, static_cast<size_t>(file.gcount()));
    if (all.size() > kMaxNamesFileBytes) {
      daq_print("velmor name table: VELMOR_NAMES file \"%s\" is larger than %zu bytes; ignored\n",
                text.c_str(), kMaxNamesFileBytes);
      return;
    }
    std::stringstream lines(all);
    std::string line;
    while (std::getline(lines, line)) {
      size_t hash = line.find('#');
      if (hash != std::string::npos) line.resize(hash);
      add_entry(line, &env_);
    }
  }

  DaqMutex mu_;
  std::map<std::string, Endpoint> local_ GUARDED_BY(mu_);
  std::map<std::string, Endpoint> env_ GUARDED_BY(mu_);
  std::string env_text_ GUARDED_BY(mu_);
  long env_mtime_ GUARDED_BY(mu_) = -1;
};

NameTable& table() {
  static NameTable* t = new NameTable;  // never destroyed: calls may run during exit
  return *t;
}

}  // namespace

bool register_server(const char* facility_device, const char* host, int port) {
  return table().register_entry(facility_device, host, port);
}

bool unregister_server(const char* facility_device) {
  return table().unregister_entry(facility_device);
}

bool resolve_server(const EqAdr& address, std::string* host, int* port) {
  return table().resolve(address, host, port);
}

}  // namespace velmor
