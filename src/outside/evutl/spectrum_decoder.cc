// Spectrum blocks (kinds 1013 and 1015): a head, nsub descriptors, an optional
// statistics table and the values at the offsets the descriptors give. The
// tables are checked as a whole before any descriptor is read; a descriptor's
// values must lie after the tables and inside the sub-block. Sizes are computed in
// 64 bits, where count x size of 32-bit fields cannot overflow.
#include "sub_block_locate.h"

bool locate_spect_channel(const SubBlockView& view, int kind, int index, SpectChannelPlace* place) {
  if (kind != ORXA_DATA_SPECTRUM && kind != ORXA_DATA_GSPECTRUM) return false;
  orxa_spect_block_2010 head;
  if (!view.load(0, &head)) return false;
  if (head.nsub < 0 || index < 0 || index >= head.nsub) return false;
  const uint64_t nsub = static_cast<uint64_t>(head.nsub);
  const uint64_t descr_at = sizeof head;
  uint64_t tables_end = descr_at + nsub * sizeof(orxa_spect_channel_2010);
  const uint64_t stats_at = tables_end;
  const bool has_stats = (head.flags & ORXA_SPECT_HAS_STATISTICS) != 0;
  if (has_stats) tables_end += nsub * sizeof(orxa_spect_statistics_2010);
  if (!view.fits(0, tables_end)) return false;

  orxa_spect_channel_2010 d;
  if (!view.load(descr_at + static_cast<uint64_t>(index) * sizeof d, &d)) return false;
  if (d.length < 0 || d.groups < 0 || d.offset < 0 || d.offset % 4 != 0) return false;
  if (static_cast<uint64_t>(d.offset) < tables_end) return false;
  uint64_t count = static_cast<uint64_t>(d.length);
  if (kind == ORXA_DATA_GSPECTRUM) count *= static_cast<uint64_t>(d.groups);
  if (!view.fits(static_cast<uint64_t>(d.offset), count * sizeof(float))) return false;

  place->descr = d;
  place->stats =
      has_stats ? reinterpret_cast<orxa_spect_statistics_2010*>(view.at(stats_at)) : nullptr;
  place->values = view.at(static_cast<uint64_t>(d.offset));
  return true;
}

bool get_spect_params_for_data_type_2010(orxa_serv_block_subhead_2010* sub, float* start,
                                         float* inc, void* /*spare*/, int* length_or_group_size,
                                         int* groups, float* group_inc,
                                         orxa_spect_statistics_2010** stats, int index) {
  SubBlockView view(sub);
  SpectChannelPlace place;
  if (!locate_spect_channel(view, get_data_structure_type(view.data_type()), index, &place))
    return true;
  if (start != nullptr) *start = place.descr.start;
  if (inc != nullptr) *inc = place.descr.inc;
  if (length_or_group_size != nullptr) *length_or_group_size = place.descr.length;
  if (groups != nullptr) *groups = place.descr.groups;
  if (group_inc != nullptr) *group_inc = place.descr.group_inc;
  if (stats != nullptr) *stats = place.stats;
  return false;
}
