// Fuzzes parse_daq_reply, channel-description block included. A reply that reads
// cleanly must write (with its descriptions) and read back cleanly.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "daq_server_util_def.h"
#include "orxa_chan_descr.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string xml(reinterpret_cast<const char*>(data), size);
  daq_server_reply reply;
  clean_reply(&reply);
  std::vector<chan_descr_2010*> descriptions;
  int rc = parse_daq_reply(xml.data(), &reply, &descriptions);
  // A record without an id writes ReqId 0, which readers refuse by design.
  if (rc == 0 && reply.request.id != 0) {
    std::string out;
    create_xml_daq_reply(&reply, out, &descriptions);
    daq_server_reply again;
    clean_reply(&again);
    std::vector<chan_descr_2010*> read_back;
    if (parse_daq_reply(out.data(), &again, &read_back) != 0) std::abort();
    if (again.stat.file_list.size() != reply.stat.file_list.size() ||
        again.request.chan_list.size() != reply.request.chan_list.size() ||
        again.port != reply.port) {
      std::abort();
    }
    clean_chan_desr_list(&read_back);
    clean_reply(&again);
  }
  clean_chan_desr_list(&descriptions);
  clean_reply(&reply);
  return 0;
}
