// get_pointer_to_data_2010: where the data of one sub-channel or record starts,
// for every kind, through the same locators the kind's decoder uses.
#include "sub_block_locate.h"

namespace {

// Every kind but spectra. Out of line, so that the spectrum path needs no frame.
__attribute__((noinline)) void* other_kind_pointer(const orxa_serv_block_subhead_2010* sub,
                                                   int index) {
  SubBlockView view(sub);
  if (!view.valid() || index < 0) return nullptr;
  switch (structure_kind(view.data_type())) {
    case ORXA_DATA_IMAGE_EXT: {
      ImagePlace place;
      return index == 0 && locate_image(view, &place) ? place.bytes : nullptr;
    }
    case ORXA_DATA_EQDATA: {
      char* bytes = nullptr;
      int32_t nbytes = 0;
      return index == 0 && locate_object(view, &bytes, &nbytes) ? bytes : nullptr;
    }
    case ORXA_DATA_NAMVAL: {
      int32_t usable = 0;
      if (!locate_name_values(view, &usable) || index >= usable) return nullptr;
      return view.at(ORXA_NAME_VALUE_BLOCK_HEAD +
                     static_cast<uint64_t>(index) * sizeof(orxa_name_value_channel));
    }
    case ORXA_DATA_SLOW: {
      int32_t count = 0;
      if (!locate_update_records(view, &count) || index >= count) return nullptr;
      return update_record(view, index);
    }
    default:
      return nullptr;
  }
}

}  // namespace

void* get_pointer_to_data_2010(orxa_serv_block_subhead_2010* sub, int index) {
  // Spectra first, without a view: the one kind read sub-channel after sub-channel.
  const int kind = sub_block_kind(sub);
  if (kind != ORXA_DATA_SPECTRUM && kind != ORXA_DATA_GSPECTRUM)
    return other_kind_pointer(sub, index);
  SpectChannelPlace place;
  return locate_spect_channel(sub, kind, index, &place) ? place.values : nullptr;
}
