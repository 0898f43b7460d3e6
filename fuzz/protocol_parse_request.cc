// Fuzzes parse_daq_request. Whatever a document makes the reader store, the
// writer must turn into a document that the reader accepts without error.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "daq_server_util_def.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string xml(reinterpret_cast<const char*>(data), size);
  daq_server_request request;
  clean_request(&request);
  int rc = parse_daq_request(xml.data(), &request);
  // A record without an id writes ReqId 0, which readers refuse by design.
  if (rc == 0 && request.id != 0) {
    std::string out;
    create_xml_daq_request(&request, out, 1);
    daq_server_request again;
    clean_request(&again);
    if (parse_daq_request(out.data(), &again) != 0) std::abort();
    if (again.chan_list.size() != request.chan_list.size() ||
        again.file_list.size() != request.file_list.size() || again.id != request.id) {
      std::abort();
    }
    clean_request(&again);
  }
  clean_request(&request);
  return 0;
}
