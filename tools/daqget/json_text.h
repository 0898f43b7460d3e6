// Compact JSON written straight into a line, byte for byte as the JSON library
// dumps the same document: a spectrum carries thousands of numbers, and a
// document per line cost more than the numbers themselves.
#ifndef DAQGET_JSON_TEXT_H
#define DAQGET_JSON_TEXT_H

#include <charconv>
#include <cstddef>
#include <cstring>
#include <string>

#include "number_text.h"

// A JSON string as the JSON library writes it, invalid UTF-8 replaced.
void append_json_string(std::string& out, const std::string& text);

// The members of one object, appended in order; the caller writes the braces.
class JsonText {
 public:
  // first false: members already precede the ones appended here.
  explicit JsonText(std::string& out, bool first = true) : out_(out), first_(first) {}
  // name: a literal that needs no escapes; the member's start is one append.
  template <size_t N>
  JsonText& key(const char (&name)[N]) {
    char text[N + 3];
    text[0] = ',';
    text[1] = '"';
    std::memcpy(text + 2, name, N - 1);
    text[N + 1] = '"';
    text[N + 2] = ':';
    out_.append(first_ ? text + 1 : text, first_ ? N + 2 : N + 3);
    first_ = false;
    return *this;
  }
  JsonText& text(const std::string& v) {
    append_json_string(out_, v);
    return *this;
  }
  JsonText& real(double v) {
    append_json_float(out_, v);
    return *this;
  }
  template <typename Int>
  JsonText& integer(Int v) {
    char text[24];
    out_.append(text, static_cast<size_t>(std::to_chars(text, text + sizeof text, v).ptr - text));
    return *this;
  }
  // Before each element of an array: the comma after the first.
  void next(bool* first) {
    if (!*first) out_ += ',';
    *first = false;
  }
  JsonText& reals(const float* begin, const float* end) {
    out_ += '[';
    {
      NumberRun run(out_);
      for (const float* v = begin; v != end; ++v) run.json_float(v != begin ? ',' : '\0', *v);
    }
    out_ += ']';
    return *this;
  }

 private:
  std::string& out_;
  bool first_;
};

#endif
