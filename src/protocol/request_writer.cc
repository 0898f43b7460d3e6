// Writes a request as a DAQREQ element: one empty element per line, attribute
// values only, escaped. Texts go straight into the output string, so no length
// is cut or overflows a working buffer; the only fixed buffer left is the one the
// event utility library fills with the default catalog name, at its contract size.
#include <cstdio>
#include <ctime>

#include "daq_server_util_def.h"
#include "daq_text.h"
#include "orxa_chan_descr.h"
#include "tag_writing.h"

namespace {
const int kCatalogNameSize = 1024;

// Empty text: the seconds as UTC calendar time, numbers without leading zeros.
void write_time(std::string& out, const char* element, const char (&text)[DAQ_TIME_TEXT_SIZE],
                int seconds) {
  if (text[0] != '\0') {
    char bounded[DAQ_TIME_TEXT_SIZE + 1];
    copy_text(bounded, text, field_length(text));
    EMPTY_TAG_ATTRN(out, element, "time", bounded);
    return;
  }
  if (seconds == 0) return;
  time_t t = seconds;
  struct tm tm;
  char formatted[96];
  if (gmtime_r(&t, &tm) == nullptr) return;
  std::snprintf(formatted, sizeof formatted, "%d-%d-%dT%d:%d:%d", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  EMPTY_TAG_ATTRN(out, element, "time", formatted);
}

void write_catalog_dir(std::string& out, const std::string& cdir) {
  if (!cdir.empty()) {
    EMPTY_TAG_ATTRN(out, "CDir", "name", cdir.c_str());
    return;
  }
  char name[kCatalogNameSize] = {0};
  int size = kCatalogNameSize;
  if (get_run_catalog_dir_name(nullptr, name, &size, 0) != 0) {
    copy_text(name, "Unknown");
  }
  name[kCatalogNameSize - 1] = '\0';  // whatever the library left, stay inside
  EMPTY_TAG_ATTRN(out, "CDir", "name", name);
}

void write_channel(std::string& out, const daq_channel_entry& entry) {
  const orxa_chan_prms& p = entry.prms;
  EMPTY_TAG_ATTR_NO_END(out, "Chan", "name", entry.name != nullptr ? entry.name : "");
  if (p.start >= 0) ADD_INT_ATTR(out, "start", "%d", p.start);
  if (p.length >= 0) ADD_INT_ATTR(out, "length", "%d", p.length);
  if (p.inc > 0) ADD_INT_ATTR(out, "inc", "%d", p.inc);
  if (p.func >= 0) ADD_INT_ATTR(out, "func", "%d", p.func);
  if (p.tstart >= 0.0f) ADD_FLOAT_ATTR(out, "tstart", p.tstart);
  if (p.tlength >= 0.0f) ADD_FLOAT_ATTR(out, "tlength", p.tlength);
  if (p.tinc > 0.0f) ADD_FLOAT_ATTR(out, "tinc", p.tinc);
  ADD_ENDN(out);
}
}  // namespace

char* create_xml_daq_request(daq_server_request* request, std::string& out, int how) {
  if (how != 0) {
    out.clear();
    // Room for a usual request at once, so that writing it does not grow the
    // string step by step.
    out.reserve(512);
    set_xml_header(out);
  }
  START_TAGN(out, "DAQREQ");
  if (request != nullptr) {
    const daq_server_request& r = *request;
    EMPTY_TAG_INT_ATTRN(out, "ReqId", "id", "%i", static_cast<int>(r.id));
    write_time(out, "TStart", r.t_start, r.t_start_sec);
    write_time(out, "TStop", r.t_stop, r.t_stop_sec);
    if (r.run_first >= 0) EMPTY_TAG_INT_ATTRN(out, "RunFirst", "number", "%d", r.run_first);
    if (r.run_last > 0) EMPTY_TAG_INT_ATTRN(out, "RunLast", "number", "%d", r.run_last);

    char exp[DAQ_EXP_SIZE + 1];
    copy_text(exp, r.exp, field_length(r.exp));
    EMPTY_TAG_ATTRN(out, "Exp", "name", exp[0] != '\0' ? exp : "linac");
    EMPTY_TAG_ATTRN(out, "DDir", "name", r.ddir.c_str());
    write_catalog_dir(out, r.cdir);
    EMPTY_TAG_INT_ATTRN(out, "ScanMode", "mode", "%d", r.scan_mode);
    EMPTY_TAG_INT_ATTRN(out, "ReqType", "type", "%d", r.req_type);
    EMPTY_TAG_INT_ATTRN(out, "CommMode", "mode", "%d", r.comm_mode);
    for (const daq_channel_entry* entry : r.chan_list) {
      if (entry != nullptr) write_channel(out, *entry);
    }
    for (const char* file : r.file_list) {
      if (file != nullptr) EMPTY_TAG_ATTRN(out, "File", "name", file);
    }
    char conf[DAQ_CONF_FILE_SIZE + 1];
    copy_text(conf, r.conf_file, field_length(r.conf_file));
    EMPTY_TAG_ATTRN(out, "ConfFile", "file", conf);
  }
  END_TAGN(out, "DAQREQ");
  return out.data();
}
