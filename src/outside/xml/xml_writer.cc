// Tag writing for the documents of the DAQ protocol. Tags are appended to the
// caller's buffer; attribute values go through append_xml_escaped so that any
// text survives a write and a read unchanged (see xml_escape.cc).
#include "orxa_xml.h"

void set_xml_header(std::string& out) { out += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"; }

void START_TAG(std::string& out, const char* name) {
  out += '<';
  if (name != nullptr) out += name;
  out += '>';
}

void END_TAG(std::string& out, const char* name) {
  out += "</";
  if (name != nullptr) out += name;
  out += '>';
}

void START_TAGN(std::string& out, const char* name) {
  START_TAG(out, name);
  out += '\n';
}

void END_TAGN(std::string& out, const char* name) {
  END_TAG(out, name);
  out += '\n';
}
