#include "parser_memory.h"

#include <new>

#include <xercesc/util/OutOfMemoryException.hpp>
#include <xercesc/util/PlatformUtils.hpp>

ParserMemory::ParserMemory() { head_.prev = head_.next = &head_; }

ParserMemory::~ParserMemory() { release_all(); }

xercesc::MemoryManager* ParserMemory::getExceptionMemoryManager() {
  return xercesc::XMLPlatformUtils::fgMemoryManager;
}

void* ParserMemory::allocate(XMLSize_t size) {
  void* raw = ::operator new(sizeof(Link) + size, std::nothrow);
  if (raw == nullptr) throw xercesc::OutOfMemoryException();
  Link* link = static_cast<Link*>(raw);
  link->prev = &head_;
  link->next = head_.next;
  head_.next->prev = link;
  head_.next = link;
  return link + 1;
}

void ParserMemory::deallocate(void* p) {
  if (p == nullptr) return;
  Link* link = static_cast<Link*>(p) - 1;
  link->prev->next = link->next;
  link->next->prev = link->prev;
  ::operator delete(link);
}

void ParserMemory::release_all() {
  while (head_.next != &head_) deallocate(head_.next + 1);
}
