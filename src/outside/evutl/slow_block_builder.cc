// Slow-data block encoder: header, (2024) the alignment word, then the entries in
// the order added. finish() writes data_length and channels_number.
#include <cstring>
#include <limits>
#include <new>

#include "daq_text.h"
#include "orxa_event_builder.h"
#include "slow_block_layout.h"

namespace {

template <class Layout>
void start_block(std::vector<char>& buf) {
  buf.assign(Layout::kEntriesAt, 0);
  orxa_daq_slow_data_header h{Layout::kPattern, 0, 0};
  std::memcpy(buf.data(), &h, sizeof h);
}

template <class Layout>
bool append_entry(std::vector<char>& buf, const char* name, uint64_t event_number, time_stamp time,
                  float value, int32_t status) {
  typename Layout::Entry e;
  std::memset(&e, 0, sizeof e);
  e.event_number = static_cast<typename Layout::EventNumber>(event_number);
  e.time = time;
  e.status = status;
  e.value = value;
  copy_text(e.name, name);
  if (buf.size() + sizeof e > static_cast<size_t>(std::numeric_limits<int32_t>::max())) return true;
  const char* bytes = reinterpret_cast<const char*>(&e);
  buf.insert(buf.end(), bytes, bytes + sizeof e);
  return false;
}

}  // namespace

OrxaSlowBlockBuilder::OrxaSlowBlockBuilder(int format)
    : gen_2024_(format == ORXA_FORMAT_DEFAULT ? get_data_format_2024() != 0
                                              : format == ORXA_FORMAT_2024) {
  clear();
}

void OrxaSlowBlockBuilder::clear() {
  failed_ = false;
  count_ = 0;
  try {
    if (gen_2024_) {
      start_block<SlowLayout2024>(buf_);
    } else {
      start_block<SlowLayout2010>(buf_);
    }
  } catch (const std::bad_alloc&) {
    failed_ = true;
  }
}

bool OrxaSlowBlockBuilder::add(const char* name, uint64_t event_number, time_stamp time,
                               float value, int32_t status) {
  if (failed_) return true;
  try {
    failed_ = gen_2024_
                  ? append_entry<SlowLayout2024>(buf_, name, event_number, time, value, status)
                  : append_entry<SlowLayout2010>(buf_, name, event_number, time, value, status);
  } catch (const std::bad_alloc&) {
    failed_ = true;
  }
  if (!failed_) ++count_;
  return failed_;
}

const char* OrxaSlowBlockBuilder::finish(size_t* length) {
  if (failed_) return nullptr;
  // An empty block is the header alone: 12 bytes in both generations.
  size_t size = count_ == 0 ? sizeof(orxa_daq_slow_data_header) : buf_.size();
  orxa_daq_slow_data_header h;
  std::memcpy(&h, buf_.data(), sizeof h);
  h.data_length = static_cast<uint32_t>(size);
  h.channels_number = count_;
  std::memcpy(buf_.data(), &h, sizeof h);
  if (length != nullptr) *length = size;
  return buf_.data();
}
