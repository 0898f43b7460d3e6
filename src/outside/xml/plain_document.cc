// The test is on bytes, before any decoding, so it must not be fooled by an
// encoding that spells '<' differently: EBCDIC and UTF-16 documents cannot start
// with the byte '<' (UTF-16's NUL bytes end the text first), a declared encoding
// other than UTF-8 sends the document to the other scanner, and the bytes that
// could start an overlong (or 5 and 6 byte) UTF-8 sequence do too. What is left
// decodes every ASCII character from its own byte, so "<!" followed by anything
// but a comment or a CDATA section is seen here.
#include "plain_document.h"

#include <cstdint>
#include <cstring>

namespace {

bool xml_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool same_ignoring_case(const char* a, const char* b, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    char x = a[i] >= 'a' && a[i] <= 'z' ? static_cast<char>(a[i] - 'a' + 'A') : a[i];
    if (x != b[i]) return false;
  }
  return true;
}

// The XML declaration in [p, end) (its closing '?' excluded) names no encoding
// or exactly one, UTF-8.
bool declares_utf8_only(const char* p, const char* end) {
  static const char kName[] = "encoding";
  const std::size_t len = sizeof kName - 1;
  const char* found = nullptr;
  for (const char* q = p; q + len <= end; ++q) {
    if (std::memcmp(q, kName, len) != 0) continue;
    if (found != nullptr) return false;
    found = q;
  }
  if (found == nullptr) return true;
  const char* q = found + len;
  while (q < end && xml_space(*q)) ++q;
  if (q == end || *q++ != '=') return false;
  while (q < end && xml_space(*q)) ++q;
  if (q == end || (*q != '"' && *q != '\'')) return false;
  char quote = *q++;
  return end - q > 5 && same_ignoring_case(q, "UTF-8", 5) && q[5] == quote;
}

// Eight bytes at a time: most of a document is ASCII without a '<'.
bool any_markup_or_high_byte(uint64_t word) {
  const uint64_t ones = 0x0101010101010101ULL;
  const uint64_t highs = 0x8080808080808080ULL;
  uint64_t lt = word ^ (ones * '<');
  return ((word | ((lt - ones) & ~lt)) & highs) != 0;
}

}  // namespace

bool plain_document(const char* text) {
  if (text == nullptr) return false;
  const char* p = text;
  if (std::strncmp(p, "\xEF\xBB\xBF", 3) == 0) p += 3;
  if (*p != '<') return false;
  if (std::strncmp(p, "<?xml", 5) == 0 && xml_space(p[5])) {
    const char* close = std::strchr(p, '>');
    // A '>' inside a quoted value would hide the rest of the declaration.
    if (close == nullptr || close[-1] != '?') return false;
    if (!declares_utf8_only(p, close - 1)) return false;
  }
  const unsigned char* q = reinterpret_cast<const unsigned char*>(p);
  const unsigned char* end = q + std::strlen(p);
  while (q < end) {
    if (end - q >= 8) {
      uint64_t word;
      std::memcpy(&word, q, sizeof word);
      if (!any_markup_or_high_byte(word)) {
        q += 8;
        continue;
      }
    }
    // q[1] is at most the terminating NUL.
    unsigned char c = *q;
    if (c == '<' && q[1] == '!') {
      const char* after = reinterpret_cast<const char*>(q) + 2;
      if (std::strncmp(after, "--", 2) != 0 && std::strncmp(after, "[CDATA[", 7) != 0) return false;
    } else if (c >= 0xC0) {
      if (c == 0xC0 || c == 0xC1 || c >= 0xF5) return false;
      if (c == 0xE0 && q[1] < 0xA0) return false;
      if (c == 0xF0 && q[1] < 0x90) return false;
    }
    ++q;
  }
  return true;
}
