// Bounded view of one channel sub-block: the data region after the sub-head as
// ldata declares it. Every read of a decoder goes through fits()/load(), so no
// decoder can leave [sub-head, sub-head + ldata) whatever the sub-block holds;
// only the spectrum locator, run per sub-channel, checks the same bounds itself.
// Loads use memcpy: an event buffer need not keep sub-blocks aligned.
#ifndef EVUTL_SUB_BLOCK_VIEW_H
#define EVUTL_SUB_BLOCK_VIEW_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "orxa_evutl.h"

class SubBlockView {
 public:
  explicit SubBlockView(const orxa_serv_block_subhead_2010* sub) {
    if (sub == nullptr) return;
    const char* base = reinterpret_cast<const char*>(sub);
    int32_t ldata = 0;
    int32_t word = 0;
    std::memcpy(&ldata, base + offsetof(orxa_serv_block_subhead_2010, ldata), sizeof ldata);
    std::memcpy(&word, base + offsetof(orxa_serv_block_subhead_2010, dtype), sizeof word);
    if (ldata < ORXA_SUBHEAD_SIZE) return;
    region_ = base + ORXA_SUBHEAD_SIZE;
    size_ = static_cast<uint64_t>(ldata) - ORXA_SUBHEAD_SIZE;
    data_type_ = orxa_data_type_of(word);
    valid_ = true;
  }

  bool valid() const { return valid_; }
  int data_type() const { return data_type_; }
  uint64_t size() const { return size_; }

  // True when [offset, offset + bytes) lies inside the data region.
  bool fits(uint64_t offset, uint64_t bytes) const {
    return valid_ && offset <= size_ && bytes <= size_ - offset;
  }

  template <class T>
  bool load(uint64_t offset, T* out) const {
    if (!fits(offset, sizeof(T))) return false;
    std::memcpy(out, region_ + offset, sizeof(T));
    return true;
  }

  // Address inside the event; only for offsets already checked with fits().
  char* at(uint64_t offset) const { return const_cast<char*>(region_ + offset); }

 private:
  const char* region_ = nullptr;
  uint64_t size_ = 0;
  int data_type_ = -1;
  bool valid_ = false;
};

#endif
