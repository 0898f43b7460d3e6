// Idle memory parsers kept for the next document. Only a parser that read its
// document without an error goes back: after a failure (memory running out in
// the middle of a scan) the library's state cannot be trusted, and after a
// malformed document there is nothing to gain. Parsers are deleted outside the
// lock, so a slow teardown never holds up another thread.
#include <vector>

#include "daq_mutex.h"
#include "orxa_xml.h"
#include "sax_reader.h"

namespace {
// Enough for the handler threads of a busy server; the rest are deleted.
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

SaxReader* SAX_Parser_Cache::take() {
  if (idle_ == nullptr) return nullptr;
  DaqLockGuard guard(idle_->lock);
  if (idle_->readers.empty()) return nullptr;
  SaxReader* r = idle_->readers.back();
  idle_->readers.pop_back();
  return r;
}

void SAX_Parser_Cache::give_back(SaxReader* reader) {
  if (reader == nullptr) return;
  if (idle_ != nullptr && reader->reusable()) {
    reader->rewind();
    if (reader->reusable()) {
      DaqLockGuard guard(idle_->lock);
      if (idle_->readers.size() < kKeptParsers) {
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
