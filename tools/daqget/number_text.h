// The texts of daqget's floating-point numbers, written straight into a line:
// the 9-digit text ("%.9g") that reads back as the same float, and the JSON
// number of that text (the shortest double reading back as those digits, as
// the JSON library writes it). Byte for byte what printf and the JSON library
// give; only faster, since a spectrum line carries thousands of them.
#ifndef DAQGET_NUMBER_TEXT_H
#define DAQGET_NUMBER_TEXT_H

#include <cstddef>
#include <string>

// Room enough for any one number's text below.
constexpr size_t kMaxNumberText = 48;

// The texts below written at `at`, which has kMaxNumberText bytes of room;
// returns the end. For runs of numbers, without a string append per number.
char* write_float_text(char* at, double value);
char* write_json_float(char* at, double value);

// A run of numbers appended to out through a small buffer: one string append
// per many numbers. Nothing else may be appended to out while the run lives.
class NumberRun {
 public:
  explicit NumberRun(std::string& out) : out_(out) {}
  ~NumberRun() { flush(); }
  NumberRun(const NumberRun&) = delete;
  NumberRun& operator=(const NumberRun&) = delete;

  // Each writes sep first unless it is '\0'.
  void float_text(char sep, double value) { end_ = write_float_text(room(sep), value); }
  void json_float(char sep, double value) { end_ = write_json_float(room(sep), value); }
  void flush() {
    out_.append(buf_, static_cast<size_t>(end_ - buf_));
    end_ = buf_;
  }

 private:
  char* room(char sep) {
    if (end_ + 1 + kMaxNumberText > buf_ + sizeof buf_) flush();
    if (sep != '\0') *end_++ = sep;
    return end_;
  }
  std::string& out_;
  char buf_[1024];
  char* end_ = buf_;
};

// Appends the "%.9g" text of value.
void append_float_text(std::string& out, double value);

// Appends the JSON number of value's 9-digit text; "null" for NaN and infinities.
void append_json_float(std::string& out, double value);

#endif
