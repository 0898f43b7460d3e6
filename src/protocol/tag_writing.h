// Pieces of an empty element with attributes: <name a="v" b="w"/> and a line end.
// Values are escaped, so any text round-trips through a reader; texts without
// the five special characters come out verbatim.
#ifndef DAQ_PROTOCOL_TAG_WRITING_H
#define DAQ_PROTOCOL_TAG_WRITING_H

#include <string>

#include "orxa_xml.h"

// Appends a blank, name="value".
inline void ADD_ATTR(std::string& out, const char* name, const char* value) {
  out += ' ';
  out += name;
  out += "=\"";
  append_xml_escaped(out, value);
  out += '"';
}

// Appends "<element" and its first attribute, leaving the element open.
inline void EMPTY_TAG_ATTR_NO_END(std::string& out, const char* element, const char* name,
                                  const char* value) {
  out += '<';
  out += element;
  ADD_ATTR(out, name, value);
}

inline void ADD_ENDN(std::string& out) { out += "/>\n"; }

// Number attributes through one small buffer each; the formats are the system's.
void ADD_INT_ATTR(std::string& out, const char* name, const char* format, int value);
void ADD_FLOAT_ATTR(std::string& out, const char* name, float value);
void EMPTY_TAG_INT_ATTRN(std::string& out, const char* element, const char* name,
                         const char* format, int value);

#endif
