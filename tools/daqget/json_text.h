// Compact JSON written straight into a line, byte for byte as the JSON library
// dumps the same document: a spectrum carries thousands of numbers, and a
// document per line cost more than the numbers themselves.
#ifndef DAQGET_JSON_TEXT_H
#define DAQGET_JSON_TEXT_H

#include <charconv>
#include <cstddef>
#include <string>

#include "number_text.h"

// A JSON string as the JSON library writes it, invalid UTF-8 replaced.
void append_json_string(std::string& out, const std::string& text);

// The members of one object, appended in order; the caller writes the braces.
class JsonText {
 public:
  explicit JsonText(std::string& out) : out_(out) {}
  JsonText& key(const char* name) {
    out_ += first_ ? "\"" : ",\"";
    out_ += name;
    out_ += "\":";
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
    for (const float* v = begin; v != end; ++v) {
      if (v != begin) out_ += ',';
      append_json_float(out_, *v);
    }
    out_ += ']';
    return *this;
  }

 private:
  std::string& out_;
  bool first_ = true;
};

#endif
