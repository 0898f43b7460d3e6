// The public look-ups of the data-type table (data_type_info.h): structure kind,
// number of sub-channels and their names.
#include <cstdio>

#include "data_type_info.h"
#include "orxa_evutl.h"
#include "sub_block_view.h"

namespace {

// "IN000" ... "IN129", built once; static initialisation is thread-safe.
const char* input_name(int index) {
  struct Names {
    char text[ORXA_MULTI_SPECT_A_CHANNELS][8];
    Names() {
      for (int i = 0; i < ORXA_MULTI_SPECT_A_CHANNELS; ++i) {
        std::snprintf(text[i], sizeof text[i], "IN%03d", i);
      }
    }
  };
  static const Names names;
  return names.text[index];
}

const char* const kPositionNames[ORXA_MULTI_SPECT_B_CHANNELS] = {"X", "Y", "CHARGE", "SUM"};

}  // namespace

int get_data_structure_type(int dtype) { return structure_kind(dtype); }

int get_channel_number(int dtype, orxa_serv_block_subhead_2010* sub) {
  const DataTypeInfo* info = find_data_type(dtype);
  if (info == nullptr) return -1;
  if (info->nsub != 0) return info->nsub;
  if (sub == nullptr) return -1;
  SubBlockView view(sub);
  orxa_spect_block_2010 head;
  if (!view.load(0, &head) || head.nsub < 0) return 0;
  // A count whose descriptors do not fit would send the caller to indices that
  // all fail; report the block as invalid instead.
  if (!view.fits(sizeof head, static_cast<uint64_t>(head.nsub) * sizeof(orxa_spect_channel_2010))) {
    return 0;
  }
  return head.nsub;
}

const char* get_chan_name(int dtype, int index) {
  const DataTypeInfo* info = find_data_type(dtype);
  if (info == nullptr || index < 0) return nullptr;
  switch (info->data_type) {
    case ORXA_MULTI_SPECT_A:
      return index < ORXA_MULTI_SPECT_A_CHANNELS ? input_name(index) : nullptr;
    case ORXA_MULTI_SPECT_B:
      return index < ORXA_MULTI_SPECT_B_CHANNELS ? kPositionNames[index] : nullptr;
    default:
      return index == 0 ? "" : nullptr;
  }
}
