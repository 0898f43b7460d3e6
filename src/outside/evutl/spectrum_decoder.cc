// Spectrum blocks (kinds 1013 and 1015): a head, nsub descriptors, an optional
// statistics table and the values at the offsets the descriptors give; located
// by locate_spect_channel.
#include "sub_block_locate.h"

bool get_spect_params_for_data_type_2010(orxa_serv_block_subhead_2010* sub, float* start,
                                         float* inc, void* /*spare*/, int* length_or_group_size,
                                         int* groups, float* group_inc,
                                         orxa_spect_statistics_2010** stats, int index) {
  SpectChannelPlace place;
  if (!locate_spect_channel(sub, sub_block_kind(sub), index, &place)) return true;
  // All read before any output is written, in case an output lies in the event.
  using Channel = orxa_spect_channel_2010;
  const char* d = place.descr;
  const float d_start = read_at<float>(d + offsetof(Channel, start));
  const float d_inc = read_at<float>(d + offsetof(Channel, inc));
  const int32_t d_length = read_at<int32_t>(d + offsetof(Channel, length));
  const int32_t d_groups = read_at<int32_t>(d + offsetof(Channel, groups));
  const float d_group_inc = read_at<float>(d + offsetof(Channel, group_inc));
  if (start != nullptr) *start = d_start;
  if (inc != nullptr) *inc = d_inc;
  if (length_or_group_size != nullptr) *length_or_group_size = d_length;
  if (groups != nullptr) *groups = d_groups;
  if (group_inc != nullptr) *group_inc = d_group_inc;
  if (stats != nullptr) *stats = place.stats;
  return false;
}

float* get_spect_channel_2010(orxa_serv_block_subhead_2010* sub, int index,
                              orxa_spect_channel_2010* descr, orxa_spect_statistics_2010** stats) {
  SpectChannelPlace place;
  if (!locate_spect_channel(sub, sub_block_kind(sub), index, &place)) return nullptr;
  if (descr != nullptr) std::memmove(descr, place.descr, sizeof *descr);
  if (stats != nullptr) *stats = place.stats;
  return reinterpret_cast<float*>(place.values);
}
