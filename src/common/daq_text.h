// Bounded copies into fixed-size text fields. A field declared char f[N] holds at
// most N-1 characters plus the NUL; every copy into one goes through copy_text.
#ifndef DAQ_TEXT_H
#define DAQ_TEXT_H

#include <cstddef>
#include <cstring>

// Copies at most min(max_chars, size - 1) characters of src and always terminates.
// Returns true when src had to be cut.
inline bool copy_text(char* dst, std::size_t size, const char* src,
                      std::size_t max_chars = static_cast<std::size_t>(-1)) {
  if (dst == nullptr || size == 0) return src != nullptr && *src != '\0';
  if (src == nullptr) {
    dst[0] = '\0';
    return false;
  }
  std::size_t limit = size - 1;
  if (max_chars < limit) limit = max_chars;
  std::size_t n = ::strnlen(src, limit + 1);
  bool cut = n > limit;
  if (cut) n = limit;
  std::memcpy(dst, src, n);
  dst[n] = '\0';
  return cut;
}

template <std::size_t N>
inline bool copy_text(char (&dst)[N], const char* src,
                      std::size_t max_chars = static_cast<std::size_t>(-1)) {
  return copy_text(dst, N, src, max_chars);
}

// Length of a text stored in a field of size N that a peer may have left unterminated.
template <std::size_t N>
inline std::size_t field_length(const char (&field)[N]) {
  return ::strnlen(field, N);
}

// A peer's text made fit for one diagnostic line: control characters become '?',
// so a hostile channel name can neither split a line nor forge another one.
struct ShownText {
  char text[256];
};
inline ShownText shown(const char* src) {
  ShownText out;
  std::size_t n = 0;
  for (; src != nullptr && src[n] != '\0' && n + 1 < sizeof out.text; ++n) {
    unsigned char c = static_cast<unsigned char>(src[n]);
    out.text[n] = c < 0x20 || c == 0x7f ? '?' : src[n];
  }
  out.text[n] = '\0';
  return out;
}

#endif
