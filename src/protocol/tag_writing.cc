// Empty elements with one or three attributes, and number attributes. Numbers are
// formatted into stack buffers large enough for any int or float in "%f", so no
// value is ever cut.
#include "tag_writing.h"

#include <charconv>
#include <cstdio>
#include <cstring>

#include "daq_server_util_def.h"
#include "decimal_text.h"

void EMPTY_TAG_ATTRN(std::string& a, const char* b, const char* c, const char* d) {
  append_attr_head(a, b, c);
  append_xml_escaped(a, d);
  a.append("\"/>\n", 4);
}

void EMPTY_TAG_3ATTRN(std::string& a, const char* b, const char* c, const char* d, const char* e,
                      char* f, const char* g, char* h) {
  EMPTY_TAG_ATTR_NO_END(a, b, c, d);
  ADD_ATTR(a, e, f);
  ADD_ATTR(a, g, h);
  ADD_ENDN(a);
}

namespace {

// The plain decimal formats, the usual ones, without the printf machinery.
void format_int(char (&text)[24], const char* format, int value) {
  if (std::strcmp(format, "%d") == 0 || std::strcmp(format, "%i") == 0) {
    write_decimal(text, value);
    return;
  }
  if (std::strcmp(format, "0x%X") == 0) {
    text[0] = '0';
    text[1] = 'x';
    char* end =
        std::to_chars(text + 2, text + sizeof text - 1, static_cast<unsigned>(value), 16).ptr;
    *end = '\0';
    for (char* c = text + 2; c < end; ++c) {
      if (*c >= 'a') *c = static_cast<char>(*c - 'a' + 'A');
    }
    return;
  }
  std::snprintf(text, sizeof text, format, value);
}

}  // namespace

void ADD_INT_ATTR(std::string& out, const char* name, const char* format, int value) {
  char text[24];
  format_int(text, format, value);
  ADD_ATTR(out, name, text);
}

void ADD_FLOAT_ATTR(std::string& out, const char* name, float value) {
  // FLT_MAX in "%f" needs 46 characters plus sign.
  char text[64];
  std::snprintf(text, sizeof text, "%f", static_cast<double>(value));
  ADD_ATTR(out, name, text);
}

void EMPTY_TAG_INT_ATTRN(std::string& out, const char* element, const char* name,
                         const char* format, int value) {
  char text[24];
  format_int(text, format, value);
  EMPTY_TAG_ATTRN(out, element, name, text);
}
