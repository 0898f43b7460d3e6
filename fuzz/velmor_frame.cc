// Fuzzes the checks a property server applies to a byte stream from a client:
// frame heads, sizes, request payloads and the data objects inside them, frame
// after frame as they would arrive on one connection.
#include <cstddef>
#include <cstdint>
#include <string>

#include "frame.h"
#include "velmor.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* p = reinterpret_cast<const char*>(data);
  size_t left = size;
  std::string property;
  velmor::EqData in;
  while (left >= velmor::kFrameHeadSize) {
    velmor::FrameHead head;
    if (velmor::decode_frame_head(p, &head) != nullptr) break;
    p += velmor::kFrameHeadSize;
    left -= velmor::kFrameHeadSize;
    if (head.size > left) break;  // the connection would wait, then cut it off
    const char* bad = head.kind == velmor::kFrameAnswer
                          ? velmor::decode_answer(p, head.size, &in)
                          : velmor::decode_request(p, head.size, &property, &in);
    if (bad != nullptr) break;
    // A request that decodes must survive being answered.
    std::string answer;
    velmor::build_answer(answer, head.id, 0, in);
    p += head.size;
    left -= head.size;
  }
  return 0;
}
