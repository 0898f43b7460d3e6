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

// Bytes of 0xC0 and above, eight at a time: most documents have none at all.
bool any_lead_byte(const unsigned char* q, std::size_t n) {
  const uint64_t highs = 0x8080808080808080ULL;
  uint64_t seen = 0;
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t word;
    std::memcpy(&word, q + i, sizeof word);
    seen |= word & (word << 1) & highs;  // top two bits of a byte both set
  }
  for (; i < n; ++i) seen |= q[i] >= 0xC0 ? 1 : 0;
  return seen != 0;
}

// No lead byte of an overlong form of an ASCII character, nor of a 5 or 6 byte
// sequence. q[n] is the terminating NUL.
bool no_overlong_lead(const unsigned char* q, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    unsigned char c = q[i];
    if (c < 0xC0) continue;
    if (c == 0xC0 || c == 0xC1 || c >= 0xF5) return false;
    if (c == 0xE0 && q[i + 1] < 0xA0) return false;
    if (c == 0xF0 && q[i + 1] < 0x90) return false;
  }
  return true;
}

}  // namespace

bool ascii_only(const char* text, std::size_t n) {
  const unsigned char* q = reinterpret_cast<const unsigned char*>(text);
  uint64_t seen = 0;
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t word;
    std::memcpy(&word, q + i, sizeof word);
    seen |= word;
  }
  for (; i < n; ++i) seen |= q[i];
  return (seen & 0x8080808080808080ULL) == 0;
}

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
  std::size_t n = std::strlen(p);
  const unsigned char* q = reinterpret_cast<const unsigned char*>(p);
  if (any_lead_byte(q, n) && !no_overlong_lead(q, n)) return false;
  // '!' is rare in a document, so it is looked for rather than '<'.
  const char* end = p + n;
  for (const char* bang = static_cast<const char*>(std::memchr(p, '!', n)); bang != nullptr;
       bang = static_cast<const char*>(std::memchr(bang + 1, '!', end - bang - 1))) {
    if (bang == p || bang[-1] != '<') continue;
    if (std::strncmp(bang + 1, "--", 2) != 0 && std::strncmp(bang + 1, "[CDATA[", 7) != 0)
      return false;
  }
  return true;
}
