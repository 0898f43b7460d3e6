// Little-endian writing and bounds-checked reading of the transport's byte
// layouts. The reader never touches a byte outside its buffer: every read first
// checks what is left and latches a failure that later reads keep.
#ifndef VELMOR_WIRE_BYTES_H
#define VELMOR_WIRE_BYTES_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

namespace velmor {

inline void put_u8(std::string& out, uint8_t v) { out.push_back(static_cast<char>(v)); }

inline void put_u16(std::string& out, uint16_t v) {
  char b[2] = {static_cast<char>(v & 0xff), static_cast<char>(v >> 8)};
  out.append(b, 2);
}

inline void put_u32(std::string& out, uint32_t v) {
  char b[4];
  for (int i = 0; i < 4; ++i) b[i] = static_cast<char>((v >> (8 * i)) & 0xff);
  out.append(b, 4);
}

inline void put_u64(std::string& out, uint64_t v) {
  char b[8];
  for (int i = 0; i < 8; ++i) b[i] = static_cast<char>((v >> (8 * i)) & 0xff);
  out.append(b, 8);
}

inline void put_i32(std::string& out, int32_t v) { put_u32(out, static_cast<uint32_t>(v)); }
inline void put_i64(std::string& out, int64_t v) { put_u64(out, static_cast<uint64_t>(v)); }

inline void put_f32(std::string& out, float v) {
  uint32_t bits;
  std::memcpy(&bits, &v, 4);
  put_u32(out, bits);
}

inline void put_f64(std::string& out, double v) {
  uint64_t bits;
  std::memcpy(&bits, &v, 8);
  put_u64(out, bits);
}

// A counted byte string: u32 length then the bytes.
inline void put_bytes(std::string& out, const std::string& s) {
  put_u32(out, static_cast<uint32_t>(s.size()));
  out.append(s);
}

inline void store_u32(char* at, uint32_t v) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<char>((v >> (8 * i)) & 0xff);
}

// Arrays of 4- or 8-byte numbers: one copy on little-endian hosts, which is
// what makes a multi-megabyte spectrum cost about one memcpy on each side.
template <typename T>
void put_array(std::string& out, const T* values, size_t n) {
  static_assert(sizeof(T) == 4 || sizeof(T) == 8, "4- or 8-byte numbers only");
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  out.append(reinterpret_cast<const char*>(values), n * sizeof(T));
#else
  for (size_t i = 0; i < n; ++i) {
    typename std::conditional<sizeof(T) == 4, uint32_t, uint64_t>::type bits;
    std::memcpy(&bits, &values[i], sizeof(T));
    if (sizeof(T) == 4)
      put_u32(out, static_cast<uint32_t>(bits));
    else
      put_u64(out, bits);
  }
#endif
}

class WireReader {
 public:
  WireReader(const char* data, size_t length) : p_(data), left_(data != nullptr ? length : 0) {}

  bool failed() const { return failed_; }
  size_t left() const { return left_; }
  void fail() { failed_ = true; }

  // Room for n more bytes; latches the failure otherwise.
  bool need(size_t n) {
    if (failed_ || n > left_) {
      failed_ = true;
      return false;
    }
    return true;
  }

  uint8_t u8() { return need(1) ? static_cast<uint8_t>(take(1)[0]) : 0; }
  uint16_t u16() {
    if (!need(2)) return 0;
    const unsigned char* b = reinterpret_cast<const unsigned char*>(take(2));
    return static_cast<uint16_t>(b[0] | (b[1] << 8));
  }
  uint32_t u32() {
    if (!need(4)) return 0;
    const unsigned char* b = reinterpret_cast<const unsigned char*>(take(4));
    return static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
           (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
  }
  uint64_t u64() {
    uint64_t lo = u32();
    uint64_t hi = u32();
    return lo | (hi << 32);
  }
  int32_t i32() { return static_cast<int32_t>(u32()); }
  int64_t i64() { return static_cast<int64_t>(u64()); }
  float f32() {
    uint32_t bits = u32();
    float v;
    std::memcpy(&v, &bits, 4);
    return v;
  }
  double f64() {
    uint64_t bits = u64();
    double v;
    std::memcpy(&v, &bits, 8);
    return v;
  }
  // n raw bytes (null and failure when fewer are left).
  const char* raw(size_t n) { return need(n) ? take(n) : nullptr; }
  // n numbers of 4 or 8 bytes into out (replacing its content).
  template <typename T>
  bool array(std::vector<T>* out, uint32_t n) {
    static_assert(sizeof(T) == 4 || sizeof(T) == 8, "4- or 8-byte numbers only");
    const char* bytes = raw(static_cast<size_t>(n) * sizeof(T));
    if (bytes == nullptr) return false;
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    // Numbers aligned in the frame (the usual case) are copied in one pass;
    // resize() would first zero-fill an array that may be megabytes long.
    if (reinterpret_cast<uintptr_t>(bytes) % alignof(T) == 0) {
      const T* first = reinterpret_cast<const T*>(bytes);
      out->assign(first, first + n);
      return true;
    }
    out->resize(n);
    if (n != 0) std::memcpy(out->data(), bytes, static_cast<size_t>(n) * sizeof(T));
#else
    out->resize(n);
    WireReader part(bytes, static_cast<size_t>(n) * sizeof(T));
    for (uint32_t i = 0; i < n; ++i) {
      auto bits = sizeof(T) == 4 ? static_cast<uint64_t>(part.u32()) : part.u64();
      if (sizeof(T) == 4) {
        uint32_t b32 = static_cast<uint32_t>(bits);
        std::memcpy(&(*out)[i], &b32, 4);
      } else
        std::memcpy(&(*out)[i], &bits, 8);
    }
#endif
    return true;
  }

  // A counted byte string of at most max bytes.
  bool bytes(std::string* out, size_t max) {
    uint32_t n = u32();
    if (failed_ || n > max || !need(n)) {
      failed_ = true;
      return false;
    }
    out->assign(take(n), n);
    return true;
  }
  // A count of items that each take at least min_item bytes: refused when the
  // remaining bytes cannot hold them, so a hostile count never drives an allocation.
  uint32_t count(size_t min_item, uint32_t max) {
    uint32_t n = u32();
    if (failed_ || n > max || (min_item > 0 && n > left_ / min_item)) {
      failed_ = true;
      return 0;
    }
    return n;
  }

 private:
  const char* take(size_t n) {
    const char* at = p_;
    p_ += n;
    left_ -= n;
    return at;
  }

  const char* p_;
  size_t left_;
  bool failed_ = false;
};

}  // namespace velmor

#endif
