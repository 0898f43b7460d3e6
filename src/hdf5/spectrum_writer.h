// Spectra and group spectra, as rows of S spectra of the group's length.
#ifndef DAQ_HDF5_SPECTRUM_WRITER_H
#define DAQ_HDF5_SPECTRUM_WRITER_H

#include <memory>

#include "channel_writer.h"

std::unique_ptr<ChannelWriter> make_spectrum_writer(ChannelInfo info, const ValueLayout& layout);

#endif
