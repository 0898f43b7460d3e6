// Progressive SAX2 reading. Each parseNext() scans one token; the recorder keeps
// the element starts that token produced (normally none or one) and next() hands
// them out before scanning further. Security: no validation, no DTD is loaded,
// no entity is resolved (the resolver answers every request with an empty
// source), and a document type declaration stops the scan at once (the
// well-formedness scanner is given only documents that cannot hold one), so
// neither external files nor entity-expansion bombs can be reached. (Xerces' security
// manager is not installed: with no declaration ever read it has nothing to
// limit, and it makes attribute scanning several times slower.) Every Xerces
// exception is caught here and becomes a failure result.
#include "sax_reader.h"

#include <cstring>

#include <xercesc/framework/LocalFileInputSource.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/sax/SAXParseException.hpp>
#include <xercesc/sax2/Attributes.hpp>
#include <xercesc/sax2/DefaultHandler.hpp>
#include <xercesc/sax2/XMLReaderFactory.hpp>
#include <xercesc/util/XMLString.hpp>
#include <xercesc/util/XMLUni.hpp>

#include "daq_diag.h"
#include "plain_document.h"
#include "utf8_text.h"
#include "xerces_lifetime.h"

using namespace xercesc;

namespace {

// Thrown through the scanner to abandon a document that declares a document type.
struct DoctypeRefused {};

}  // namespace

class ElementRecorder : public DefaultHandler {
 public:
  std::vector<ElementStart> slots;
  std::size_t recorded = 0;
  int error_count = 0;
  bool doctype_seen = false;
  bool fatal_reported = false;
  const char* who = "";

  void startElement(const XMLCh* const, const XMLCh* const, const XMLCh* const qname,
                    const Attributes& attrs) override {
    if (recorded == slots.size()) slots.emplace_back();
    ElementStart& e = slots[recorded++];
    assign_utf8(e.name, qname);
    XMLSize_t n = attrs.getLength();
    if (e.attrs.size() < n) e.attrs.resize(n);
    for (XMLSize_t i = 0; i < n; ++i) {
      assign_utf8(e.attrs[i].first, attrs.getQName(i));
      assign_utf8(e.attrs[i].second, attrs.getValue(i));
    }
    e.nattrs = n;
  }

  void startDTD(const XMLCh* const, const XMLCh* const, const XMLCh* const) override {
    doctype_seen = true;
    daq_print("%s: document type declarations are refused\n", who);
    throw DoctypeRefused();
  }

  InputSource* resolveEntity(const XMLCh* const, const XMLCh* const systemId) override {
    static const XMLByte nothing[1] = {0};
    return new MemBufInputSource(nothing, 0, systemId != nullptr ? systemId : u"", false);
  }

  void warning(const SAXParseException&) override { ++error_count; }
  void error(const SAXParseException&) override { ++error_count; }
  void fatalError(const SAXParseException& exc) override {
    ++error_count;
    if (fatal_reported) return;
    fatal_reported = true;
    std::string text;
    assign_utf8(text, exc.getMessage());
    // The message may quote the document; keep the diagnostic on one line.
    for (char& c : text) {
      if (static_cast<unsigned char>(c) < 0x20) c = ' ';
    }
    daq_print("%s: XML error at line %llu column %llu: %s\n", who,
              static_cast<unsigned long long>(exc.getLineNumber()),
              static_cast<unsigned long long>(exc.getColumnNumber()), text.c_str());
  }
};

SaxReader::SaxReader(const char* who, ScannerKind kind) : who_(who), kind_(kind) {
  if (!xerces_acquire()) return;
  xerces_held_ = true;
  try {
    memory_.reset(new ParserMemory);
    recorder_.reset(new ElementRecorder);
    recorder_->who = who_;
    SAX2XMLReader* p = XMLReaderFactory::createXMLReader(memory_.get());
    parser_ = p;
    if (kind_ == ScannerKind::kWellFormed) {
      p->setProperty(XMLUni::fgXercesScannerName, const_cast<XMLCh*>(XMLUni::fgWFXMLScanner));
    }
    p->setFeature(XMLUni::fgSAX2CoreValidation, false);
    p->setFeature(XMLUni::fgSAX2CoreNameSpaces, false);
    p->setFeature(XMLUni::fgSAX2CoreNameSpacePrefixes, false);
    p->setFeature(XMLUni::fgXercesSchema, false);
    p->setFeature(XMLUni::fgXercesSchemaFullChecking, false);
    p->setFeature(XMLUni::fgXercesLoadSchema, false);
    p->setFeature(XMLUni::fgXercesLoadExternalDTD, false);
    p->setFeature(XMLUni::fgXercesDisableDefaultEntityResolution, true);
    p->setContentHandler(recorder_.get());
    p->setErrorHandler(recorder_.get());
    p->setEntityResolver(recorder_.get());
    p->setLexicalHandler(recorder_.get());
    p->setDTDHandler(recorder_.get());
  } catch (...) {
    daq_print("%s: failed to set up the XML parser\n", who_);
    delete parser_;
    parser_ = nullptr;
  }
}

SaxReader::~SaxReader() {
  stop();
  // The parser refers to the handlers and the source, and all of them to the
  // library's global state: release them before the library itself.
  try {
    delete parser_;
  } catch (...) {
  }
  parser_ = nullptr;
  source_.reset();
  recorder_.reset();
  // What the library did not release after running out of memory.
  memory_.reset();
  if (xerces_held_) xerces_release();
}

void SaxReader::stop() {
  if (!running_) return;
  running_ = false;
  try {
    parser_->parseReset(token_);
  } catch (...) {
    interrupted_ = true;
  }
}

bool SaxReader::reusable() const {
  return parser_ != nullptr && !interrupted_ && recorder_->error_count == 0 &&
         !recorder_->doctype_seen;
}

void SaxReader::rewind() {
  stop();
  source_.reset();
  recorder_->recorded = 0;
  recorder_->error_count = 0;
  recorder_->fatal_reported = false;
  started_ = false;
  delivered_ = 0;
  current_ = kNone;
  next_attr_ = 0;
}

bool SaxReader::begin(InputSource* source, const char* what) {
  source_.reset(source);
  started_ = true;
  try {
    running_ = parser_->parseFirst(*source_, token_);
  } catch (const DoctypeRefused&) {
    running_ = false;
  } catch (...) {
    running_ = false;
    interrupted_ = true;
    daq_print("%s: cannot read %s\n", who_, what);
  }
  if (recorder_->doctype_seen) stop();
  return !running_;
}

bool SaxReader::start_memory(const char* text) {
  if (parser_ == nullptr || text == nullptr || started_) return true;
  std::size_t length = std::strlen(text);
  // The declaration our writers put on a line of its own says what the
  // well-formedness scanner assumes anyway (version 1.0, UTF-8), and scanning
  // it costs as much as a few elements. The line end stays, so a message's line
  // and column are where they were; only an ASCII text qualifies, since
  // the library reports a byte it cannot decode where it decoded it, and it
  // decodes in other pieces without the declaration.
  static const char kDeclaration[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  constexpr std::size_t kDeclarationLength = sizeof kDeclaration - 2;
  if (kind_ == ScannerKind::kWellFormed && length > kDeclarationLength &&
      std::memcmp(text, kDeclaration, kDeclarationLength + 1) == 0 && ascii_only(text, length)) {
    text += kDeclarationLength;
    length -= kDeclarationLength;
  }
  try {
    return begin(new MemBufInputSource(reinterpret_cast<const XMLByte*>(text), length, u"memory",
                                       false, memory_.get()),
                 "the document");
  } catch (...) {
    interrupted_ = true;
    return true;
  }
}

bool SaxReader::start_file(const char* path) {
  if (parser_ == nullptr || path == nullptr || *path == '\0' || started_) return true;
  XMLCh* wide = nullptr;
  InputSource* source = nullptr;
  try {
    wide = XMLString::transcode(path);
    source = new LocalFileInputSource(wide, memory_.get());
  } catch (...) {
    daq_print("%s: cannot read file %s\n", who_, path);
  }
  XMLString::release(&wide);
  if (source == nullptr) return true;
  return begin(source, path);
}

int SaxReader::next(char** tag) {
  if (tag != nullptr) *tag = nullptr;
  if (!started_ || recorder_ == nullptr) return 1;
  if (delivered_ == recorder_->recorded) {
    recorder_->recorded = 0;
    delivered_ = 0;
    if (!running_) return 1;
    try {
      running_ = parser_->parseNext(token_);
    } catch (...) {
      running_ = false;
      interrupted_ = true;
      // Not the end of the document (memory ran out in the library or in the
      // handler): counted as an error, so that a document cut short is never
      // taken for a whole one, and the half-recorded element is dropped.
      recorder_->recorded = 0;
      if (!recorder_->doctype_seen) {
        ++recorder_->error_count;
        daq_print("%s: reading stopped before the end of the document\n", who_);
      }
    }
    if (recorder_->doctype_seen) stop();
    // The last token may have been an element start (an empty root element):
    // hand out what it produced even when the scanner has reached the end.
    if (recorder_->recorded == 0) return running_ ? 0 : 1;
  }
  current_ = delivered_++;
  next_attr_ = 0;
  if (tag != nullptr) *tag = &recorder_->slots[current_].name[0];
  return 0;
}

int SaxReader::attr(const char* name, char** value) {
  if (current_ == kNone || recorder_ == nullptr || name == nullptr) return 1;
  ElementStart& e = recorder_->slots[current_];
  std::size_t len = std::strlen(name);
  // Readers ask for attributes mostly in the order they are written, so the
  // search starts after the last one found and wraps around.
  std::size_t start = next_attr_ < e.nattrs ? next_attr_ : 0;
  for (std::size_t k = 0; k < e.nattrs; ++k) {
    std::size_t i = start + k < e.nattrs ? start + k : start + k - e.nattrs;
    auto& a = e.attrs[i];
    if (a.first.size() == len && std::memcmp(a.first.data(), name, len) == 0) {
      if (value != nullptr) *value = &a.second[0];
      next_attr_ = i + 1;
      return 0;
    }
  }
  return 1;
}

int SaxReader::errors() const { return recorder_ != nullptr ? recorder_->error_count : 0; }
