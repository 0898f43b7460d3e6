// Camera images (rows of height x width pixels with their headers) and the
// raw fallback (bytes as they came, for any value the other kinds cannot hold).
#ifndef DAQ_HDF5_IMAGE_WRITER_H
#define DAQ_HDF5_IMAGE_WRITER_H

#include <memory>

#include "channel_writer.h"

std::unique_ptr<ChannelWriter> make_image_writer(ChannelInfo info, const ValueLayout& layout);
std::unique_ptr<ChannelWriter> make_raw_writer(ChannelInfo info, const ValueLayout& layout);

#endif
