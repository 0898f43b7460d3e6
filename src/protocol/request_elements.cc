// Element handling of a request section. An element whose needed attribute is
// absent changes nothing; a failing value is stored before the reader gives up,
// so the caller sees what was read. Texts are cut to their field sizes (less one
// spare character, as the record layout expects).
#include "request_elements.h"

#include <cstring>

#include "daq_diag.h"
#include "daq_text.h"
#include "number_text.h"
#include "protocol_alloc.h"

namespace {
const std::size_t kShortTextChars = 30;  // t_start, t_stop, exp
const std::size_t kConfFileChars = 1022;

float float_or_unset(const AttrSource& attrs, const char* name) {
  const char* text = attrs.find(name);
  return text != nullptr ? read_float(text) : -1.0f;
}

int int_or_unset(const AttrSource& attrs, const char* name) {
  const char* text = attrs.find(name);
  return text != nullptr ? read_decimal(text) : -1;
}

ElementResult read_channel(const AttrSource& attrs, daq_server_request* request) {
  const char* name = attrs.find("name");
  if (name == nullptr) return ElementResult::ignored;
  daq_channel_entry* entry = nullptr;
  switch (protocol_new_entry(name, &entry)) {
    case EntryAlloc::no_entry:
      daq_print("parse_daq_request() failed to allocate memory for channel entry %s\n", name);
      return ElementResult::failed;
    case EntryAlloc::no_name:
      daq_print("parse_daq_request() failed to allocate memory for channel name %s\n", name);
      return ElementResult::failed;
    case EntryAlloc::ok:
      break;
  }
  // The name is copied: attrs' texts die with the next parser call.
  orxa_chan_prms& p = entry->prms;
  p.start = int_or_unset(attrs, "start");
  p.length = int_or_unset(attrs, "length");
  p.inc = int_or_unset(attrs, "inc");
  p.func = int_or_unset(attrs, "func");
  p.tstart = float_or_unset(attrs, "tstart");
  p.tlength = float_or_unset(attrs, "tlength");
  p.tinc = float_or_unset(attrs, "tinc");
  if (!protocol_append(request->chan_list, entry)) {
    daq_print("parse_daq_request() failed to allocate memory for channel entry %s\n", name);
    return ElementResult::failed;
  }
  return ElementResult::handled;
}

ElementResult read_file(const AttrSource& attrs, daq_server_request* request,
                        RequestReader reader) {
  const char* name = attrs.find("name");
  if (name == nullptr) return ElementResult::ignored;
  char* copy = protocol_strdup(name);
  if (copy == nullptr || !protocol_append(request->file_list, copy)) {
    if (reader == RequestReader::reply) {
      daq_print("parse_daq_reply() failed to allocate memory for file name %s\n", name);
    } else {
      daq_print("parse_daq_request() failed to allocate memory for file name %s\n", name);
    }
    return ElementResult::failed;
  }
  return ElementResult::handled;
}

ElementResult read_id(const char* text, daq_server_request* request) {
  request->id = static_cast<uint32_t>(read_decimal(text));
  if (request->id != 0) return ElementResult::handled;
  daq_print("parse_daq_request() invalid request Id %d\n", 0);
  return ElementResult::failed;
}

// ReqType and CommMode: a value outside low..high fails; the reply reader names
// itself in the message.
struct RangeCheck {
  int low;
  int high;
  const char* request_message;
  const char* reply_message;
};
const RangeCheck kReqTypeRange = {1, 3, "parse_daq_request() invalid request type %d\n",
                                  "parse_daq_reply() invalid reply type %d\n"};
const RangeCheck kCommModeRange = {1, 2, "parse_daq_request() invalid communication mode %d\n",
                                   "parse_daq_reply() invalid communication mode %d\n"};

ElementResult read_in_range(const char* text, int* field, const RangeCheck& range,
                            RequestReader reader) {
  *field = read_decimal(text);
  if (*field >= range.low && *field <= range.high) return ElementResult::handled;
  daq_print(reader == RequestReader::reply ? range.reply_message : range.request_message, *field);
  return ElementResult::failed;
}

}  // namespace

ElementResult read_request_element(const char* tag, const AttrSource& attrs,
                                   daq_server_request* request, RequestReader reader) {
  const char* text = nullptr;
  // Ordered by how often the elements occur in a document.
  if (is_tag(tag, "Chan")) return read_channel(attrs, request);
  if (is_tag(tag, "File")) return read_file(attrs, request, reader);

  if (is_tag(tag, "ReqId")) {
    text = attrs.find("id");
    return text != nullptr ? read_id(text, request) : ElementResult::ignored;
  }
  if (is_tag(tag, "TStart") || is_tag(tag, "TStop")) {
    text = attrs.find("time");
    if (text == nullptr) return ElementResult::ignored;
    copy_text(tag[3] == 'a' ? request->t_start : request->t_stop, text, kShortTextChars);
    return ElementResult::handled;
  }
  if (is_tag(tag, "RunFirst")) {
    text = attrs.find("number");
    if (text == nullptr) return ElementResult::ignored;
    request->run_first = read_decimal(text);
    bool copy_to_last =
        reader == RequestReader::reply ? request->run_last == -1 : request->run_last < 1;
    if (copy_to_last) request->run_last = request->run_first;
    return ElementResult::handled;
  }
  if (is_tag(tag, "RunLast")) {
    text = attrs.find("number");
    if (text != nullptr) request->run_last = read_decimal(text);
    return text != nullptr ? ElementResult::handled : ElementResult::ignored;
  }
  if (is_tag(tag, "Exp")) {
    text = attrs.find("name");
    if (text != nullptr) copy_text(request->exp, text, kShortTextChars);
    return text != nullptr ? ElementResult::handled : ElementResult::ignored;
  }
  if (is_tag(tag, "DDir") || is_tag(tag, "CDir")) {
    text = attrs.find("name");
    if (text != nullptr) (tag[0] == 'D' ? request->ddir : request->cdir) = text;
    return text != nullptr ? ElementResult::handled : ElementResult::ignored;
  }
  if (is_tag(tag, "ConfFile")) {
    if (reader == RequestReader::file) return ElementResult::ignored;
    text = attrs.find("file");
    if (text != nullptr) copy_text(request->conf_file, text, kConfFileChars);
    return text != nullptr ? ElementResult::handled : ElementResult::ignored;
  }
  if (is_tag(tag, "ScanMode")) {
    text = attrs.find("mode");
    if (text != nullptr) request->scan_mode = read_code(text);
    return text != nullptr ? ElementResult::handled : ElementResult::ignored;
  }
  if (is_tag(tag, "ReqType")) {
    text = attrs.find("type");
    return text != nullptr ? read_in_range(text, &request->req_type, kReqTypeRange, reader)
                           : ElementResult::ignored;
  }
  if (is_tag(tag, "CommMode")) {
    text = attrs.find("mode");
    return text != nullptr ? read_in_range(text, &request->comm_mode, kCommModeRange, reader)
                           : ElementResult::ignored;
  }
  return ElementResult::ignored;
}
