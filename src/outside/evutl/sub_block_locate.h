// Locating the parts of each sub-block kind inside a checked view. The public
// decoders and get_pointer_to_data_2010 share these, so a bound is checked in
// exactly one place per kind. Each returns false when the part is not inside the
// sub-block (or the sub-block is not of the kind).
#ifndef EVUTL_SUB_BLOCK_LOCATE_H
#define EVUTL_SUB_BLOCK_LOCATE_H

#include <cstdint>
#include <cstring>

#include "data_type_info.h"
#include "orxa_evutl.h"
#include "sub_block_view.h"

struct SpectChannelPlace {
  orxa_spect_channel_2010 descr;
  orxa_spect_statistics_2010* stats;  // table of all sub-channels, or null
  char* values;
};
// kind: structure_kind of the view's data type, which callers have at hand.
// Inline: both public spectrum calls run it once per sub-channel, so the call
// and the repeated table checks are a sizeable part of reading a short spectrum.
// The tables (head, nsub descriptors, the optional statistics) must fit before a
// descriptor is read; a descriptor's values must lie after the tables and inside
// the sub-block. Sizes are in 64 bits, where count x size of 32-bit fields cannot
// overflow.
inline bool locate_spect_channel(const SubBlockView& view, int kind, int index,
                                 SpectChannelPlace* place) {
  if (kind != ORXA_DATA_SPECTRUM && kind != ORXA_DATA_GSPECTRUM) return false;
  orxa_spect_block_2010 head;
  if (!view.load(0, &head)) return false;
  // index >= 0, so a negative nsub fails here too.
  if (index < 0 || index >= head.nsub) return false;
  const uint64_t nsub = static_cast<uint64_t>(head.nsub);
  const bool has_stats = (head.flags & ORXA_SPECT_HAS_STATISTICS) != 0;
  const uint64_t stats_at = sizeof head + nsub * sizeof(orxa_spect_channel_2010);
  const uint64_t tables_end =
      stats_at + (has_stats ? nsub * sizeof(orxa_spect_statistics_2010) : 0);
  if (!view.fits(0, tables_end)) return false;

  // Inside the tables just checked: index < nsub.
  orxa_spect_channel_2010 d;
  std::memcpy(&d, view.at(sizeof head + static_cast<uint64_t>(index) * sizeof d), sizeof d);
  if ((d.length | d.groups | d.offset) < 0 || (d.offset & 3) != 0) return false;
  const uint64_t offset = static_cast<uint64_t>(d.offset);
  if (offset < tables_end) return false;
  uint64_t count = static_cast<uint64_t>(d.length);
  if (kind == ORXA_DATA_GSPECTRUM) count *= static_cast<uint64_t>(d.groups);
  if (!view.fits(offset, count * sizeof(float))) return false;

  place->descr = d;
  place->stats =
      has_stats ? reinterpret_cast<orxa_spect_statistics_2010*>(view.at(stats_at)) : nullptr;
  place->values = view.at(offset);
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
