// The value behind an EqData. Shared by the storing/reading code and the
// serialiser; not part of the library's interface.
#ifndef VELMOR_EQ_DATA_CONTENT_H
#define VELMOR_EQ_DATA_CONTENT_H

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "block_pool.h"
#include "velmor.h"

namespace velmor {

// Empties an element but keeps the capacity of its text and array.
void clear_element(UstrElement& e);
void clear_element(SpectrumElement& e);

// The stored elements of one kind: the first size() items are the object's
// elements, the rest are spares left by clear() or a shorter copy. Spares keep
// their buffers, so an object refilled event after event (or after init())
// stores into arrays it already owns instead of allocating new ones. The first
// item lives inside the list itself: most objects hold one element, and a value
// object made per channel and event then allocates no item storage.
template <class T>
class ElementList {
  static_assert(std::is_nothrow_default_constructible<T>::value &&
                    std::is_nothrow_move_constructible<T>::value,
                "growing moves and makes items without failing");

 public:
  ElementList() = default;
  // A fresh list copies the elements only, not the spares.
  ElementList(const ElementList& other) {
    try {
      make_room(other.n_);
      for (; built_ < other.n_; ++built_) new (items_ + built_) T(other.items_[built_]);
    } catch (...) {
      release();
      throw;
    }
    n_ = other.n_;
  }
  // Assignment reuses this list's items and their buffers.
  ElementList& operator=(const ElementList& other) {
    if (this == &other) return *this;
    if (built_ < other.n_) build(other.n_);
    for (std::size_t i = 0; i < other.n_; ++i) items_[i] = other.items_[i];
    n_ = other.n_;
    return *this;
  }
  ~ElementList() { release(); }

  std::size_t size() const { return n_; }
  bool empty() const { return n_ == 0; }
  T& operator[](std::size_t i) { return items_[i]; }
  const T& operator[](std::size_t i) const { return items_[i]; }
  const T* begin() const { return items_; }
  const T* end() const { return items_ + n_; }

  void clear() { n_ = 0; }
  // True when resize(n) leaves every item where it is, so references into the
  // items (a text or array of the object stored into itself) stay valid.
  bool stays_in_place(std::size_t n) const { return n <= capacity_; }
  // True when p lies inside the items themselves: only such bytes (a short text
  // kept in its string) move when the items grow; heap buffers stay where they are.
  bool holds(const void* p) const {
    auto at = reinterpret_cast<std::uintptr_t>(p);
    auto first = reinterpret_cast<std::uintptr_t>(items_);
    return at - first < built_ * sizeof(T);
  }
  // Sets the count to n. Spares that become elements again are emptied first,
  // so they read as fresh ones. Throws only when the items must grow, and then
  // leaves the list as it was.
  void resize(std::size_t n) {
    std::size_t reused = n < built_ ? n : built_;
    if (n > built_) build(n);
    for (std::size_t i = n_; i < reused; ++i) clear_element(items_[i]);
    n_ = n;
  }

 private:
  bool inline_items() const { return items_ == reinterpret_cast<const T*>(first_); }

  // Room for n items; moves the built ones when it must grow.
  void make_room(std::size_t n) {
    if (n <= capacity_) return;
    std::size_t capacity = n > 2 * capacity_ ? n : 2 * capacity_;
    T* room = static_cast<T*>(::operator new(capacity * sizeof(T)));  // the only throw
    for (std::size_t i = 0; i < built_; ++i) {
      new (room + i) T(std::move(items_[i]));
      items_[i].~T();
    }
    if (!inline_items()) ::operator delete(items_);
    items_ = room;
    capacity_ = capacity;
  }
  // Makes fresh items up to n.
  void build(std::size_t n) {
    make_room(n);
    for (; built_ < n; ++built_) new (items_ + built_) T();
  }
  void release() {
    for (std::size_t i = 0; i < built_; ++i) items_[i].~T();
    if (!inline_items()) ::operator delete(items_);
    items_ = reinterpret_cast<T*>(first_);
    capacity_ = 1;
    built_ = n_ = 0;
  }

  alignas(T) unsigned char first_[sizeof(T)];
  T* items_ = reinterpret_cast<T*>(first_);
  std::size_t capacity_ = 1;  // items there is room for
  std::size_t built_ = 0;     // items made: elements and spares
  std::size_t n_ = 0;         // elements
};

struct EqDataContent {
  int type = DATA_NULL;
  int error = 0;
  std::string error_text;
  long seconds = 0;
  int microseconds = 0;
  long event = 0;
  int length = 0;

  std::string text;  // DATA_STRING / DATA_XML
  std::vector<long> ints;
  std::vector<float> floats;
  std::vector<double> doubles;
  std::vector<std::string> strings;

  ElementList<UstrElement> ustr;
  ElementList<SpectrumElement> spectra;

  bool has_image = false;
  IMH image_header{};
  std::vector<unsigned char, PooledAllocator<unsigned char>> image;  // large: block_pool.h
  std::string image_comment;
};

// Empties c but keeps the capacity of its buffers, so an object reused for
// call after call (or record after record) does not reallocate large arrays.
void reset_content(EqDataContent& c);

// A stretch of serialised bytes left in the object instead of copied: it
// belongs at offset `at` of the copied bytes (before the byte found there).
struct WirePiece {
  size_t at;
  const char* data;
  size_t size;
};

// Arrays smaller than this are copied; a reference costs an iovec entry.
constexpr size_t kMinReferencedPiece = 64 * 1024;

// Where the bytes of a serialised object come from while it is parsed: a
// buffer in memory, or a connection, whose large arrays are then received
// straight into the object instead of through a buffer and a copy.
class ObjectSource {
 public:
  virtual ~ObjectSource() = default;
  // The next n bytes, valid until the next call; null when they cannot be had.
  virtual const char* take(size_t n) = 0;
  // Copies the next n bytes to dst; false when they cannot be had.
  virtual bool take_into(char* dst, size_t n) = 0;
  // True when take_into saves a copy over take (the bytes are not in memory yet).
  virtual bool direct() const = 0;
};

// The library's internal access to an EqData's content.
struct EqDataAccess {
  // As EqData::serialize, but with refs, large arrays stay in the object and
  // are listed in refs (valid while the object is unchanged).
  static bool serialize(const EqData& d, std::string& out, std::vector<WirePiece>* refs);
  // As EqData::deserialize, reading `length` bytes from source. On failure the
  // source may be left anywhere inside those bytes.
  static bool deserialize(EqData& d, ObjectSource& source, size_t length);
};

}  // namespace velmor

#endif
