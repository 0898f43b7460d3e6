// Large arrays of data objects (images) are made and dropped once per event
// while a stream runs. Fresh memory for each one costs more in page faults than
// the copy into it (the C library gives freed blocks of that size back to the
// system and maps them anew), so the few most recently freed large blocks are
// kept for the next object. Small arrays go straight to operator new.
#ifndef VELMOR_BLOCK_POOL_H
#define VELMOR_BLOCK_POOL_H

#include <cstddef>

namespace velmor {

// Arrays of at least this many bytes come from the pool.
constexpr std::size_t kPooledBlockMin = 256 * 1024;
// What the pool keeps at most while no object uses it.
constexpr int kPoolKeepBlocks = 4;
constexpr std::size_t kPoolKeepBytes = 16u * 1024 * 1024;

// As operator new / delete (throws std::bad_alloc); bytes must be the same in
// both calls. Thread-safe.
void* pooled_allocate(std::size_t bytes);
void pooled_release(void* block, std::size_t bytes);

// Blocks and bytes the pool holds now.
void pooled_holding(int* blocks, std::size_t* bytes);
// Gives every kept block back to the system.
void pooled_trim();

template <class T>
struct PooledAllocator {
  using value_type = T;
  PooledAllocator() = default;
  template <class U>
  PooledAllocator(const PooledAllocator<U>&) {}
  T* allocate(std::size_t n) { return static_cast<T*>(pooled_allocate(n * sizeof(T))); }
  void deallocate(T* p, std::size_t n) { pooled_release(p, n * sizeof(T)); }
  template <class U>
  bool operator==(const PooledAllocator<U>&) const {
    return true;
  }
  template <class U>
  bool operator!=(const PooledAllocator<U>&) const {
    return false;
  }
};

}  // namespace velmor

#endif
