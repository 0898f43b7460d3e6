// Human-readable dumps of requests and replies on standard output. The lines are
// part of the system's interface (operators and scripts read them), so formats
// stay byte for byte; fixed text fields are printed within their arrays. Each
// dump is one diagnostics block, so a sink counts a repeated dump as one message.
#include <cstdlib>

#include "daq_diag.h"
#include "daq_server_util_def.h"
#include "daq_text.h"

namespace {
// The data directories searched when a request names none: the pool first, then
// the facilities' own areas. Printed only; the server applies its own list.
const char kDefaultDataPathList[] =
    "/daq_pool/data"
    ":/daq_data/linac/rf:/daq_data/linac/diag:/daq_data/linac/vacuum"
    ":/daq_data/linac/magnets:/daq_data/injector/rf:/daq_data/injector/diag"
    ":/daq_data/ring/rf:/daq_data/ring/diag:/daq_data/ring/orbit"
    ":/daq_data/ring/magnets:/daq_data/undulator/diag:/daq_data/undulator/photon"
    ":/daq_data/beamline/diag:/daq_data/cryo/plant";
const char kDefaultCatalogDir[] = "/daq/orxa/adm/";
const char kDataPathVariable[] = "ORXA_DAQ_DATA_PATH_LIST";

template <std::size_t N>
int width(const char (&field)[N]) {
  return static_cast<int>(field_length(field));
}

void print_time(const char* label, const char (&text)[DAQ_TIME_TEXT_SIZE], int seconds) {
  if (text[0] == '\0') {
    daq_print("%s:\tUnknown\n", label);
    return;
  }
  daq_print("%s:\t'%.*s'", label, width(text), text);
  if (seconds > 0) {
    daq_print("\t(%d)\n", seconds);
  } else {
    daq_print("\n");
  }
}

void print_channel(int k, const daq_channel_entry* entry) {
  const orxa_chan_prms& p = entry->prms;
  daq_print("[%d] '%s'\n", k, entry->name != nullptr ? entry->name : "");
  if (p.start >= 0) daq_print("[%d]  start: %d\n", k, p.start);
  if (p.length >= 0) daq_print("[%d] length: %d\n", k, p.length);
  if (p.inc > 0) daq_print("[%d]    inc: %d\n", k, p.inc);
  if (p.tstart >= 0.0f) daq_print("[%d]  tstart: %f\n", k, static_cast<double>(p.tstart));
  if (p.tlength >= 0.0f) daq_print("[%d] tlength: %f\n", k, static_cast<double>(p.tlength));
  if (p.tinc > 0.0f) daq_print("[%d]    tinc: %f\n", k, static_cast<double>(p.tinc));
  if (p.func >= 0) daq_print("[%d]   func: %d\n", k, p.func);
}

void print_texts(const char* title, const std::vector<char*>& texts) {
  if (texts.empty()) return;
  daq_line(title);
  int k = 0;
  for (const char* text : texts) {
    ++k;
    daq_print("[%d] '%s'\n", k, text != nullptr ? text : "");
  }
}
}  // namespace

void print_daq_request(daq_server_request* request) {
  if (request == nullptr) return;
  DaqDiagBlock dump;
  const daq_server_request& r = *request;
  daq_print("======DAQ_REQUEST=ID=%i=====\n", static_cast<int>(r.id));
  print_time("TStart", r.t_start, r.t_start_sec);
  print_time("TStop", r.t_stop, r.t_stop_sec);

  if (r.run_first == 0) {
    daq_line("Runs:\tALL");
  } else if (r.run_first > 0) {
    if (r.run_last > 0) {
      daq_print("Runs First:\t %d\tLast\t%d\n", r.run_first, r.run_last);
    } else {
      daq_print("Run \t %d\n", r.run_first);
    }
  }

  if (r.exp[0] != '\0') {
    daq_print("Experimnt:\t'%.*s'\n", width(r.exp), r.exp);
  } else {
    daq_line("Experiment:\tUnknown");
  }

  if (!r.ddir.empty()) {
    daq_print("Data Dir:\t'%s'\n", r.ddir.c_str());
  } else if (const char* list = std::getenv(kDataPathVariable)) {
    daq_print("Data Dir:\tfrom ENV %s -> '%s'\n", kDataPathVariable, list);
  } else {
    daq_print("Data Dir: \t Default list: %s\n", kDefaultDataPathList);
  }

  if (!r.cdir.empty()) {
    daq_print("Catalog Dir:\t'%s'\n", r.cdir.c_str());
  } else {
    daq_print("Catalog Dir:\tDefault ('%s')\n", kDefaultCatalogDir);
  }

  if (r.conf_file[0] != '\0') {
    daq_print("Conf File:\t'%.*s'\n", width(r.conf_file), r.conf_file);
  } else {
    daq_line("Conf File:\tNone");
  }

  daq_print("Scan Mode: 0x%x", static_cast<unsigned>(r.scan_mode));
  daq_print("\tComm Mode: %d", r.comm_mode);
  daq_print("\tReq  Type: %d\n", r.req_type);

  if (!r.chan_list.empty()) {
    daq_print("---Channel-list---(%d)\n", static_cast<int>(r.chan_list.size()));
    int k = 0;
    for (const daq_channel_entry* entry : r.chan_list) {
      ++k;
      if (entry != nullptr) print_channel(k, entry);
    }
  }
  print_texts("---File-list---", r.file_list);
  daq_line("========DAQ_REQUEST_END====================");
}

void print_daq_reply(daq_server_reply* reply) {
  if (reply == nullptr) return;
  DaqDiagBlock dump;
  daq_line("+++++++++++DAQ_REPLY+++++++++++++");
  print_daq_request(&reply->request);
  daq_line("------STATISTICS--------");
  const daq_server_stat& s = reply->stat;
  daq_print("Tstart(sec):%d", s.t_start_sec);
  daq_print("Tstop(sec):%d", s.t_stop_sec);
  daq_print("Files:%d", s.files);
  daq_print("\tFids:%d", s.fids);
  daq_print("\tEvents:%d", s.events);
  daq_print("\tData Loc:0x%X", static_cast<unsigned>(s.data_loc));
  daq_print("\tAvail.:%d\n", s.avail);
  print_texts("____Found_File_list___", s.file_list);
  print_texts("____Not_Found_Channel_list___", s.nf_chan_list);
  print_texts("____Not_Found_File_list___", s.nf_file_list);
  daq_line("------------------------");
  daq_print(">>>>>> Port %d <<<<<\n", reply->port);
  daq_print(">>>>>> Host '%.*s' <<<<<\n", width(reply->host), reply->host);
  daq_print(">>>>>> EvID 64bit '%d' <<<<<\n", reply->evid64bitmode ? 1 : 0);
  daq_print(">>>>>> Comment '%.*s' <<<<<\n", width(reply->reason), reply->reason);
  daq_line("++++++++DAQ_REPLY_END+++++++++++++++");
}
