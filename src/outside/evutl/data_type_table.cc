// The DAQ data-type table (docs/event-format.md): for each data type the structure
// kind, the number of sub-channels and their names. Callers may pass a whole type
// word; it is split first, so a device type in the high bits never changes the kind.
#include <cstdio>

#include "orxa_evutl.h"
#include "sub_block_view.h"

namespace {

// nsub 0: the count is read from the block.
struct DataTypeInfo {
  int data_type;
  int kind;
  int nsub;
};

constexpr DataTypeInfo kTable[] = {
    {ORXA_DT_EQDATA, ORXA_DATA_EQDATA, 1},
    {ORXA_DT_NAMVAL, ORXA_DATA_NAMVAL, 1},
    {ORXA_DT_IMAGE_EXT, ORXA_DATA_IMAGE_EXT, 1},
    {ORXA_DT_SPECTRUM, ORXA_DATA_SPECTRUM, 1},
    {ORXA_DT_GSPECTRUM, ORXA_DATA_GSPECTRUM, 0},
    {ORXA_DT_STAMP, ORXA_DATA_STAMP, 1},
    {ORXA_MULTI_SPECT_A, ORXA_DATA_SPECTRUM, ORXA_MULTI_SPECT_A_CHANNELS},
    {ORXA_MULTI_SPECT_B, ORXA_DATA_SPECTRUM, ORXA_MULTI_SPECT_B_CHANNELS},
    {ORXA_UPD_BLOCK_2010, ORXA_DATA_SLOW, 1},
};

const DataTypeInfo* find_data_type(int dtype) {
  int data_type = orxa_data_type_of(dtype);
  for (const DataTypeInfo& info : kTable) {
    if (info.data_type == data_type) return &info;
  }
  return nullptr;
}

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

int get_data_structure_type(int dtype) {
  const DataTypeInfo* info = find_data_type(dtype);
  return info != nullptr ? info->kind : -1;
}

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
