// Reading request documents from memory and from a file. Both walk the elements
// in document order; everything before the first DAQREQ is ignored. The memory
// reader starts the record afresh at every DAQREQ (so only the last one counts);
// the file reader completes the record it was given and ignores ConfFile, since a
// configuration file cannot name another one.
#include <cstring>
#include <memory>
#include <new>

#include "cached_readers.h"
#include "daq_diag.h"
#include "daq_server_util_def.h"
#include "orxa_xml.h"
#include "request_elements.h"

namespace {
template <class Parser>
int read_request_document(Parser& parser, daq_server_request* request, RequestReader reader) {
  bool seen = false;
  char* tag = nullptr;
  char* value = nullptr;
  AttrSource attrs(parser);
  while (parser.parse(&tag, &value) == 0) {
    if (tag == nullptr) continue;
    if (is_tag(tag, "DAQREQ")) {
      if (reader == RequestReader::memory) clean_request(request);
      seen = true;
      continue;
    }
    if (!seen) continue;
    if (read_request_element(tag, attrs, request, reader) == ElementResult::failed) return -1;
  }
  return seen ? parser.get_error_counter() : -1;
}

// A text field that grows (DDir, CDir) can throw; that is a failure like any
// other and the record keeps what was read.
template <class Parser>
int read_or_no_memory(Parser& parser, daq_server_request* request, RequestReader reader) {
  try {
    return read_request_document(parser, request, reader);
  } catch (const std::bad_alloc&) {
    daq_line("parse_daq_request() out of memory");
    return -1;
  }
}
}  // namespace

int parse_daq_request(char* xml, daq_server_request* request) {
  return parse_daq_request(xml, request, nullptr);
}

int parse_daq_request(char* xml, daq_server_request* request, SAX_Parser_Cache* cache) {
  if (xml == nullptr) return 1;
  std::unique_ptr<SAX_Memory_Parser> parser(new (std::nothrow) SAX_Memory_Parser(xml, cache));
  if (!parser || !parser->init_ok() || request == nullptr) return 1;
  if (parser->start()) return -1;
  return read_or_no_memory(*parser, request, RequestReader::memory);
}

int parse_daq_request_from_file(char* file, daq_server_request* request) {
  std::unique_ptr<SAX_File_Parser> parser(new (std::nothrow) SAX_File_Parser());
  if (!parser || !parser->init_ok() || request == nullptr) return 1;
  if (file == nullptr || parser->start(file)) return -1;
  return read_or_no_memory(*parser, request, RequestReader::file);
}
