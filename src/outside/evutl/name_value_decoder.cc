// Name/value blocks: the layout is fixed by the stream and the conversion reads the
// records in place; this only says how many of the ndata records really lie in the
// sub-block, so that a reader never follows ndata past ldata.
#include "sub_block_locate.h"

bool locate_name_values(const SubBlockView& view, int32_t* usable) {
  if (structure_kind(view.data_type()) != ORXA_DATA_NAMVAL) return false;
  if (!view.fits(0, ORXA_NAME_VALUE_BLOCK_HEAD)) return false;
  int32_t ndata = 0;
  view.load(offsetof(orxa_name_value_block, ndata), &ndata);
  uint64_t fitting = (view.size() - ORXA_NAME_VALUE_BLOCK_HEAD) / sizeof(orxa_name_value_channel);
  if (ndata < 0) ndata = 0;
  *usable = static_cast<uint64_t>(ndata) < fitting ? ndata : static_cast<int32_t>(fitting);
  return true;
}

orxa_name_value_block* get_name_value_block_2010(orxa_serv_block_subhead_2010* sub, int* usable) {
  SubBlockView view(sub);
  int32_t n = 0;
  if (!locate_name_values(view, &n)) return nullptr;
  if (usable != nullptr) *usable = n;
  return reinterpret_cast<orxa_name_value_block*>(view.at(0));
}
