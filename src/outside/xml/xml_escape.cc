// Escaping of attribute values. Beyond the five special characters, a reader
// normalises tab, line feed and carriage return inside attribute values to blanks,
// so those are written as character references to survive the round trip. Bytes
// that XML 1.0 cannot carry at all (other control characters, malformed UTF-8,
// U+FFFE/U+FFFF) would make the whole document unreadable; each such byte is
// written as '?' instead, so one bad text never costs the rest of a document.
#include <cstddef>
#include <cstring>

#include "orxa_xml.h"

namespace {

// Length of the valid UTF-8 sequence at s (at least 2 bytes), or 0 when malformed.
std::size_t valid_utf8_length(const unsigned char* s) {
  unsigned c = s[0];
  if (c >= 0xC2 && c <= 0xDF) return (s[1] & 0xC0) == 0x80 ? 2 : 0;
  if (c >= 0xE0 && c <= 0xEF) {
    if ((s[1] & 0xC0) != 0x80 || (s[2] & 0xC0) != 0x80) return 0;
    unsigned cp = ((c & 0x0F) << 12) | ((s[1] & 0x3F) << 6) | (s[2] & 0x3F);
    if (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF) || cp == 0xFFFE || cp == 0xFFFF) return 0;
    return 3;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    if ((s[1] & 0xC0) != 0x80 || (s[2] & 0xC0) != 0x80 || (s[3] & 0xC0) != 0x80) return 0;
    unsigned cp = ((c & 0x07) << 18) | ((s[1] & 0x3F) << 12) | ((s[2] & 0x3F) << 6) | (s[3] & 0x3F);
    if (cp < 0x10000 || cp > 0x10FFFF) return 0;
    return 4;
  }
  return 0;
}

const char* replacement_for(unsigned char c) {
  switch (c) {
    case '"':
      return "&quot;";
    case '<':
      return "&lt;";
    case '>':
      return "&gt;";
    case '&':
      return "&amp;";
    case '\'':
      return "&apos;";
    case '\t':
      return "&#9;";
    case '\n':
      return "&#10;";
    case '\r':
      return "&#13;";
    default:
      return c < 0x20 ? "?" : nullptr;
  }
}

}  // namespace

void append_xml_escaped(std::string& out, const char* value) {
  if (value == nullptr) return;
  const unsigned char* s = reinterpret_cast<const unsigned char*>(value);
  const unsigned char* run = s;  // start of the bytes not yet appended
  while (*s != 0) {
    unsigned char c = *s;
    if (c >= 0x80) {
      // Sequence bytes are never NUL, so the checks stop at the terminator.
      std::size_t n = valid_utf8_length(s);
      if (n != 0) {
        s += n;
        continue;
      }
      out.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(s - run));
      out += '?';
      run = ++s;
      continue;
    }
    const char* rep = replacement_for(c);
    if (rep == nullptr) {
      ++s;
      continue;
    }
    out.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(s - run));
    out += rep;
    run = ++s;
  }
  out.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(s - run));
}
