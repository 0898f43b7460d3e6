// Spectrum blocks (kinds 1013 and 1015): a head, nsub descriptors, an optional
// statistics table and the values at the offsets the descriptors give; located
// by locate_spect_channel.
#include "sub_block_locate.h"

bool get_spect_params_for_data_type_2010(orxa_serv_block_subhead_2010* sub, float* start,
                                         float* inc, void* /*spare*/, int* length_or_group_size,
                                         int* groups, float* group_inc,
                                         orxa_spect_statistics_2010** stats, int index) {
  SubBlockView view(sub);
  SpectChannelPlace place;
  if (!locate_spect_channel(view, structure_kind(view.data_type()), index, &place)) return true;
  if (start != nullptr) *start = place.descr.start;
  if (inc != nullptr) *inc = place.descr.inc;
  if (length_or_group_size != nullptr) *length_or_group_size = place.descr.length;
  if (groups != nullptr) *groups = place.descr.groups;
  if (group_inc != nullptr) *group_inc = place.descr.group_inc;
  if (stats != nullptr) *stats = place.stats;
  return false;
}

float* get_spect_channel_2010(orxa_serv_block_subhead_2010* sub, int index,
                              orxa_spect_channel_2010* descr, orxa_spect_statistics_2010** stats) {
  SubBlockView view(sub);
  SpectChannelPlace place;
  if (!locate_spect_channel(view, structure_kind(view.data_type()), index, &place)) return nullptr;
  if (descr != nullptr) *descr = place.descr;
  if (stats != nullptr) *stats = place.stats;
  return reinterpret_cast<float*>(place.values);
}
