// The default run catalog directory, which a request names when its own is empty.
// A site points it elsewhere with ORXA_DAQ_CATALOG_DIR.
#include <cstdlib>
#include <cstring>

#include "orxa_chan_descr.h"

namespace {

constexpr const char* kDefaultCatalogDir = "/daq/orxa/adm/";

}  // namespace

int get_run_catalog_dir_name(char*, char* buf, int* size, int) {
  if (buf == nullptr || size == nullptr || *size <= 0) return 1;
  const char* dir = std::getenv("ORXA_DAQ_CATALOG_DIR");
  if (dir == nullptr || *dir == '\0') dir = kDefaultCatalogDir;
  std::size_t n = std::strlen(dir);
  if (n >= static_cast<std::size_t>(*size)) return 1;
  std::memcpy(buf, dir, n + 1);
  return 0;
}
