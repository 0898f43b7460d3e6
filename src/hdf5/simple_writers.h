// The kinds whose rows are copied straight from the value: numbers, texts,
// name/value items, slow-data entries and values with no data.
#ifndef DAQ_HDF5_SIMPLE_WRITERS_H
#define DAQ_HDF5_SIMPLE_WRITERS_H

#include <memory>

#include "channel_writer.h"

std::unique_ptr<ChannelWriter> make_number_writer(ChannelInfo info, const ValueLayout& layout);
std::unique_ptr<ChannelWriter> make_text_writer(ChannelInfo info, const ValueLayout& layout);
std::unique_ptr<ChannelWriter> make_items_writer(ChannelInfo info, const ValueLayout& layout);
std::unique_ptr<ChannelWriter> make_slow_writer(ChannelInfo info, const ValueLayout& layout);
std::unique_ptr<ChannelWriter> make_none_writer(ChannelInfo info, const ValueLayout& layout);

#endif
