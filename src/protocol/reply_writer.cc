// Writing reply documents: the full reply (request echo, stream address, comment,
// statistics and optionally the channel descriptions) and the two short replies
// a server sends when it refuses or defers a request.
#include <cstdio>

#include "daq_diag.h"
#include "daq_server_util_def.h"
#include "daq_text.h"
#include "decimal_text.h"
#include "orxa_chan_descr.h"
#include "tag_writing.h"

namespace {
// Room for a usual document at once, so that writing it does not grow the
// string step by step.
constexpr std::size_t kSimpleReplyBytes = 256;
constexpr std::size_t kReplyBytes = 1024;

// The descriptions as one block that starts at the root element's start tag
// (whatever the library put before it, a declaration for example, is dropped).
// An empty result means no block.
std::string description_block(std::vector<chan_descr_2010*>* ivc) {
  std::string text;
  if (ivc == nullptr || ivc->empty()) return text;
  if (dump_chan_desr(ivc, nullptr, 2, 0, -1, &text, nullptr) != 0) {
    daq_line("create_xml_daq_reply() failed to dump_chan_desr() ... continue");
    return text;
  }
  std::string start_tag;
  START_TAG(start_tag, get_chan_descr_root_tag(0, 0));
  std::size_t at = text.find(start_tag);
  if (at == std::string::npos) {
    daq_line("create_xml_daq_reply() something wrong with descr ... continue");
    text.clear();
  } else if (at > 0) {
    text.erase(0, at);
  }
  return text;
}

void write_reply_line(std::string& out, const daq_server_reply& reply) {
  if (reply.port <= 0) {
    EMPTY_TAG_ATTRN(out, "Reply", "rep", "0");
    return;
  }
  char port[kDecimalRoom];
  write_decimal(port, reply.port);
  char host[DAQ_HOST_SIZE + 1];
  copy_text(host, reply.host, field_length(reply.host));
  char mode[] = "Yes";
  char no[] = "No";
  EMPTY_TAG_3ATTRN(out, "Reply", "rep", port, "host", host, "EvId64bitmode",
                   reply.evid64bitmode ? mode : no);
}

void write_statistics(std::string& out, const daq_server_stat& s) {
  EMPTY_TAG_INT_ATTRN(out, "TStart", "secs", "%d", s.t_start_sec);
  EMPTY_TAG_INT_ATTRN(out, "TStop", "secs", "%d", s.t_stop_sec);
  EMPTY_TAG_INT_ATTRN(out, "Files", "num", "%d", s.files);
  EMPTY_TAG_INT_ATTRN(out, "FIds", "num", "%d", s.fids);
  EMPTY_TAG_INT_ATTRN(out, "Events", "num", "%d", s.events);
  EMPTY_TAG_INT_ATTRN(out, "DataLoc", "code", "0x%X", s.data_loc);
  for (const char* name : s.nf_chan_list) {
    if (name != nullptr) EMPTY_TAG_ATTRN(out, "NFChan", "name", name);
  }
  for (const char* name : s.nf_file_list) {
    if (name != nullptr) EMPTY_TAG_ATTRN(out, "NFFile", "name", name);
  }
  for (const char* name : s.file_list) {
    if (name != nullptr) EMPTY_TAG_ATTRN(out, "File", "name", name);
  }
  EMPTY_TAG_INT_ATTRN(out, "Avail", "num", "%d", s.avail);
}

char* simple_reply(char* info, std::string& out, unsigned id, const char* rep) {
  out.clear();
  out.reserve(kSimpleReplyBytes);
  set_xml_header(out);
  START_TAGN(out, "DAQREP");
  START_TAGN(out, "DAQREQ");
  if (id != 0) EMPTY_TAG_INT_ATTRN(out, "ReqId", "id", "%i", static_cast<int>(id));
  END_TAGN(out, "DAQREQ");
  EMPTY_TAG_ATTRN(out, "Reply", "rep", rep);
  EMPTY_TAG_ATTRN(out, "Reason", "com", info != nullptr ? info : "");
  END_TAGN(out, "DAQREP");
  return out.data();
}
}  // namespace

char* create_xml_daq_reply(daq_server_reply* reply, std::string& out,
                           std::vector<chan_descr_2010*>* ivc) {
  out.clear();
  std::string descriptions = description_block(ivc);
  out.reserve(kReplyBytes + descriptions.size());
  set_xml_header(out);
  START_TAGN(out, "DAQREP");
  if (reply != nullptr) {
    create_xml_daq_request(&reply->request, out, 0);
    write_reply_line(out, *reply);
    char reason[DAQ_REASON_SIZE + 1];
    copy_text(reason, reply->reason, field_length(reply->reason));
    EMPTY_TAG_ATTRN(out, "Reason", "com", reason);
    START_TAGN(out, "Statistics");
    write_statistics(out, reply->stat);
    out += descriptions;
    END_TAGN(out, "Statistics");
  }
  END_TAGN(out, "DAQREP");
  return out.data();
}

char* get_simple_reply(char* info, std::string& out, unsigned id) {
  return simple_reply(info, out, id, "0");
}

char* get_simple_reply_with_port(char* info, std::string& out, unsigned id, unsigned port) {
  char rep[kDecimalRoom];
  write_decimal(rep, static_cast<int>(port));
  return simple_reply(info, out, id, rep);
}
