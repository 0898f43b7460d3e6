// Sub-blocks that carry one whole object: an image with its extended frame head,
// and a complete control-system data object serialised by the producer.
#ifndef DAQ_CACHE_SUB_BLOCK_OBJECTS_H
#define DAQ_CACHE_SUB_BLOCK_OBJECTS_H

#include <cstring>

#include "channel_target.h"
#include "conversion_result.h"
#include "daq_diag.h"
#include "sub_block.h"
#include "velmor.h"

static_assert(sizeof(velmor::IMH) == sizeof(orxa_image_ext_frame_head), "the frame head is an IMH");

template <class Gen>
void convert_image(ChannelTarget<Gen>& target, const SubBlock& b) {
  velmor::EqData* d = target.data();
  d->set_type(velmor::DATA_IMAGE);
  orxa_image_ext_frame_head frame{};
  orxa_image_ext_frame_head* frame_in_event = nullptr;
  unsigned char* bytes = nullptr;
  if (get_image_ext_params(b.head, &frame, &frame_in_event, &bytes) ||
      !lies_inside<unsigned char>(bytes, frame.length, b)) {
    daq_print("daq_data_to_cache() Failed to get image_ext parameters for %s skipping error: %d\n",
              shown(b.name).text, 1);
    target.take_out();
    return;
  }
  velmor::IMH header;
  std::memcpy(&header, &frame, sizeof header);
  if (d->set_image(bytes, frame.length, &header, velmor::no)) target.mark_lost();
  d->set_image_comm(b.name);
}

// A failed decode aborts the whole event: the caller returns CONV_BAD_INPUT.
template <class Gen>
int convert_data_object(ChannelTarget<Gen>& target, const SubBlock& b, char* server_block) {
  velmor::EqData* decoded = nullptr;
  int r = Gen::decode_object(server_block, b.head, &decoded);
  if (r != 0) {
    Gen::report_decode_failure(r);
    return CONV_BAD_INPUT;
  }
  if (target.data()->copy_from(decoded)) target.mark_lost();  // memory ran out
  delete decoded;
  return CONV_OK;
}

#endif
