// Channel texts with '@' parameters: "NAME@p1@p2@p3@p4".
#ifndef CONNECTION_CHANNEL_TEXT_H
#define CONNECTION_CHANNEL_TEXT_H

#include <cstddef>

#include "daq_server_util_def.h"

// Reads the parameters of a channel text into prms (fields not given stay as
// passed in) and stores the length of the name part in *name_length.
// Parts starting with 'T' are time values (tstart, tlength, tinc); others are
// start, length, inc; the fourth part is always func. A part that does not
// convert leaves -1 / -1.0; text after a part's number is ignored.
void read_channel_text(const char* text, size_t* name_length, orxa_chan_prms* prms);

#endif
