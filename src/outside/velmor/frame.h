// Transport frames (docs/control-transport.md, "Frames"): a 16-byte head and a
// payload. Decoding is split from the socket code so the same checks serve the
// client, the server and the fuzz target.
#ifndef VELMOR_FRAME_H
#define VELMOR_FRAME_H

#include <cstddef>
#include <cstdint>
#include <string>

#include <vector>

#include "eq_data_content.h"
#include "velmor.h"

namespace velmor {

constexpr size_t kFrameHeadSize = 16;
constexpr uint8_t kFrameVersion = 1;
constexpr size_t kMaxPropertyName = 255;
// A server cuts off a peer whose frame stops arriving for this long.
constexpr int kFrameStallMs = 10000;

enum FrameKind : uint8_t {
  kFrameSet = 1,
  kFrameGet = 2,
  kFrameNames = 3,
  kFrameAnswer = 4,
};

struct FrameHead {
  uint8_t kind = 0;
  uint32_t id = 0;
  int32_t status = 0;
  uint32_t size = 0;
};

// Appends a head for a payload of `size` bytes.
void put_frame_head(std::string& out, uint8_t kind, uint32_t id, int32_t status, uint32_t size);

// Checks and decodes a head of kFrameHeadSize bytes. Returns null on success,
// else a one-line reason.
const char* decode_frame_head(const char* bytes, FrameHead* head);

// Builds a whole request frame; false on success, true when the name is empty,
// too long, or the data object too large.
bool build_request(std::string& out, uint8_t kind, uint32_t id, const std::string& property,
                   const EqData* in);
// Builds a whole answer frame; the data object carries the error when status != 0.
// With refs, large arrays are left in `data` and listed in refs (see WirePiece)
// for a gathered send; `data` must then stay unchanged until it is sent.
bool build_answer(std::string& out, uint32_t id, int32_t status, const EqData& data,
                  std::vector<WirePiece>* refs = nullptr);

// Splits a request payload. Returns null on success, else a one-line reason.
const char* decode_request(const char* payload, size_t size, std::string* property, EqData* in);
// Reads an answer payload into out. Returns null on success, else a reason.
const char* decode_answer(const char* payload, size_t size, EqData* out);

}  // namespace velmor

#endif
