// The DAQ data-type table (docs/event-format.md) with an index by data type, so
// that every decoder finds a sub-block's kind with one bounded array read instead
// of a scan: the lookup runs for every sub-channel of every event.
#ifndef EVUTL_DATA_TYPE_INFO_H
#define EVUTL_DATA_TYPE_INFO_H

#include "orxa_evutl.h"

// nsub 0: the count is read from the block.
struct DataTypeInfo {
  int data_type;
  int kind;
  int nsub;
};

inline constexpr DataTypeInfo kDataTypes[] = {
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

// Position in kDataTypes of each data type below kTypeSlots, -1 for none. A data
// type at or above kTypeSlots fails to compile here rather than go unfound.
inline constexpr int kTypeSlots = 64;
struct DataTypeIndex {
  signed char pos[kTypeSlots];
};
constexpr DataTypeIndex make_data_type_index() {
  DataTypeIndex index{};
  for (signed char& p : index.pos) p = -1;
  for (int i = 0; i < static_cast<int>(sizeof kDataTypes / sizeof kDataTypes[0]); ++i)
    index.pos[kDataTypes[i].data_type] = static_cast<signed char>(i);
  return index;
}
inline constexpr DataTypeIndex kDataTypeIndex = make_data_type_index();

// Callers may pass a whole type word; it is split first, so a device type in the
// high bits never changes the kind.
inline const DataTypeInfo* find_data_type(int dtype) {
  const int data_type = orxa_data_type_of(dtype);
  if (static_cast<unsigned>(data_type) >= static_cast<unsigned>(kTypeSlots)) return nullptr;
  const int pos = kDataTypeIndex.pos[data_type];
  return pos < 0 ? nullptr : &kDataTypes[pos];
}

// The kind of each data type below kTypeSlots, -1 for none: one load instead of
// two dependent ones, on the path of every decoder call.
struct DataTypeKinds {
  short kind[kTypeSlots];
};
constexpr DataTypeKinds make_data_type_kinds() {
  DataTypeKinds kinds{};
  for (int t = 0; t < kTypeSlots; ++t) {
    const int pos = kDataTypeIndex.pos[t];
    kinds.kind[t] = static_cast<short>(pos < 0 ? -1 : kDataTypes[pos].kind);
  }
  return kinds;
}
inline constexpr DataTypeKinds kDataTypeKinds = make_data_type_kinds();

// Structure kind of a data type (or whole type word), -1 for an unknown one.
inline int structure_kind(int dtype) {
  const int data_type = orxa_data_type_of(dtype);
  if (static_cast<unsigned>(data_type) >= static_cast<unsigned>(kTypeSlots)) return -1;
  return kDataTypeKinds.kind[data_type];
}

#endif
