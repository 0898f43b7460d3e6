// Idle memory parsers kept for the next document. Only a parser that read its
// document without an error goes back: after a failure (memory running out in
// the middle of a scan) the library's state cannot be trusted, and after a
// malformed document there is nothing to gain. Parsers are deleted outside the
// lock, so a slow teardown never holds up another thread.
#include <cstddef>
#include <vector>

#include "daq_mutex.h"
#include "orxa_xml.h"
#include "sax_reader.h"

namespace {
// Of each scanner kind: enough for the handler threads of a busy server; the
// rest are deleted.
constexpr size_t kKeptParsers = 4;
}  // namespace

struct SAX_Parser_Cache::Idle {
  DaqMutex lock;
  std::vector<SaxReader*> readers GUARDED_BY(lock);
};

SAX_Parser_Cache::SAX_Parser_Cache() : idle_(new (std::nothrow) Idle) {}

SAX_Parser_Cache::~SAX_Parser_Cache() {
  if (idle_ == nullptr) return;
  std::vector<SaxReader*> left;
  {
    DaqLockGuard guard(idle_->lock);
    left.swap(idle_->readers);
  }
  for (SaxReader* r : left) delete r;
  delete idle_;
}

SaxReader* SAX_Parser_Cache::take(ScannerKind kind) {
  if (idle_ == nullptr) return nullptr;
  DaqLockGuard guard(idle_->lock);
  std::vector<SaxReader*>& readers = idle_->readers;
  for (size_t i = readers.size(); i-- > 0;) {
    SaxReader* r = readers[i];
    if (r->kind() != kind) continue;
    readers.erase(readers.begin() + static_cast<std::ptrdiff_t>(i));
    return r;
  }
  return nullptr;
}

void SAX_Parser_Cache::give_back(SaxReader* reader) {
  if (reader == nullptr) return;
  if (idle_ != nullptr && reader->reusable()) {
    reader->rewind();
    if (reader->reusable()) {
      DaqLockGuard guard(idle_->lock);
      size_t kept = 0;
      for (SaxReader* r : idle_->readers) kept += r->kind() == reader->kind() ? 1 : 0;
      if (kept < kKeptParsers) {
        try {
          idle_->readers.push_back(reader);
          return;
        } catch (...) {
          // No room to keep it: deleted below like any surplus parser.
        }
      }
    }
  }
  delete reader;
}
