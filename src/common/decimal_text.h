// Decimal digits of an integer without printf, which costs more than the rest of
// most short texts the libraries write (addresses, ports, counts, reasons).
#ifndef DAQ_DECIMAL_TEXT_H
#define DAQ_DECIMAL_TEXT_H

#include <charconv>
#include <cstddef>
#include <string>

// Room for any 64-bit integer with its sign.
constexpr std::size_t kDecimalRoom = 24;

template <class Int>
inline void append_decimal(std::string& out, Int value) {
  char digits[kDecimalRoom];
  out.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

// text receives the digits and a NUL.
template <class Int>
inline void write_decimal(char (&text)[kDecimalRoom], Int value) {
  *std::to_chars(text, text + sizeof text - 1, value).ptr = '\0';
}

#endif
