// Parsing of channel texts with '@' parameters. Each part is converted on its
// own copy, so a number can never run on into the next part.
#include "channel_text.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

void read_int_part(const std::string& part, int* field) {
  int value = -1;
  if (std::sscanf(part.c_str(), "%d", &value) != 1) value = -1;
  *field = value;
}

void read_time_part(const std::string& part, float* field) {
  float value = -1.0f;
  if (std::sscanf(part.c_str() + 1, "%f", &value) != 1) value = -1.0f;
  *field = value;
}

}  // namespace

void read_channel_text(const char* text, size_t* name_length, orxa_chan_prms* prms) {
  const char* at = std::strchr(text, '@');
  *name_length = at != nullptr ? static_cast<size_t>(at - text) : std::strlen(text);
  int index = 0;
  while (at != nullptr && index < 4) {
    const char* begin = at + 1;
    at = std::strchr(begin, '@');
    std::string part = at != nullptr ? std::string(begin, at) : std::string(begin);
    bool time_form = !part.empty() && part[0] == 'T';
    switch (index) {
      case 0:
        if (time_form)
          read_time_part(part, &prms->tstart);
        else
          read_int_part(part, &prms->start);
        break;
      case 1:
        if (time_form)
          read_time_part(part, &prms->tlength);
        else
          read_int_part(part, &prms->length);
        break;
      case 2:
        if (time_form)
          read_time_part(part, &prms->tinc);
        else
          read_int_part(part, &prms->inc);
        break;
      default:
        read_int_part(part, &prms->func);
        break;
    }
    ++index;
  }
}
