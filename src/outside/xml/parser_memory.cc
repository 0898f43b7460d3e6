#include "parser_memory.h"

#include <new>

#include <xercesc/util/OutOfMemoryException.hpp>
#include <xercesc/util/PlatformUtils.hpp>

// Blocks waiting for reuse are poisoned, so a use after free inside the
// library is still caught under AddressSanitizer.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ORXA_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define ORXA_ASAN 1
#endif
#ifdef ORXA_ASAN
#include <sanitizer/asan_interface.h>
#define POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define POISON(p, n) ((void)(p), (void)(n))
#define UNPOISON(p, n) ((void)(p), (void)(n))
#endif

ParserMemory::ParserMemory() {
  head_.prev = head_.next = &head_;
  head_.size = 0;
}

ParserMemory::~ParserMemory() { release_all(); }

xercesc::MemoryManager* ParserMemory::getExceptionMemoryManager() {
  return xercesc::XMLPlatformUtils::fgMemoryManager;
}

void ParserMemory::link_live(Link* link) {
  link->prev = &head_;
  link->next = head_.next;
  head_.next->prev = link;
  head_.next = link;
}

void* ParserMemory::allocate(XMLSize_t size) {
  std::size_t rounded = (size + kGranule - 1) / kGranule * kGranule;
  if (rounded < size) throw xercesc::OutOfMemoryException();
  std::size_t index = rounded / kGranule;
  Link** list = index < kSmallLists ? &free_small_[index] : &free_large_;
  for (Link** at = list; *at != nullptr; at = &(*at)->next) {
    Link* link = *at;
    if (link->size != rounded) continue;
    *at = link->next;
    free_bytes_ -= rounded;
    UNPOISON(link + 1, rounded);
    link_live(link);
    return link + 1;
  }
  if (rounded > static_cast<std::size_t>(-1) - sizeof(Link)) throw xercesc::OutOfMemoryException();
  void* raw = ::operator new(sizeof(Link) + rounded, std::nothrow);
  if (raw == nullptr) throw xercesc::OutOfMemoryException();
  Link* link = static_cast<Link*>(raw);
  link->size = rounded;
  link_live(link);
  return link + 1;
}

void ParserMemory::deallocate(void* p) {
  if (p == nullptr) return;
  Link* link = static_cast<Link*>(p) - 1;
  link->prev->next = link->next;
  link->next->prev = link->prev;
  std::size_t rounded = link->size;
  if (free_bytes_ + rounded > kKeptBytes) {
    ::operator delete(link);
    return;
  }
  std::size_t index = rounded / kGranule;
  Link** list = index < kSmallLists ? &free_small_[index] : &free_large_;
  link->next = *list;
  *list = link;
  free_bytes_ += rounded;
  POISON(p, rounded);
}

void ParserMemory::release_free() {
  auto drop = [](Link*& list) {
    while (list != nullptr) {
      Link* next = list->next;
      UNPOISON(list + 1, list->size);
      ::operator delete(list);
      list = next;
    }
  };
  for (Link*& list : free_small_) drop(list);
  drop(free_large_);
  free_bytes_ = 0;
}

void ParserMemory::release_all() {
  while (head_.next != &head_) {
    Link* link = head_.next;
    link->prev->next = link->next;
    link->next->prev = link->prev;
    ::operator delete(link);
  }
  release_free();
}
