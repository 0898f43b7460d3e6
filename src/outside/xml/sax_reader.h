// The machinery behind SAX_Memory_Parser and SAX_File_Parser: a Xerces-C SAX2
// reader driven one token at a time (parseFirst/parseNext), whose handler records
// each element start with its attributes as UTF-8 texts.
#ifndef ORXA_SAX_READER_H
#define ORXA_SAX_READER_H

#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <xercesc/framework/XMLPScanToken.hpp>
#include <xercesc/sax/InputSource.hpp>
#include <xercesc/sax2/SAX2XMLReader.hpp>

#include "parser_memory.h"

// One element start as the caller sees it. Slots are reused from element to
// element, so their strings keep their capacity and reading allocates little.
struct ElementStart {
  std::string name;
  std::vector<std::pair<std::string, std::string>> attrs;
  std::size_t nattrs = 0;
};

class ElementRecorder;

// The scanner behind a reader. The well-formedness scanner keeps no grammar, so
// a document and each of its elements cost far less, but it passes over a
// document type declaration without a word: it reads only the memory documents
// that plain_document() clears. The other one reads everything else.
enum class ScannerKind { kChecking, kWellFormed };

class SaxReader {
 public:
  // who names the owning class in the one-line messages.
  explicit SaxReader(const char* who, ScannerKind kind = ScannerKind::kChecking);
  ~SaxReader();
  SaxReader(const SaxReader&) = delete;
  SaxReader& operator=(const SaxReader&) = delete;

  bool ok() const { return parser_ != nullptr; }
  ScannerKind kind() const { return kind_; }
  // True on failure, as the parsers' start().
  bool start_memory(const char* text);
  bool start_file(const char* path);
  // 0 with *tag set to an element name or null; 1 when nothing more can be read.
  int next(char** tag);
  int attr(const char* name, char** value);
  int errors() const;

  // True when the parser can read another document: it read this one without
  // an error, and nothing (memory running out) interrupted the library.
  bool reusable() const;
  // Forgets the document, keeping the parser and its buffers; only after reusable().
  void rewind();

 private:
  // what names the document in the message when it cannot be opened.
  bool begin(xercesc::InputSource* source, const char* what);
  void stop();

  const char* who_;
  ScannerKind kind_;
  bool xerces_held_ = false;
  // Declared before the parser: it must outlive everything the parser allocated.
  std::unique_ptr<ParserMemory> memory_;
  xercesc::SAX2XMLReader* parser_ = nullptr;
  std::unique_ptr<ElementRecorder> recorder_;
  std::unique_ptr<xercesc::InputSource> source_;
  xercesc::XMLPScanToken token_;
  bool started_ = false;
  bool running_ = false;       // the scanner still holds the document open
  bool interrupted_ = false;   // an exception came out of the library
  std::size_t delivered_ = 0;  // recorded element starts handed out so far
  // Slot of the element last reported. Its slot is only rewritten by a token
  // that reports a new element, so it stays valid across the null-tag items.
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  std::size_t current_ = kNone;
  std::size_t next_attr_ = 0;  // where the next attribute lookup starts
};

#endif
