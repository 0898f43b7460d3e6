// Arrays that grow by resize() only to be written over at once (numbers and
// image bytes received off a connection): new elements are left unset instead
// of zeroed first.
#ifndef VELMOR_UNZEROED_ALLOCATOR_H
#define VELMOR_UNZEROED_ALLOCATOR_H

#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace velmor {

// The construct() of such an allocator; `using UnzeroedConstruct::construct;`
// in an allocator that derives from it.
struct UnzeroedConstruct {
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

template <class T>
struct UnzeroedAllocator : std::allocator<T>, UnzeroedConstruct {
  using UnzeroedConstruct::construct;
  template <class U>
  struct rebind {
    using other = UnzeroedAllocator<U>;
  };
  UnzeroedAllocator() = default;
  template <class U>
  UnzeroedAllocator(const UnzeroedAllocator<U>&) {}
};

template <class T>
using NumberArray = std::vector<T, UnzeroedAllocator<T>>;

}  // namespace velmor

#endif
