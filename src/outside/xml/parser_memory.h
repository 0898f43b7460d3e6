// The memory of one parser. Xerces-C gives up on cleaning after running out of
// memory (a reader that fails in its constructor or in the middle of a scan
// leaves blocks that nothing refers to any more), so each parser allocates
// through its own manager that links every live block; whatever is still
// linked after the parser is deleted is released with the manager.
//
// A kept parser allocates and frees the same blocks for every document (its
// reader with the 160 KB buffers, hash buckets, names), so freed blocks wait in
// lists by size for the next document instead of going back to the C library.
// What waits is bounded (kKeptBytes); the rest is freed at once. Not
// thread-safe: one parser, one thread.
#ifndef ORXA_PARSER_MEMORY_H
#define ORXA_PARSER_MEMORY_H

#include <cstddef>

#include <xercesc/framework/MemoryManager.hpp>

class ParserMemory : public xercesc::MemoryManager {
 public:
  ParserMemory();
  ~ParserMemory() override;
  ParserMemory(const ParserMemory&) = delete;
  ParserMemory& operator=(const ParserMemory&) = delete;

  xercesc::MemoryManager* getExceptionMemoryManager() override;
  // Throws xercesc::OutOfMemoryException as the library expects.
  void* allocate(XMLSize_t size) override;
  void deallocate(void* p) override;
  // Releases every block still allocated, and every block waiting for reuse.
  void release_all();

  // Bytes of freed blocks kept for reuse, at most: room for one document's
  // reader and its small blocks, so an idle kept parser holds about 200 KB more.
  static constexpr std::size_t kKeptBytes = 256 * 1024;

 private:
  struct alignas(16) Link {
    Link* prev;
    Link* next;
    std::size_t size;  // rounded, without the link
  };
  static constexpr std::size_t kGranule = 16;
  // Small sizes have a list each; larger ones share one list matched exactly.
  static constexpr std::size_t kSmallLists = 128;

  void link_live(Link* link);
  void release_free();

  Link head_;  // live blocks
  Link* free_small_[kSmallLists] = {};
  Link* free_large_ = nullptr;
  std::size_t free_bytes_ = 0;
};

#endif
