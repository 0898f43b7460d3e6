// Frame encoding and the checks that every received frame passes before any
// of its bytes are used.
#include "frame.h"

#include "wire_bytes.h"

namespace velmor {

void put_frame_head(std::string& out, uint8_t kind, uint32_t id, int32_t status, uint32_t size) {
  out.push_back('V');
  out.push_back('M');
  put_u8(out, kFrameVersion);
  put_u8(out, kind);
  put_u32(out, id);
  put_i32(out, status);
  put_u32(out, size);
}

const char* decode_frame_head(const char* bytes, FrameHead* head) {
  WireReader r(bytes, kFrameHeadSize);
  const char* magic = r.raw(2);
  if (magic == nullptr || magic[0] != 'V' || magic[1] != 'M') return "bad frame magic";
  if (r.u8() != kFrameVersion) return "unknown frame version";
  head->kind = r.u8();
  head->id = r.u32();
  head->status = r.i32();
  head->size = r.u32();
  if (head->kind < kFrameSet || head->kind > kFrameAnswer) return "unknown frame kind";
  if (head->kind != kFrameAnswer && head->status != 0) return "request frame with a status";
  if (head->size > kMaxSerializedSize) return "frame larger than 64 MB";
  return nullptr;
}

namespace {

// Fills in the payload size of a frame built in place from `start`; `external`
// counts payload bytes that travel by reference.
bool finish_frame(std::string& out, size_t start, size_t external = 0) {
  size_t payload = out.size() - start - kFrameHeadSize + external;
  if (payload > kMaxSerializedSize) {
    out.resize(start);
    return true;
  }
  store_u32(&out[start + 12], static_cast<uint32_t>(payload));
  return false;
}

}  // namespace

bool build_request(std::string& out, uint8_t kind, uint32_t id, const std::string& property,
                   const EqData* in) {
  if (property.empty() || property.size() > kMaxPropertyName) return true;
  size_t start = out.size();
  put_frame_head(out, kind, id, 0, 0);
  put_u16(out, static_cast<uint16_t>(property.size()));
  out.append(property);
  if (in != nullptr && in->serialize(out)) {
    out.resize(start);
    return true;
  }
  return finish_frame(out, start);
}

bool build_answer(std::string& out, uint32_t id, int32_t status, const EqData& data,
                  std::vector<WirePiece>* refs) {
  size_t start = out.size();
  size_t first_ref = refs != nullptr ? refs->size() : 0;
  put_frame_head(out, kFrameAnswer, id, status, 0);
  if (EqDataAccess::serialize(data, out, refs)) {
    // Too large to send: answer with the failure instead of the value.
    out.resize(start);
    if (refs != nullptr) refs->resize(first_ref);
    EqData failure;
    failure.set_error(EQ_ERR_SERVER_FAILURE, "server-side failure: answer larger than 64 MB");
    put_frame_head(out, kFrameAnswer, id, EQ_ERR_SERVER_FAILURE, 0);
    failure.serialize(out);
  }
  size_t external = 0;
  if (refs != nullptr)
    for (size_t i = first_ref; i < refs->size(); ++i) external += (*refs)[i].size;
  return finish_frame(out, start, external);
}

const char* decode_request(const char* payload, size_t size, std::string* property, EqData* in) {
  WireReader r(payload, size);
  uint16_t n = r.u16();
  if (r.failed()) return "request without a property name";
  if (n == 0 || n > kMaxPropertyName) return "bad property name length";
  const char* name = r.raw(n);
  if (name == nullptr) return "property name longer than the frame";
  property->assign(name, n);
  if (r.left() == 0) {
    in->init();
    return nullptr;
  }
  if (in->deserialize(payload + (size - r.left()), r.left()))
    return "malformed data object in request";
  return nullptr;
}

const char* decode_answer(const char* payload, size_t size, EqData* out) {
  if (size == 0) {
    out->init();
    return nullptr;
  }
  if (out->deserialize(payload, size)) return "malformed data object in answer";
  return nullptr;
}

}  // namespace velmor
