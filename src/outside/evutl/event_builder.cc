// Event encoder. The buffer holds header, server block head and the sub-blocks
// added so far; finish() fills the lengths and appends the tail. Every sub-block
// is padded to a multiple of 8 so that later sub-heads and the tail keep the
// alignment of the first. Sizes are checked against the 32-bit fields before the
// buffer grows; std::bad_alloc is caught here and becomes a failed event.
#include <cstring>
#include <limits>
#include <new>
#include <string>

#include "daq_text.h"
#include "event_layout.h"
#include "orxa_event_builder.h"
#include "velmor.h"

namespace {

constexpr uint64_t kMaxI32 = static_cast<uint64_t>(std::numeric_limits<int32_t>::max());

uint64_t pad8(uint64_t n) { return (n + 7u) & ~static_cast<uint64_t>(7u); }

template <class L>
size_t heads_size() {
  return sizeof(typename L::Header) + sizeof(typename L::ServHead);
}

template <class L>
void write_heads(std::vector<char>& buf, uint64_t event_number, time_stamp time,
                 uint32_t event_type, const char* server) {
  typename L::Header h;
  std::memset(&h, 0, sizeof h);
  h.pattern = L::kPattern;
  h.event_number = static_cast<typename L::EventNumber>(event_number);
  h.event_type = event_type;
  h.event_time = time;
  h.num_svr_block = 1;
  typename L::ServHead s;
  std::memset(&s, 0, sizeof s);
  L::mark_server_block(s);
  s.time = time;
  s.mpulse = static_cast<decltype(s.mpulse)>(h.event_number);
  copy_text(s.server, server);
  buf.assign(heads_size<L>(), 0);
  std::memcpy(buf.data(), &h, sizeof h);
  std::memcpy(buf.data() + sizeof h, &s, sizeof s);
}

// Largest server block (ltotal) the generation can describe with its fields.
template <class L>
uint64_t max_server_block() {
  uint64_t by_length = static_cast<uint64_t>(std::numeric_limits<typename L::Length>::max()) -
                       sizeof(typename L::Header) - sizeof(typename L::Tail);
  return by_length < kMaxI32 ? by_length : kMaxI32;
}

template <class L>
void write_lengths(std::vector<char>& buf, int32_t nchan) {
  typename L::Header h;
  typename L::ServHead s;
  std::memcpy(&h, buf.data(), sizeof h);
  std::memcpy(&s, buf.data() + sizeof h, sizeof s);
  const uint64_t ltotal = buf.size() - sizeof h;
  s.ltotal = static_cast<decltype(s.ltotal)>(ltotal);
  s.nchan = nchan;
  typename L::Tail t;
  t.event_length = static_cast<decltype(t.event_length)>(buf.size() + sizeof t);
  h.event_length = static_cast<decltype(h.event_length)>(t.event_length);
  std::memcpy(buf.data(), &h, sizeof h);
  std::memcpy(buf.data() + sizeof h, &s, sizeof s);
  const char* tail = reinterpret_cast<const char*>(&t);
  buf.insert(buf.end(), tail, tail + sizeof t);
}

}  // namespace

OrxaEventBuilder::OrxaEventBuilder(int format)
    : gen_2024_(format == ORXA_FORMAT_DEFAULT ? get_data_format_2024() != 0
                                              : format == ORXA_FORMAT_2024) {}

void OrxaEventBuilder::begin(uint64_t event_number, time_stamp time, uint32_t event_type,
                             const char* server) {
  begun_ = true;
  failed_ = false;
  finished_ = false;
  nchan_ = 0;
  try {
    if (gen_2024_) {
      write_heads<EventLayout2024>(buf_, event_number, time, event_type, server);
    } else {
      write_heads<EventLayout2010>(buf_, event_number, time, event_type, server);
    }
  } catch (const std::bad_alloc&) {
    fail();
  }
}

bool OrxaEventBuilder::fail() {
  failed_ = true;
  return true;
}

bool OrxaEventBuilder::add_block(const char* chname, int32_t type_word, int32_t error,
                                 size_t region_bytes, char** region) {
  if (!begun_ || failed_ || finished_) return true;
  if (nchan_ == std::numeric_limits<int32_t>::max()) return fail();
  const uint64_t ldata = pad8(ORXA_SUBHEAD_SIZE + static_cast<uint64_t>(region_bytes));
  const uint64_t limit =
      gen_2024_ ? max_server_block<EventLayout2024>() : max_server_block<EventLayout2010>();
  const uint64_t server_block =
      buf_.size() - (gen_2024_ ? sizeof(orxa_eventheader_2024) : sizeof(orxa_eventheader));
  if (region_bytes > kMaxI32 || ldata > kMaxI32 || ldata > limit - server_block) return fail();
  const size_t at = buf_.size();
  try {
    buf_.resize(at + ldata, 0);
  } catch (const std::bad_alloc&) {
    return fail();
  }
  orxa_serv_block_subhead_2010 sh;
  std::memset(&sh, 0, sizeof sh);
  copy_text(sh.chname, chname);
  sh.dtype = type_word;
  sh.error = error;
  sh.ldata = static_cast<int32_t>(ldata);
  std::memcpy(buf_.data() + at, &sh, sizeof sh);
  *region = buf_.data() + at + sizeof sh;
  ++nchan_;
  return false;
}

bool OrxaEventBuilder::add_data_object(const char* chname, int32_t type_word,
                                       const velmor::EqData& object, int32_t error) {
  if (!begun_ || failed_ || finished_) return true;
  std::string bytes;
  try {
    if (object.serialize(bytes)) return fail();
  } catch (const std::bad_alloc&) {
    return fail();
  }
  return add_serialized_object(chname, type_word, bytes.data(), bytes.size(), error);
}

bool OrxaEventBuilder::add_serialized_object(const char* chname, int32_t type_word,
                                             const void* bytes, size_t nbytes, int32_t error) {
  if (bytes == nullptr && nbytes > 0) return fail();
  if (nbytes > kMaxI32 - sizeof(orxa_eqdata_block_2010)) return fail();
  char* region = nullptr;
  if (add_block(chname, type_word, error, sizeof(orxa_eqdata_block_2010) + nbytes, &region)) {
    return true;
  }
  orxa_eqdata_block_2010 head{static_cast<int32_t>(nbytes)};
  std::memcpy(region, &head, sizeof head);
  if (nbytes > 0) std::memcpy(region + sizeof head, bytes, nbytes);
  return false;
}

bool OrxaEventBuilder::add_name_value(const char* chname, int32_t type_word, int32_t id,
                                      const char* comment, const orxa_name_value_channel* values,
                                      int count, int32_t error) {
  if (count < 0 || (values == nullptr && count > 0)) return fail();
  const uint64_t bytes =
      ORXA_NAME_VALUE_BLOCK_HEAD + static_cast<uint64_t>(count) * sizeof(orxa_name_value_channel);
  if (bytes > kMaxI32) return fail();
  char* region = nullptr;
  if (add_block(chname, type_word, error, bytes, &region)) return true;
  orxa_name_value_block head;
  std::memset(&head, 0, sizeof head);
  head.id = id;
  copy_text(head.comment, comment);
  head.ndata = count;
  std::memcpy(region, &head, ORXA_NAME_VALUE_BLOCK_HEAD);
  for (int i = 0; i < count; ++i) {
    orxa_name_value_channel c;
    std::memset(&c, 0, sizeof c);
    // The source field may be unterminated; read at most its 80 characters.
    copy_text(c.name, sizeof c.name, values[i].name, sizeof c.name - 1);
    c.value = values[i].value;
    std::memcpy(region + ORXA_NAME_VALUE_BLOCK_HEAD + static_cast<size_t>(i) * sizeof c, &c,
                sizeof c);
  }
  return false;
}

bool OrxaEventBuilder::add_image(const char* chname, int32_t type_word,
                                 const orxa_image_ext_frame_head& head, const unsigned char* bytes,
                                 int32_t error) {
  if (head.length < 0 || (bytes == nullptr && head.length > 0)) return fail();
  const uint64_t total = sizeof head + static_cast<uint64_t>(head.length);
  char* region = nullptr;
  if (add_block(chname, type_word, error, total, &region)) return true;
  std::memcpy(region, &head, sizeof head);
  if (head.length > 0) std::memcpy(region + sizeof head, bytes, static_cast<size_t>(head.length));
  return false;
}

bool OrxaEventBuilder::add_spectra(const char* chname, int32_t type_word,
                                   const orxa_spect_input* subs, int nsub, bool group_form,
                                   int32_t error) {
  if (nsub < 0 || (subs == nullptr && nsub > 0)) return fail();
  bool has_stats = false;
  uint64_t values_total = 0;
  for (int j = 0; j < nsub; ++j) {
    const orxa_spect_input& in = subs[j];
    if (in.length < 0 || (group_form && in.groups < 0)) return fail();
    uint64_t n =
        static_cast<uint64_t>(in.length) * (group_form ? static_cast<uint64_t>(in.groups) : 1u);
    if (n > 0 && in.values == nullptr) return fail();
    values_total += n;
    if (values_total > kMaxI32) return fail();
    if (in.statistics != nullptr) has_stats = true;
  }
  const uint64_t n64 = static_cast<uint64_t>(nsub);
  uint64_t tables = sizeof(orxa_spect_block_2010) + n64 * sizeof(orxa_spect_channel_2010);
  const uint64_t stats_at = tables;
  if (has_stats) tables += n64 * sizeof(orxa_spect_statistics_2010);
  const uint64_t total = tables + values_total * sizeof(float);
  if (total > kMaxI32) return fail();
  char* region = nullptr;
  if (add_block(chname, type_word, error, total, &region)) return true;

  orxa_spect_block_2010 head{nsub, has_stats ? ORXA_SPECT_HAS_STATISTICS : 0u};
  std::memcpy(region, &head, sizeof head);
  uint64_t offset = tables;
  for (int j = 0; j < nsub; ++j) {
    const orxa_spect_input& in = subs[j];
    const uint64_t n =
        static_cast<uint64_t>(in.length) * (group_form ? static_cast<uint64_t>(in.groups) : 1u);
    orxa_spect_channel_2010 d{in.start,     in.inc,
                              in.length,    group_form ? in.groups : 1,
                              in.group_inc, static_cast<int32_t>(offset)};
    std::memcpy(region + sizeof head + static_cast<size_t>(j) * sizeof d, &d, sizeof d);
    if (has_stats) {
      orxa_spect_statistics_2010 st{};
      if (in.statistics != nullptr) st = *in.statistics;
      std::memcpy(region + stats_at + static_cast<size_t>(j) * sizeof st, &st, sizeof st);
    }
    if (n > 0) std::memcpy(region + offset, in.values, n * sizeof(float));
    offset += n * sizeof(float);
  }
  return false;
}

bool OrxaEventBuilder::add_update(const char* chname, int32_t type_word,
                                  const orxa_upd_value_2010* values, int count, int32_t error) {
  if (count < 0 || (values == nullptr && count > 0)) return fail();
  const uint64_t bytes =
      sizeof(orxa_upd_block_2010) + static_cast<uint64_t>(count) * sizeof(orxa_upd_value_2010);
  if (bytes > kMaxI32) return fail();
  char* region = nullptr;
  if (add_block(chname, type_word, error, bytes, &region)) return true;
  orxa_upd_block_2010 head{count, 0};
  std::memcpy(region, &head, sizeof head);
  for (int i = 0; i < count; ++i) {
    orxa_upd_value_2010 v = values[i];
    std::memset(v.name, 0, sizeof v.name);
    copy_text(v.name, sizeof v.name, values[i].name, sizeof v.name - 1);
    std::memcpy(region + sizeof head + static_cast<size_t>(i) * sizeof v, &v, sizeof v);
  }
  return false;
}

bool OrxaEventBuilder::add_stamp(const char* chname, int32_t type_word, int32_t error) {
  char* region = nullptr;
  return add_block(chname, type_word, error, 0, &region);
}

bool OrxaEventBuilder::add_raw(const char* chname, int32_t type_word, const void* data,
                               size_t nbytes, int32_t error) {
  if (data == nullptr && nbytes > 0) return fail();
  char* region = nullptr;
  if (add_block(chname, type_word, error, nbytes, &region)) return true;
  if (nbytes > 0) std::memcpy(region, data, nbytes);
  return false;
}

const char* OrxaEventBuilder::finish(size_t* length) {
  if (!begun_ || failed_) return nullptr;
  if (!finished_) {
    try {
      if (gen_2024_) {
        write_lengths<EventLayout2024>(buf_, nchan_);
      } else {
        write_lengths<EventLayout2010>(buf_, nchan_);
      }
    } catch (const std::bad_alloc&) {
      fail();
      return nullptr;
    }
    finished_ = true;
  }
  if (length != nullptr) *length = buf_.size();
  return buf_.data();
}
