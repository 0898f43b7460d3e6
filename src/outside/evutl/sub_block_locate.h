// Locating the parts of each sub-block kind inside a checked view. The public
// decoders and get_pointer_to_data_2010 share these, so a bound is checked in
// exactly one place per kind. Each returns false when the part is not inside the
// sub-block (or the sub-block is not of the kind).
#ifndef EVUTL_SUB_BLOCK_LOCATE_H
#define EVUTL_SUB_BLOCK_LOCATE_H

#include "orxa_evutl.h"
#include "sub_block_view.h"

struct SpectChannelPlace {
  orxa_spect_channel_2010 descr;
  orxa_spect_statistics_2010* stats;  // table of all sub-channels, or null
  char* values;
};
// kind: get_data_structure_type of the view's data type, which callers have at hand.
bool locate_spect_channel(const SubBlockView& view, int kind, int index, SpectChannelPlace* place);

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
