// Results of the conversions, as the receiver and the monitor queries read them.
#ifndef DAQ_CACHE_CONVERSION_RESULT_H
#define DAQ_CACHE_CONVERSION_RESULT_H

enum {
  CONV_OK = 0,
  CONV_NO_CHANNELS = -1,  // a channel list without elements
  CONV_BAD_INPUT = -2,    // null or malformed input, or a failed object decode
  CONV_NO_MEMORY = -3,
  CONV_FULL = -4  // a full list and no record to reuse (or an unknown slow pattern)
};

#endif
