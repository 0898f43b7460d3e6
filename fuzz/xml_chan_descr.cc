// Any bytes as a channel-description document: read into a list that already
// holds one description, then release everything. A failed read must leave the
// list as it was; LeakSanitizer checks the rest.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "orxa_chan_descr.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string doc(reinterpret_cast<const char*>(data), size);
  std::vector<chan_descr_2010*> list;
  chan_descr_2010* held = new chan_descr_2010();
  list.push_back(held);
  int rc = parse_descr_list_read(&doc[0], &list, false, false);
  if (rc != 0 && (list.size() != 1 || list[0] != held)) std::abort();
  for (const chan_descr_2010* c : list) {
    if (c->nbits != static_cast<int>(c->bits.size()) ||
        c->ndims != static_cast<int>(c->dims.size())) {
      std::abort();
    }
  }
  clean_chan_desr_list(&list);
  return 0;
}
