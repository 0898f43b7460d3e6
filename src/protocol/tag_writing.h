// Pieces of an empty element with attributes: <name a="v" b="w"/> and a line end.
// Values are escaped, so any text round-trips through a reader; texts without
// the five special characters come out verbatim.
#ifndef DAQ_PROTOCOL_TAG_WRITING_H
#define DAQ_PROTOCOL_TAG_WRITING_H

#include <cstring>
#include <string>

#include "orxa_xml.h"

// Appends lead, then name="  (lead is '<' element ' ', or ' '), in one step:
// documents are mostly these pieces, and each append of its own costs as much
// as the copy.
inline void append_attr_head(std::string& out, const char* element, const char* name) {
  std::size_t le = element != nullptr ? std::strlen(element) : 0;
  std::size_t ln = std::strlen(name);
  std::size_t at = out.size();
  out.resize(at + (element != nullptr ? le + 2 : 1) + ln + 2);
  char* w = &out[at];
  if (element != nullptr) {
    *w++ = '<';
    std::memcpy(w, element, le);
    w += le;
  }
  *w++ = ' ';
  std::memcpy(w, name, ln);
  w += ln;
  *w++ = '=';
  *w = '"';
}

// Appends a blank, name="value".
inline void ADD_ATTR(std::string& out, const char* name, const char* value) {
  append_attr_head(out, nullptr, name);
  append_xml_escaped(out, value);
  out += '"';
}

// Appends "<element" and its first attribute, leaving the element open.
inline void EMPTY_TAG_ATTR_NO_END(std::string& out, const char* element, const char* name,
                                  const char* value) {
  append_attr_head(out, element, name);
  append_xml_escaped(out, value);
  out += '"';
}

inline void ADD_ENDN(std::string& out) { out += "/>\n"; }

// Number attributes through one small buffer each; the formats are the system's.
void ADD_INT_ATTR(std::string& out, const char* name, const char* format, int value);
void ADD_FLOAT_ATTR(std::string& out, const char* name, float value);
void EMPTY_TAG_INT_ATTRN(std::string& out, const char* element, const char* name,
                         const char* format, int value);

#endif
