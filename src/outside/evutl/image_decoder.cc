// Image sub-blocks: the 100-byte frame head, then `length` image bytes. length is
// the authority for the byte count; the geometry fields are only checked for sign,
// since compressed formats need not obey width x height x bpp.
#include <cstring>

#include "sub_block_locate.h"

bool locate_image(const SubBlockView& view, ImagePlace* place) {
  if (structure_kind(view.data_type()) != ORXA_DATA_IMAGE_EXT) return false;
  orxa_image_ext_frame_head h;
  if (!view.load(0, &h)) return false;
  if (h.length < 0 || h.width < 0 || h.height < 0 || h.aoi_width < 0 || h.aoi_height < 0 ||
      h.bpp < 0) {
    return false;
  }
  if (!view.fits(sizeof h, static_cast<uint64_t>(h.length))) return false;
  place->head = h;
  place->head_in_event = view.at(0);
  place->bytes = view.at(sizeof h);
  return true;
}

bool get_image_ext_params(orxa_serv_block_subhead_2010* sub, orxa_image_ext_frame_head* frame,
                          orxa_image_ext_frame_head** frame_in_event, unsigned char** image_bytes) {
  SubBlockView view(sub);
  ImagePlace place;
  if (!locate_image(view, &place)) return true;
  if (frame != nullptr) *frame = place.head;
  if (frame_in_event != nullptr) {
    *frame_in_event = reinterpret_cast<orxa_image_ext_frame_head*>(place.head_in_event);
  }
  if (image_bytes != nullptr) *image_bytes = reinterpret_cast<unsigned char*>(place.bytes);
  return false;
}
