// The kind of a group follows from the layout of its first value.
#include "channel_writer.h"
#include "image_writer.h"
#include "simple_writers.h"
#include "spectrum_writer.h"

std::unique_ptr<ChannelWriter> make_channel_writer(ChannelInfo info, const ValueLayout& layout) {
  switch (layout.kind) {
    case ValueKind::number:
      return make_number_writer(std::move(info), layout);
    case ValueKind::spectrum:
      return make_spectrum_writer(std::move(info), layout);
    case ValueKind::image:
      return make_image_writer(std::move(info), layout);
    case ValueKind::items:
      return make_items_writer(std::move(info), layout);
    case ValueKind::text:
      return make_text_writer(std::move(info), layout);
    case ValueKind::raw:
      return make_raw_writer(std::move(info), layout);
    case ValueKind::slow:
      return make_slow_writer(std::move(info), layout);
    case ValueKind::none:
      break;
  }
  return make_none_writer(std::move(info), layout);
}
