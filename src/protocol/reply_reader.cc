// Reading reply documents. The channel-description block is cut out of a working
// copy first and handed to the event utility library whole; the rest is walked
// element by element. Two facts steer the walk: whether DAQREP has been seen and
// which section (request or statistics) is open. End tags close nothing: a
// section stays open until the other one opens.
#include <cstring>
#include <memory>
#include <new>

#include "cached_readers.h"
#include "daq_diag.h"
#include "daq_server_util_def.h"
#include "daq_text.h"
#include "number_text.h"
#include "orxa_chan_descr.h"
#include "orxa_xml.h"
#include "protocol_alloc.h"
#include "request_elements.h"

namespace {
enum class Section { none, request, statistics };

const std::size_t kHostChars = 30;
const std::size_t kReasonChars = 1022;

// Removes the description block from work and reads it into vc. A block whose
// start or end tag is missing, or whose end tag stands before its start tag, is
// left in place and not read.
void read_description_block(const char* xml, std::string& work, std::vector<chan_descr_2010*>* vc) {
  const char* root = get_chan_descr_root_tag(0, 0);
  if (root == nullptr || root[0] == '\0' || std::strstr(xml, root) == nullptr) return;
  std::string start_tag;
  std::string end_tag;
  START_TAG(start_tag, root);
  END_TAG(end_tag, root);
  std::size_t begin = work.find(start_tag);
  std::size_t end = work.find(end_tag);
  if (begin == std::string::npos || end == std::string::npos || end < begin) return;
  std::size_t length = end + end_tag.size() - begin;
  std::string block = work.substr(begin, length);
  work.erase(begin, length);
  int rc = parse_descr_list_read(block.data(), vc, false, false);
  if (rc != 0) daq_print("parse_daq_reply() Failed to  parse_descr_list_read() ret: %d\n", rc);
}

bool append_copy(std::vector<char*>& list, const char* text, const char* format) {
  char* copy = protocol_strdup(text);
  if (copy == nullptr || !protocol_append(list, copy)) {
    daq_print(format, text);
    return false;
  }
  return true;
}

ElementResult read_reply_line(const AttrSource& attrs, daq_server_reply* reply) {
  if (const char* rep = attrs.find("rep")) {
    reply->port = read_decimal(rep);
    if (reply->port < 0) {
      daq_print("parse_daq_reply() invalid reply %d\n", reply->port);
      return ElementResult::failed;
    }
  }
  if (const char* host = attrs.find("host")) copy_text(reply->host, host, kHostChars);
  if (const char* mode = attrs.find("EvId64bitmode")) {
    reply->evid64bitmode = std::strstr(mode, "Yes") != nullptr;
  }
  return ElementResult::handled;
}

ElementResult read_statistics_element(const char* tag, const AttrSource& attrs,
                                      daq_server_stat& stat) {
  struct Count {
    const char* element;
    const char* attr;
    int daq_server_stat::*field;
    bool code;
    const char* message;  // null: any value is taken
  };
  static const Count kCounts[] = {
      {"TStart", "secs", &daq_server_stat::t_start_sec, false, nullptr},
      {"TStop", "secs", &daq_server_stat::t_stop_sec, false, nullptr},
      {"Files", "num", &daq_server_stat::files, false,
       "parse_daq_reply() invalid number of files %d\n"},
      {"FIds", "num", &daq_server_stat::fids, false,
       "parse_daq_reply() invalid number if FIds %d\n"},
      {"Events", "num", &daq_server_stat::events, false,
       "parse_daq_reply() invalid number of events  %d\n"},
      {"DataLoc", "code", &daq_server_stat::data_loc, true,
       "parse_daq_reply() invalid data location code  %d\n"},
      {"Avail", "num", &daq_server_stat::avail, false,
       "parse_daq_reply() invalid number of available services %d\n"},
  };
  struct Name {
    const char* element;
    std::vector<char*> daq_server_stat::*list;
    const char* message;
  };
  static const Name kNames[] = {
      {"File", &daq_server_stat::file_list,
       "parse_daq_reply() failed to allocate memory for File %s\n"},
      {"NFChan", &daq_server_stat::nf_chan_list,
       "parse_daq_reply() failed to allocate memory for NF channel name %s\n"},
      {"NFFile", &daq_server_stat::nf_file_list,
       "parse_daq_reply() failed to allocate memory for NF file name %s\n"},
  };

  for (const Name& n : kNames) {
    if (!is_tag(tag, n.element)) continue;
    const char* name = attrs.find("name");
    if (name == nullptr) return ElementResult::ignored;
    return append_copy(stat.*n.list, name, n.message) ? ElementResult::handled
                                                      : ElementResult::failed;
  }
  for (const Count& c : kCounts) {
    if (!is_tag(tag, c.element)) continue;
    const char* text = attrs.find(c.attr);
    if (text == nullptr) return ElementResult::ignored;
    int& field = stat.*c.field;
    field = c.code ? read_code(text) : read_decimal(text);
    if (c.message == nullptr || field >= 0) return ElementResult::handled;
    daq_print(c.message, field);
    return ElementResult::failed;
  }
  return ElementResult::ignored;
}

int read_reply_document(SAX_Memory_Parser& parser, daq_server_reply* reply) {
  bool seen = false;
  Section section = Section::none;
  char* tag = nullptr;
  char* value = nullptr;
  AttrSource attrs(parser);
  while (parser.parse(&tag, &value) == 0) {
    if (tag == nullptr) continue;
    if (is_tag(tag, "DAQREP")) {
      clean_reply(reply);
      seen = true;
      continue;
    }
    if (!seen) continue;
    ElementResult result = ElementResult::ignored;
    if (is_tag(tag, "DAQREQ")) {
      section = Section::request;
    } else if (is_tag(tag, "Statistics")) {
      section = Section::statistics;
    } else if (is_tag(tag, "Reply")) {
      result = read_reply_line(attrs, reply);
    } else if (is_tag(tag, "Reason")) {
      if (const char* com = attrs.find("com")) copy_text(reply->reason, com, kReasonChars);
    } else if (section == Section::request) {
      result = read_request_element(tag, attrs, &reply->request, RequestReader::reply);
    } else if (section == Section::statistics) {
      result = read_statistics_element(tag, attrs, reply->stat);
    }
    if (result == ElementResult::failed) return -1;
  }
  return seen ? parser.get_error_counter() : -1;
}
}  // namespace

int parse_daq_reply(char* xml, daq_server_reply* reply, std::vector<chan_descr_2010*>* vc) {
  return parse_daq_reply(xml, reply, vc, nullptr);
}

int parse_daq_reply(char* xml, daq_server_reply* reply, std::vector<chan_descr_2010*>* vc,
                    SAX_Parser_Cache* cache) {
  if (xml == nullptr) return 1;
  // Memory can also run out in the working copy or a growing list: the reply
  // keeps what was read, as after any other failure.
  try {
    std::string work(xml);
    {
      // The description reader makes its own parser: it takes a kept one.
      SAX_Parser_Cache_Scope lend(cache);
      read_description_block(xml, work, vc);
    }
    std::unique_ptr<SAX_Memory_Parser> parser(new (std::nothrow)
                                                  SAX_Memory_Parser(work.data(), cache));
    if (!parser || !parser->init_ok() || reply == nullptr) return 1;
    if (parser->start()) return -1;
    return read_reply_document(*parser, reply);
  } catch (const std::bad_alloc&) {
    daq_line("parse_daq_reply() out of memory");
    return -1;
  }
}
