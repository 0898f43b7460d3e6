// A float's 9 significant digits come from exact integer arithmetic (a float
// times a power of ten fits in 128 bits for all but the tiniest), rounded half
// to even as printf does. Everything else (doubles that are not floats, the
// tiniest floats, NaN, infinities) takes the library's own road.
#include "number_text.h"

#include <nlohmann/json.hpp>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using u128 = unsigned __int128;

constexpr uint32_t kTen8 = 100000000u;
constexpr uint32_t kTen9 = 1000000000u;
constexpr int kMaxPow5 = 44;  // 5^44 * 2^24 < 2^128

// value = digits * 10^(exp10 - 8); digits in [1e8, 1e9), or 0 for a zero.
struct NineDigits {
  bool negative = false;
  uint32_t digits = 0;
  int exp10 = 0;
};

u128 pow5(int k) {
  static const auto table = [] {
    struct T {
      u128 v[kMaxPow5 + 1];
    } t{};
    t.v[0] = 1;
    for (int i = 1; i <= kMaxPow5; ++i) t.v[i] = t.v[i - 1] * 5;
    return t;
  }();
  return table.v[k];
}

u128 pow10(int k) { return pow5(k) << k; }

// floor(m * 2^e * 10^k) rounded half to even; false when out of the exact range.
bool scaled(uint32_t m, int e, int k, uint64_t* q) {
  u128 quotient, rest, half;
  if (k >= 0) {
    if (k > kMaxPow5) return false;
    u128 p = static_cast<u128>(m) * pow5(k);
    int shift = e + k;
    if (shift >= 0) {
      if (shift > 40) return false;
      *q = static_cast<uint64_t>(p << shift);
      return true;
    }
    int s = -shift;
    if (s > 127) return false;
    quotient = p >> s;
    rest = p & ((static_cast<u128>(1) << s) - 1);
    half = static_cast<u128>(1) << (s - 1);
  } else {
    if (e < 0 || -k > kMaxPow5) return false;
    u128 v = static_cast<u128>(m) << e;
    u128 d = pow10(-k);
    quotient = v / d;
    rest = v % d;
    half = d >> 1;  // 10^n is even: half is exact
  }
  if (quotient >= (static_cast<u128>(1) << 63)) return false;
  uint64_t r = static_cast<uint64_t>(quotient);
  if (rest > half || (rest == half && (r & 1) != 0)) ++r;
  *q = r;
  return true;
}

// The 9 digits of a value that is exactly a float.
bool float_digits(double value, NineDigits* out) {
  float f = static_cast<float>(value);
  if (!(static_cast<double>(f) == value)) return false;  // not a float, NaN
  uint32_t bits;
  std::memcpy(&bits, &f, sizeof bits);
  out->negative = (bits >> 31) != 0;
  uint32_t biased = (bits >> 23) & 0xffu;
  uint32_t m = bits & 0x7fffffu;
  if (biased == 0xffu) return false;
  int e;
  if (biased == 0) {
    if (m == 0) {
      out->digits = 0;
      out->exp10 = 0;
      return true;
    }
    e = -149;
  } else {
    m |= 0x800000u;
    e = static_cast<int>(biased) - 150;
  }
  int e2 = e + 31 - __builtin_clz(m);             // 2^e2 <= |f| < 2^(e2 + 1)
  int x = static_cast<int>((e2 * 78913L) >> 18);  // floor(e2 * log10(2)): x or x + 1
  for (int tries = 0; tries < 3; ++tries) {
    uint64_t q;
    if (!scaled(m, e, 8 - x, &q)) return false;
    if (q >= kTen9 && q != kTen9) {
      ++x;
      continue;
    }
    if (q < kTen8) {
      --x;
      continue;
    }
    if (q == kTen9) {  // rounding carried into a tenth digit
      q = kTen8;
      ++x;
    }
    out->digits = static_cast<uint32_t>(q);
    out->exp10 = x;
    return true;
  }
  return false;
}

// The same for any finite value, through the library's correctly rounded digits.
bool any_digits(double value, NineDigits* out) {
  if (float_digits(value, out)) return true;
  if (!std::isfinite(value)) return false;
  char text[40];
  auto r = std::to_chars(text, text + sizeof text, value, std::chars_format::scientific, 8);
  if (r.ec != std::errc()) return false;
  const char* p = text;
  out->negative = *p == '-';
  if (out->negative) ++p;
  uint32_t digits = static_cast<uint32_t>(*p++ - '0');
  ++p;  // '.'
  for (int i = 0; i < 8; ++i) digits = digits * 10 + static_cast<uint32_t>(*p++ - '0');
  ++p;  // 'e'
  bool minus = *p++ == '-';
  int exp10 = 0;
  while (p < r.ptr) exp10 = exp10 * 10 + (*p++ - '0');
  out->digits = digits;
  out->exp10 = minus ? -exp10 : exp10;
  return true;
}

// The 9 digits' text lives in room for fixed-size copies of its pieces.
constexpr size_t kDigitRoom = 24;

// A number's text before it joins the line: one append per number, not one per piece.
struct Text {
  explicit Text(char* at) : c(at) {}
  char* c;  // room for kMaxNumberText
  size_t n = 0;
  void operator+=(char ch) { c[n++] = ch; }
  void operator+=(const char* s) {
    while (*s != '\0') c[n++] = *s++;
  }
  void append(const char* s, size_t len) {
    std::memcpy(c + n, s, len);
    n += len;
  }
  // The first k of 9 digits with a point after the first `before` of them
  // (before < 9; no point when before >= k). Copies of fixed size, which
  // the room allows: a number starts at most one sign into it.
  void point(const char* digits, int k, int before) {
    char* p = c + n;
    std::memcpy(p, digits, 9);
    if (k > before) {
      std::memcpy(p + before + 1, digits + before, 8);
      p[before] = '.';
      n += static_cast<size_t>(k) + 1;
    } else {
      n += static_cast<size_t>(before);
    }
  }
  void append(size_t count, char ch) {
    std::memset(c + n, ch, count);
    n += count;
  }
};

// The 9 digits as text; returns the count without trailing zeros (at least 1).
int digit_text(uint32_t digits, char text[kDigitRoom]) {
  // Two digits a step: half the divisions.
  static const char kPairs[] =
      "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
      "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
      "8081828384858687888990919293949596979899";
  for (int i = 7; i > 0; i -= 2) {
    std::memcpy(text + i, kPairs + 2 * (digits % 100), 2);
    digits /= 100;
  }
  text[0] = static_cast<char>('0' + digits);
  int n = 9;
  while (n > 1 && text[n - 1] == '0') --n;
  return n;
}

void append_exponent(Text& out, int e) {
  out += e < 0 ? '-' : '+';
  unsigned a = static_cast<unsigned>(e < 0 ? -e : e);
  if (a >= 100) out += static_cast<char>('0' + a / 100);
  out += static_cast<char>('0' + a / 10 % 10);
  out += static_cast<char>('0' + a % 10);
}

// printf's %g with precision 9.
void append_g9(Text& out, const NineDigits& d) {
  if (d.negative) out += '-';
  if (d.digits == 0) {
    out += '0';
    return;
  }
  char text[kDigitRoom];
  int n = digit_text(d.digits, text);
  int x = d.exp10;
  if (x < -4 || x >= 9) {
    out += text[0];
    if (n > 1) {
      out += '.';
      out.append(text + 1, static_cast<size_t>(n - 1));
    }
    out += 'e';
    append_exponent(out, x);
  } else if (x >= 0) {
    out.point(text, n, x + 1);
  } else {
    out += "0.";
    out.append(static_cast<size_t>(-x - 1), '0');
    out.append(text, static_cast<size_t>(n));
  }
}

const double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                         1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// The double nearest to the digits, and whether the JSON library's shortest
// form of it is certainly those digits: it is when the digits lie well inside
// the double's rounding interval (the library narrows that interval by far
// less than 1/64 of it); near an edge, or at a power of two, it may not be.
bool nearest_double(const NineDigits& d, double* out) {
  int p = d.exp10 - 8;
  if (p > 22 || p < -22) return false;
  double n = static_cast<double>(d.digits);
  double v, err, scale;
  if (p >= 0) {
    v = n * kPow10[p];  // one correctly rounded operation: the nearest double
    err = std::fma(n, kPow10[p], -v);
    scale = 1;
  } else {
    v = n / kPow10[-p];
    err = std::fma(-v, kPow10[-p], n);  // (digits - v) * 10^-p, exact
    scale = kPow10[-p];
  }
  uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  uint64_t biased = bits >> 52;
  if ((bits & ((uint64_t{1} << 52) - 1)) == 0 || biased <= 53) return false;
  double ulp;
  uint64_t ulp_bits = (biased - 52) << 52;
  std::memcpy(&ulp, &ulp_bits, sizeof ulp);
  if (!(std::fabs(err) <= scale * ulp * (0.5 - 1.0 / 128))) return false;
  *out = d.negative ? -v : v;
  return true;
}

// The JSON library's layout of digits * 10^(exp10 - n + 1).
void append_json_layout(Text& out, bool negative, const char* text, int k, int exp10) {
  if (negative) out += '-';
  int n = exp10 + 1;  // position of the decimal point
  if (k <= n && n <= 15) {
    out.append(text, static_cast<size_t>(k));
    out.append(static_cast<size_t>(n - k), '0');
    out += ".0";
  } else if (0 < n && n <= 15) {
    out.point(text, k, n);  // k <= 9 digits: n < k
  } else if (-4 < n && n <= 0) {
    out += "0.";
    out.append(static_cast<size_t>(-n), '0');
    out.append(text, static_cast<size_t>(k));
  } else {
    out += text[0];
    if (k > 1) {
      out += '.';
      out.append(text + 1, static_cast<size_t>(k - 1));
    }
    out += 'e';
    append_exponent(out, n - 1);  // two digits at least, as printf
  }
}

}  // namespace

char* write_float_text(char* at, double value) {
  NineDigits d;
  if (any_digits(value, &d)) {
    Text t(at);
    append_g9(t, d);
    return at + t.n;
  }
  char text[32];
  int n = std::snprintf(text, sizeof text, "%.9g", value);
  if (n <= 0) return at;
  std::memcpy(at, text, static_cast<size_t>(n));
  return at + n;
}

char* write_json_float(char* at, double value) {
  static const char kNull[] = "null";
  NineDigits d;
  if (!any_digits(value, &d)) {
    std::memcpy(at, kNull, 4);
    return at + 4;
  }
  if (d.digits == 0) {
    const char* zero = d.negative ? "-0.0" : "0.0";
    size_t n = std::strlen(zero);
    std::memcpy(at, zero, n);
    return at + n;
  }
  Text t(at);
  double v;
  if (nearest_double(d, &v)) {
    char text[kDigitRoom];
    int k = digit_text(d.digits, text);
    append_json_layout(t, d.negative, text, k, d.exp10);
    return at + t.n;
  }
  // The long road: the digits read back, then the library's own shortest form.
  char nine_text[kMaxNumberText];
  Text nine(nine_text);
  append_g9(nine, d);
  nine += '\0';
  double back = std::strtod(nine.c, nullptr);
  if (!std::isfinite(back)) {
    std::memcpy(at, kNull, 4);
    return at + 4;
  }
  return nlohmann::detail::to_chars(at, at + kMaxNumberText, back);
}

void append_float_text(std::string& out, double value) {
  char text[kMaxNumberText];
  out.append(text, static_cast<size_t>(write_float_text(text, value) - text));
}

void append_json_float(std::string& out, double value) {
  char text[kMaxNumberText];
  out.append(text, static_cast<size_t>(write_json_float(text, value) - text));
}
