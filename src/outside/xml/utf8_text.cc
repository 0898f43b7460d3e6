// Our own converter rather than a Xerces transcoder: it runs once per element
// name and attribute, where creating a transcoder each time would dominate the
// cost of reading a document, and it cannot fail. One UTF-16 unit never needs
// more than three UTF-8 bytes (a surrogate pair, two units, needs four), so the
// output is sized at most twice and written through a pointer.
#include "utf8_text.h"

void assign_utf8(std::string& out, const XMLCh* text) {
  if (text == nullptr) {
    out.clear();
    return;
  }
  std::size_t units = 0;
  while (text[units] != 0) ++units;
  // Names and values are nearly always ASCII: one byte a unit, until the first
  // unit that is not. Not cleared first: a kept string only shrinks or grows
  // by the difference.
  out.resize(units);
  char* w = &out[0];
  const XMLCh* p = text;
  while (*p != 0 && *p < 0x80) *w++ = static_cast<char>(*p++);
  if (*p == 0) return;
  std::size_t done = static_cast<std::size_t>(w - out.data());
  out.resize(done + 3 * (units - done));
  w = &out[done];
  for (; *p != 0; ++p) {
    unsigned cp = *p;
    if (cp < 0x80) {
      *w++ = static_cast<char>(cp);
      continue;
    }
    if (cp >= 0xD800 && cp <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<unsigned>(p[1]) - 0xDC00);
      ++p;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    if (cp < 0x800) {
      *w++ = static_cast<char>(0xC0 | (cp >> 6));
    } else if (cp < 0x10000) {
      *w++ = static_cast<char>(0xE0 | (cp >> 12));
      *w++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    } else {
      *w++ = static_cast<char>(0xF0 | (cp >> 18));
      *w++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      *w++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    }
    *w++ = static_cast<char>(0x80 | (cp & 0x3F));
  }
  out.resize(static_cast<std::size_t>(w - out.data()));
}
