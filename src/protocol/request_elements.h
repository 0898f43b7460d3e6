// The elements inside DAQREQ, read into a request record. Shared by the request
// readers (memory and file) and by the reply reader, which differ only in a few
// rules and in the names their messages carry.
#ifndef DAQ_PROTOCOL_REQUEST_ELEMENTS_H
#define DAQ_PROTOCOL_REQUEST_ELEMENTS_H

#include <cstring>

#include "attr_source.h"
#include "daq_server_util_def.h"

enum class RequestReader { memory, file, reply };

enum class ElementResult { ignored, handled, failed };

// Whether the element's name is name; the first letters settle most comparisons
// of a document's element against the names a reader knows.
inline bool is_tag(const char* tag, const char* name) {
  return tag[0] == name[0] && std::strcmp(tag, name) == 0;
}

// Handles one element of a request section. failed: a value was invalid or memory
// ran out; the message is printed and the value stays in its field.
ElementResult read_request_element(const char* tag, const AttrSource& attrs,
                                   daq_server_request* request, RequestReader reader);

#endif
