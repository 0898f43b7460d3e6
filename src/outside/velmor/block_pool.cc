// A pooled block carries its capacity in a header in front of the bytes handed
// out, so a block taken for a shorter array goes back with its true size. The
// pool is never destroyed: objects released during the process's exit may still
// return blocks to it.
#include "block_pool.h"

#include <cstdlib>
#include <mutex>
#include <new>

namespace velmor {

namespace {

// Keeps the bytes handed out aligned for the widest vector copies.
constexpr std::size_t kHeader = 64;
// A kept block serves arrays down to this share of its capacity, so a small
// array does not hold on to a much larger block.
constexpr std::size_t kMostWasteDivisor = 4;

struct Kept {
  unsigned char* block;  // start of the header
  std::size_t capacity;  // bytes after the header
};

struct Pool {
  std::mutex lock;
  Kept kept[kPoolKeepBlocks];
  int count;
  std::size_t bytes;
};

Pool& pool() {
  static Pool* p = new Pool{};  // never destroyed, see above
  return *p;
}

std::size_t& capacity_of(unsigned char* block) { return *reinterpret_cast<std::size_t*>(block); }

}  // namespace

void* pooled_allocate(std::size_t bytes) {
  if (bytes < kPooledBlockMin) return ::operator new(bytes);
  Pool& p = pool();
  {
    std::lock_guard<std::mutex> guard(p.lock);
    int best = -1;
    for (int i = 0; i < p.count; ++i) {
      std::size_t c = p.kept[i].capacity;
      if (c >= bytes && c - bytes <= bytes / kMostWasteDivisor &&
          (best < 0 || c < p.kept[best].capacity))
        best = i;
    }
    if (best >= 0) {
      unsigned char* block = p.kept[best].block;
      p.bytes -= p.kept[best].capacity;
      p.kept[best] = p.kept[--p.count];
      return block + kHeader;
    }
  }
  if (bytes > static_cast<std::size_t>(-1) - 2 * kHeader) throw std::bad_alloc();
  std::size_t whole = kHeader + (bytes + kHeader - 1) / kHeader * kHeader;
  void* raw = std::aligned_alloc(kHeader, whole);
  if (raw == nullptr) throw std::bad_alloc();
  unsigned char* block = static_cast<unsigned char*>(raw);
  capacity_of(block) = bytes;
  return block + kHeader;
}

void pooled_release(void* bytes_start, std::size_t bytes) {
  if (bytes_start == nullptr) return;
  if (bytes < kPooledBlockMin) {
    ::operator delete(bytes_start);
    return;
  }
  unsigned char* block = static_cast<unsigned char*>(bytes_start) - kHeader;
  std::size_t capacity = capacity_of(block);
  Pool& p = pool();
  {
    std::lock_guard<std::mutex> guard(p.lock);
    if (p.count < kPoolKeepBlocks && capacity <= kPoolKeepBytes - p.bytes) {
      p.kept[p.count++] = Kept{block, capacity};
      p.bytes += capacity;
      return;
    }
  }
  std::free(block);
}

void pooled_holding(int* blocks, std::size_t* bytes) {
  Pool& p = pool();
  std::lock_guard<std::mutex> guard(p.lock);
  if (blocks != nullptr) *blocks = p.count;
  if (bytes != nullptr) *bytes = p.bytes;
}

void pooled_trim() {
  Pool& p = pool();
  std::lock_guard<std::mutex> guard(p.lock);
  for (int i = 0; i < p.count; ++i) std::free(p.kept[i].block);
  p.count = 0;
  p.bytes = 0;
}

}  // namespace velmor
