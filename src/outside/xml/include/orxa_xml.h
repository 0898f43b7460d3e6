// XML helper library: tag writing into std::string buffers and element-by-element
// (SAX style) reading of a document from memory or from a file. The reader never
// builds a tree, loads no DTD, resolves no external entity and opens nothing but
// the one file it is asked to read. No exception leaves this library.
#ifndef ORXA_XML_H
#define ORXA_XML_H

#include <string>

#include "orxa_xml_export.h"

// Appends the XML declaration (one line).
ORXA_XML_EXPORT void set_xml_header(std::string& out);
// Start and end tags followed by a line end, as used between the lines of a document.
ORXA_XML_EXPORT void START_TAGN(std::string& out, const char* name);
ORXA_XML_EXPORT void END_TAGN(std::string& out, const char* name);
// Start and end tags exactly as they stand in a written document, without the line
// end, so that a reader can search a document for them.
ORXA_XML_EXPORT void START_TAG(std::string& out, const char* name);
ORXA_XML_EXPORT void END_TAG(std::string& out, const char* name);

// Appends value with the five XML special characters replaced by entity
// references (&quot; &lt; &gt; &amp; &apos;), for use inside a double-quoted
// attribute. Tab, line feed and carriage return become character references,
// which a reader does not normalise to blanks, so every UTF-8 text reads back
// unchanged. A byte XML 1.0 cannot carry (another control character, malformed
// UTF-8) is written as '?', so the document stays readable. A null value appends
// nothing.
ORXA_XML_EXPORT void append_xml_escaped(std::string& out, const char* value);

class SaxReader;  // the parsing machinery; private to the library
enum class ScannerKind;

// Both parsers refuse a document that holds a document type declaration: start()
// fails (or parse() stops) as soon as one is met, so no DTD, entity declaration
// or entity expansion is ever processed. Errors are counted, and the first fatal
// one is reported in one line on standard output. Xerces-C is initialised by the
// first parser of the process and terminated when the library is unloaded;
// parsers may live on any number of threads at once (one parser per thread).

class SAX_Parser_Cache;

// Reads a NUL-terminated document held in memory. The text must stay valid and
// unchanged until the parser is destroyed.
class ORXA_XML_EXPORT SAX_Memory_Parser {
 public:
  explicit SAX_Memory_Parser(char* xml);
  // The same, with a parser taken from cache (when it holds one) and handed back
  // to it on destruction if it read its document without an error. The cache
  // must outlive the parser; null: as the constructor above. Without a cache,
  // the one of the thread's SAX_Parser_Cache_Scope is used, if there is one.
  SAX_Memory_Parser(char* xml, SAX_Parser_Cache* cache);
  ~SAX_Memory_Parser();
  SAX_Memory_Parser(const SAX_Memory_Parser&) = delete;
  SAX_Memory_Parser& operator=(const SAX_Memory_Parser&) = delete;

  // True when the object could be set up.
  bool init_ok() const;
  // False when parsing can begin, true on failure.
  bool start();
  // 0 and the next element's name in *tag (null for items that are not an element
  // start) as the document is read in order; not 0 at the end of the document or
  // when reading cannot go on. value is not used and may be null.
  int parse(char** tag, char** value);
  // 0 and the attribute's unescaped text of the element last reported; not 0 when
  // that element has no such attribute. The text stays readable until the next call.
  int get_attr(const char* name, char** value);
  // Number of XML errors (warnings, errors, fatal errors) met so far.
  int get_error_counter() const;

 private:
  SaxReader* reader_;
  char* xml_;
  SAX_Parser_Cache* cache_ = nullptr;
};

// Idle parsers kept between documents: setting a parser up and tearing it down
// costs several times the reading of a short document, so a reader of many
// documents (a connection, a server) keeps one of these. Any number of threads
// may use one cache at once; it keeps a few idle parsers and deletes the rest.
class ORXA_XML_EXPORT SAX_Parser_Cache {
 public:
  SAX_Parser_Cache();
  ~SAX_Parser_Cache();
  SAX_Parser_Cache(const SAX_Parser_Cache&) = delete;
  SAX_Parser_Cache& operator=(const SAX_Parser_Cache&) = delete;

 private:
  friend class SAX_Memory_Parser;
  struct Idle;
  // An idle parser of that kind or null; takes ownership of a finished one
  // (null is ignored).
  SaxReader* take(ScannerKind kind);
  void give_back(SaxReader* reader);
  Idle* idle_;
};

// While it lives, the memory parsers made on this thread without a cache take
// theirs from cache, so a caller that keeps parsers lends them to the libraries
// it calls. The cache must outlive the scope; scopes nest, and each gives back
// the one before it. A null cache changes nothing.
class ORXA_XML_EXPORT SAX_Parser_Cache_Scope {
 public:
  explicit SAX_Parser_Cache_Scope(SAX_Parser_Cache* cache);
  ~SAX_Parser_Cache_Scope();
  SAX_Parser_Cache_Scope(const SAX_Parser_Cache_Scope&) = delete;
  SAX_Parser_Cache_Scope& operator=(const SAX_Parser_Cache_Scope&) = delete;

 private:
  SAX_Parser_Cache* previous_;
};

// The same reading, for a document in a file named at start().
class ORXA_XML_EXPORT SAX_File_Parser {
 public:
  SAX_File_Parser();
  ~SAX_File_Parser();
  SAX_File_Parser(const SAX_File_Parser&) = delete;
  SAX_File_Parser& operator=(const SAX_File_Parser&) = delete;

  bool init_ok() const;
  bool start(const char* file);
  int parse(char** tag, char** value);
  int get_attr(const char* name, char** value);
  int get_error_counter() const;

 private:
  SaxReader* reader_;
};

#endif
