// Fixed-size blocks for the nodes of one container, carved from large chunks and
// reused through a free list. A side index inserts and erases a node per record
// in every ordered set it keeps; through a pool that costs no call into malloc
// once the pool has grown to the list's length, and the nodes of one set lie
// together. Not thread-safe: the owner's lock covers it, as it covers the
// container.
#ifndef DAQ_CACHE_NODE_POOL_H
#define DAQ_CACHE_NODE_POOL_H

#include <algorithm>
#include <cstddef>
#include <new>
#include <vector>

class NodePool {
 public:
  NodePool() = default;
  ~NodePool() { release(); }
  NodePool(const NodePool&) = delete;
  NodePool& operator=(const NodePool&) = delete;

  // True when blocks of n bytes come from this pool. The first size asked for
  // fixes the block size; other sizes (a hash map's bucket array) go to new.
  bool serves(std::size_t n) {
    if (block_ == 0) block_ = rounded(n);
    return block_ == rounded(n);
  }

  void* take() {
    if (free_ != nullptr) {
      Free* f = free_;
      free_ = f->next;
      return f;
    }
    if (cursor_ == end_) grow();
    void* p = cursor_;
    cursor_ += block_;
    return p;
  }

  void give(void* p) { free_ = new (p) Free{free_}; }

  // Returns every chunk. Only for a container that holds no node any more.
  void release() {
    for (char* c : chunks_) ::operator delete(c);
    chunks_.clear();
    free_ = nullptr;
    cursor_ = end_ = nullptr;
  }

 private:
  struct Free {
    Free* next;
  };

  static std::size_t rounded(std::size_t n) {
    const std::size_t align = alignof(std::max_align_t);
    return (std::max(n, sizeof(Free)) + align - 1) / align * align;
  }

  // Chunks double from 64 blocks up to 4096, so a short list holds little and a
  // long one needs few chunks.
  void grow() {
    std::size_t blocks = std::size_t{64} << std::min<std::size_t>(chunks_.size(), 6);
    chunks_.reserve(chunks_.size() + 1);  // a throw here leaves nothing behind
    auto* c = static_cast<char*>(::operator new(blocks* block_));
    chunks_.push_back(c);
    cursor_ = c;
    end_ = c + blocks * block_;
  }

  std::size_t block_ = 0;
  Free* free_ = nullptr;
  char* cursor_ = nullptr;
  char* end_ = nullptr;
  std::vector<char*> chunks_;
};

// A standard allocator over a NodePool: single nodes of the pool's size come from
// it, anything else from new.
template <class T>
class PoolAllocator {
 public:
  using value_type = T;

  explicit PoolAllocator(NodePool* pool) : pool_(pool) {}
  template <class U>
  PoolAllocator(const PoolAllocator<U>& o) : pool_(o.pool()) {}

  T* allocate(std::size_t n) {
    if (n == 1 && pool_->serves(sizeof(T))) return static_cast<T*>(pool_->take());
    return static_cast<T*>(::operator new(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t n) {
    if (n == 1 && pool_->serves(sizeof(T)))
      pool_->give(p);
    else
      ::operator delete(p);
  }

  NodePool* pool() const { return pool_; }
  template <class U>
  bool operator==(const PoolAllocator<U>& o) const {
    return pool_ == o.pool();
  }
  template <class U>
  bool operator!=(const PoolAllocator<U>& o) const {
    return pool_ != o.pool();
  }

 private:
  NodePool* pool_;
};

#endif
