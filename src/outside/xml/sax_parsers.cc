// The two public parser classes: thin owners of a SaxReader that differ only in
// where the document comes from.
#include <new>

#include "orxa_xml.h"
#include "plain_document.h"
#include "sax_reader.h"

namespace {

// Once the scanner is running, value is never used by the contract.
int next_tag(SaxReader* reader, char** tag, char** value) {
  if (value != nullptr) *value = nullptr;
  if (reader == nullptr) {
    if (tag != nullptr) *tag = nullptr;
    return 1;
  }
  return reader->next(tag);
}

ScannerKind scanner_for(const char* xml) {
  return plain_document(xml) ? ScannerKind::kWellFormed : ScannerKind::kChecking;
}

// A plain pointer: a thread-local with a destructor would outlive what a test
// of every allocation can account for.
thread_local SAX_Parser_Cache* scoped_cache = nullptr;

}  // namespace

SAX_Parser_Cache_Scope::SAX_Parser_Cache_Scope(SAX_Parser_Cache* cache) : previous_(scoped_cache) {
  if (cache != nullptr) scoped_cache = cache;
}

SAX_Parser_Cache_Scope::~SAX_Parser_Cache_Scope() { scoped_cache = previous_; }

SAX_Memory_Parser::SAX_Memory_Parser(char* xml) : SAX_Memory_Parser(xml, nullptr) {}

SAX_Memory_Parser::SAX_Memory_Parser(char* xml, SAX_Parser_Cache* cache)
    : reader_(nullptr), xml_(xml), cache_(cache != nullptr ? cache : scoped_cache) {
  // Switching a new parser to the well-formedness scanner costs about what the
  // scanner saves on one document: it pays off for parsers that are kept.
  ScannerKind kind = cache_ != nullptr ? scanner_for(xml) : ScannerKind::kChecking;
  if (cache_ != nullptr) reader_ = cache_->take(kind);
  if (reader_ == nullptr) reader_ = new (std::nothrow) SaxReader("SAX_Memory_Parser", kind);
}

SAX_Memory_Parser::~SAX_Memory_Parser() {
  if (cache_ != nullptr) {
    cache_->give_back(reader_);
  } else {
    delete reader_;
  }
}

bool SAX_Memory_Parser::init_ok() const {
  return reader_ != nullptr && reader_->ok() && xml_ != nullptr;
}

bool SAX_Memory_Parser::start() { return !init_ok() || reader_->start_memory(xml_); }

int SAX_Memory_Parser::parse(char** tag, char** value) { return next_tag(reader_, tag, value); }

int SAX_Memory_Parser::get_attr(const char* name, char** value) {
  return reader_ != nullptr ? reader_->attr(name, value) : 1;
}

int SAX_Memory_Parser::get_error_counter() const {
  return reader_ != nullptr ? reader_->errors() : 0;
}

SAX_File_Parser::SAX_File_Parser() : reader_(new (std::nothrow) SaxReader("SAX_File_Parser")) {}

SAX_File_Parser::~SAX_File_Parser() { delete reader_; }

bool SAX_File_Parser::init_ok() const { return reader_ != nullptr && reader_->ok(); }

bool SAX_File_Parser::start(const char* file) { return !init_ok() || reader_->start_file(file); }

int SAX_File_Parser::parse(char** tag, char** value) { return next_tag(reader_, tag, value); }

int SAX_File_Parser::get_attr(const char* name, char** value) {
  return reader_ != nullptr ? reader_->attr(name, value) : 1;
}

int SAX_File_Parser::get_error_counter() const {
  return reader_ != nullptr ? reader_->errors() : 0;
}
