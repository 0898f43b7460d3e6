// A connection as the source of an object's bytes: small parts pass through
// the scratch buffer, large arrays are received in place (eq_data_serial.cc).
#include "frame_receive.h"

#include <algorithm>

#include "eq_data_content.h"
#include "frame.h"
#include "wire_bytes.h"

namespace velmor {

namespace {

class SocketSource : public ObjectSource {
 public:
  SocketSource(SocketReader& reader, Deadline deadline, std::string* scratch)
      : reader_(reader), deadline_(deadline), scratch_(scratch) {}

  const char* take(size_t n) override {
    if (rc_ != 0) return nullptr;
    size_t part = 0;
    rc_ = reader_.read_into(scratch_, n, deadline_, &part);
    consumed_ += part;
    return rc_ == 0 ? scratch_->data() : nullptr;
  }
  bool take_into(char* dst, size_t n) override {
    if (rc_ != 0) return false;
    size_t part = 0;
    rc_ = reader_.read(dst, n, deadline_, &part);
    consumed_ += part;
    return rc_ == 0;
  }
  bool direct() const override { return true; }

  // Reads what is left of a payload of `size` bytes; the transport result.
  int finish(size_t size) {
    while (rc_ == 0 && consumed_ < size) take(std::min<size_t>(size - consumed_, 64 * 1024));
    return rc_;
  }

 private:
  SocketReader& reader_;
  Deadline deadline_;
  std::string* scratch_;
  size_t consumed_ = 0;
  int rc_ = 0;
};

}  // namespace

const char* receive_request(SocketReader& reader, size_t size, Deadline deadline,
                            std::string* scratch, std::string* property, EqData* in, int* rc) {
  SocketSource source(reader, deadline, scratch);
  const char* bad = nullptr;
  const char* name_length = size >= 2 ? source.take(2) : nullptr;
  uint16_t n = name_length != nullptr ? WireReader(name_length, 2).u16() : 0;
  if (name_length == nullptr)
    bad = "request without a property name";
  else if (n == 0 || n > kMaxPropertyName)
    bad = "bad property name length";
  else if (n > size - 2)
    bad = "property name longer than the frame";
  if (bad == nullptr) {
    const char* name = source.take(n);
    if (name != nullptr) property->assign(name, n);
    size_t rest = size - 2 - n;
    if (rest == 0)
      in->init();
    else if (name != nullptr && EqDataAccess::deserialize(*in, source, rest))
      bad = "malformed data object in request";
  }
  *rc = source.finish(size);
  return *rc == 0 ? bad : nullptr;
}

const char* receive_answer(SocketReader& reader, size_t size, Deadline deadline,
                           std::string* scratch, EqData* out, int* rc) {
  SocketSource source(reader, deadline, scratch);
  const char* bad = nullptr;
  if (size == 0)
    out->init();
  else if (EqDataAccess::deserialize(*out, source, size))
    bad = "malformed data object in answer";
  *rc = source.finish(size);
  return *rc == 0 ? bad : nullptr;
}

}  // namespace velmor
