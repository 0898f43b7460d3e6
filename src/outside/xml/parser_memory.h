// The memory of one parser. Xerces-C gives up on cleaning after running out of
// memory (a reader that fails in its constructor or in the middle of a scan
// leaves blocks that nothing refers to any more), so each parser allocates
// through its own manager that links every live block; whatever is still
// linked after the parser is deleted is released with the manager. Not
// thread-safe: one parser, one thread.
#ifndef ORXA_PARSER_MEMORY_H
#define ORXA_PARSER_MEMORY_H

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
  // Releases every block still allocated.
  void release_all();

 private:
  struct alignas(16) Link {
    Link* prev;
    Link* next;
  };
  Link head_;
};

#endif
