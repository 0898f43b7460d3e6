// Locating the parts of each sub-block kind inside a checked view (spectra: inside
// the same bounds, read from the sub-head directly). The public decoders and
// get_pointer_to_data_2010 share these, so a bound is checked in exactly one
// place per kind. Each returns false when the part is not inside the
// sub-block (or the sub-block is not of the kind).
#ifndef EVUTL_SUB_BLOCK_LOCATE_H
#define EVUTL_SUB_BLOCK_LOCATE_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "data_type_info.h"
#include "orxa_evutl.h"
#include "sub_block_view.h"

// descr points at the descriptor in the event, so that none of its fields is
// held in a register across the checks.
struct SpectChannelPlace {
  const char* descr;
  orxa_spect_statistics_2010* stats;  // table of all sub-channels, or null
  char* values;
};

template <class T>
inline T read_at(const char* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Kind of a sub-block's type word, read without a view (the word lies in the
// sub-head, which is always there); -1 for a null sub or an unknown type.
inline int sub_block_kind(const orxa_serv_block_subhead_2010* sub) {
  if (sub == nullptr) return -1;
  int32_t word;
  std::memcpy(&word,
              reinterpret_cast<const char*>(sub) + offsetof(orxa_serv_block_subhead_2010, dtype),
              sizeof word);
  return structure_kind(word);
}

// kind: sub_block_kind(sub), which callers have at hand (-1 for a null sub).
// Inline and read straight from the sub-head, not through a SubBlockView: both
// public spectrum calls run this once per sub-channel, so every check saved is
// paid 130 times per multi-spectrum. The bounds are those of the view all the
// same: the region is [268, ldata) and nothing outside it is read.
// The tables (head, nsub descriptors, the optional statistics) must fit before a
// descriptor is read; a descriptor's values must lie after the tables and inside
// the region. Sizes are in 64 bits over 32-bit fields, so no sum or product below
// can wrap: offset + length x groups x 4 < 2^32 + 2^64 - 2^34.
inline bool locate_spect_channel(const orxa_serv_block_subhead_2010* sub, int kind, int index,
                                 SpectChannelPlace* place) {
  if (kind != ORXA_DATA_SPECTRUM && kind != ORXA_DATA_GSPECTRUM) return false;
  const char* base = reinterpret_cast<const char*>(sub);
  int32_t ldata;
  std::memcpy(&ldata, base + offsetof(orxa_serv_block_subhead_2010, ldata), sizeof ldata);
  orxa_spect_block_2010 head;
  if (ldata < static_cast<int32_t>(ORXA_SUBHEAD_SIZE + sizeof head)) return false;
  const char* region = base + ORXA_SUBHEAD_SIZE;
  const uint64_t size = static_cast<uint64_t>(ldata) - ORXA_SUBHEAD_SIZE;
  std::memcpy(&head, region, sizeof head);
  // One unsigned compare refuses a negative index; a negative nsub passes it only
  // as 2^31 or more, which the tables check below refuses.
  if (static_cast<uint32_t>(index) >= static_cast<uint32_t>(head.nsub)) return false;
  const uint64_t nsub = static_cast<uint32_t>(head.nsub);
  const bool has_stats = (head.flags & ORXA_SPECT_HAS_STATISTICS) != 0;
  const uint64_t stats_at = sizeof head + nsub * sizeof(orxa_spect_channel_2010);
  const uint64_t tables_end =
      stats_at + (has_stats ? nsub * sizeof(orxa_spect_statistics_2010) : 0);
  if (tables_end > size) return false;

  // Inside the tables just checked: index < nsub.
  const char* at =
      region + sizeof head + static_cast<uint64_t>(index) * sizeof(orxa_spect_channel_2010);
  const int32_t length = read_at<int32_t>(at + offsetof(orxa_spect_channel_2010, length));
  const int32_t groups = read_at<int32_t>(at + offsetof(orxa_spect_channel_2010, groups));
  const int32_t offset32 = read_at<int32_t>(at + offsetof(orxa_spect_channel_2010, offset));
  // A negative offset needs no test of its own: as 2^31 or more it lies past the
  // region, which the range check below refuses without wrapping.
  if ((length | groups) < 0 || (offset32 & 3) != 0) return false;
  const uint64_t offset = static_cast<uint32_t>(offset32);
  uint64_t count = static_cast<uint32_t>(length);
  if (kind == ORXA_DATA_GSPECTRUM) count *= static_cast<uint32_t>(groups);
  if (offset < tables_end || offset + count * sizeof(float) > size) return false;

  place->descr = at;
  place->stats =
      has_stats
          ? reinterpret_cast<orxa_spect_statistics_2010*>(const_cast<char*>(region + stats_at))
          : nullptr;
  place->values = const_cast<char*>(region + offset);
  return true;
}

struct ImagePlace {
  orxa_image_ext_frame_head head;
  char* head_in_event;
  char* bytes;
};
bool locate_image(const SubBlockView& view, ImagePlace* place);

// Number of update records, all inside the sub-block.
bool locate_update_records(const SubBlockView& view, int32_t* count);
char* update_record(const SubBlockView& view, int index);  // index already checked

// Name/value records that lie inside the sub-block (ndata cut to what fits).
bool locate_name_values(const SubBlockView& view, int32_t* usable);

// The serialised object of a kind-0 sub-block.
bool locate_object(const SubBlockView& view, char** bytes, int32_t* nbytes);

#endif
