// Test helpers: walk the sub-blocks of a built event and copy one sub-block into a
// heap block of exactly ldata bytes, so AddressSanitizer reports any read past it.
#ifndef TESTS_EVUTL_EVENT_WALK_H
#define TESTS_EVUTL_EVENT_WALK_H

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "orxa_event_builder.h"

struct LegacyEvents {
  static constexpr int kFormat = ORXA_FORMAT_LEGACY;
  using Header = orxa_eventheader;
  using ServHead = orxa_serv_block_head_2010;
  using Tail = orxa_eventtail;
};

struct Events2024 {
  static constexpr int kFormat = ORXA_FORMAT_2024;
  using Header = orxa_eventheader_2024;
  using ServHead = orxa_serv_block_head_2024;
  using Tail = orxa_eventtail_2024;
};

// Sub-heads of an event, walked by ldata; stops (returning what it has) at the
// first sub-head that would not fit in the event.
inline std::vector<orxa_serv_block_subhead_2010*> sub_heads(const char* event, size_t length,
                                                            bool is_2024) {
  std::vector<orxa_serv_block_subhead_2010*> out;
  size_t at = is_2024 ? sizeof(orxa_eventheader_2024) + sizeof(orxa_serv_block_head_2024)
                      : sizeof(orxa_eventheader) + sizeof(orxa_serv_block_head_2010);
  while (at + sizeof(orxa_serv_block_subhead_2010) <= length) {
    auto* sub = reinterpret_cast<orxa_serv_block_subhead_2010*>(const_cast<char*>(event) + at);
    if (sub->ldata < ORXA_SUBHEAD_SIZE || static_cast<size_t>(sub->ldata) > length - at) break;
    out.push_back(sub);
    at += static_cast<size_t>(sub->ldata);
  }
  return out;
}

// One sub-block in a heap block of exactly `size` bytes (default: its ldata).
class ExactBlock {
 public:
  ExactBlock(const orxa_serv_block_subhead_2010* sub, size_t size = 0)
      : size_(size != 0 ? size : static_cast<size_t>(sub->ldata)), bytes_(new char[size_]) {
    size_t copy = size_ < static_cast<size_t>(sub->ldata) ? size_ : static_cast<size_t>(sub->ldata);
    std::memcpy(bytes_.get(), sub, copy);
  }
  // A sub-head followed by `region` as the data region, ldata = 268 + region size.
  ExactBlock(int32_t type_word, const std::string& region)
      : size_(ORXA_SUBHEAD_SIZE + region.size()), bytes_(new char[size_]) {
    orxa_serv_block_subhead_2010 h{};
    std::strcpy(h.chname, "HOSTILE");
    h.dtype = type_word;
    h.ldata = static_cast<int32_t>(size_);
    std::memcpy(bytes_.get(), &h, sizeof h);
    if (!region.empty()) std::memcpy(bytes_.get() + sizeof h, region.data(), region.size());
  }
  orxa_serv_block_subhead_2010* sub() {
    return reinterpret_cast<orxa_serv_block_subhead_2010*>(bytes_.get());
  }
  void set_ldata(int32_t ldata) { sub()->ldata = ldata; }

 private:
  size_t size_;
  std::unique_ptr<char[]> bytes_;
};

// Appends the bytes of a plain value to a region under construction.
template <class T>
void put(std::string& region, const T& value) {
  region.append(reinterpret_cast<const char*>(&value), sizeof value);
}

#endif
