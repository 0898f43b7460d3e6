// Construction, reset and destruction of EqDAQconnect, and request building:
// setters, channel and file additions, getters.
//
// The request and reply records own malloc'ed blocks (Part of the protocol's
// contract), so every addition allocates with malloc and the records are cleaned
// before the object goes away.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "channel_text.h"
#include "daq_text.h"
#include "eq_daq_connect.h"
#include "facility_lists.h"
#include "orxa_chan_descr.h"
#include "orxa_xml.h"

namespace {

// Longest text the short text fields accept (their size less the NUL).
constexpr size_t kShortTextMax = DAQ_TIME_TEXT_SIZE - 1;

bool short_text_ok(const char* text) {
  return text != nullptr && text[0] != '\0' && std::strlen(text) <= kShortTextMax;
}

orxa_chan_prms no_parameters() {
  orxa_chan_prms p;
  p.start = p.inc = p.length = p.func = -1;
  p.tstart = p.tinc = p.tlength = -1.0f;
  return p;
}

time_t time_of(int seconds, const char* text, int fallback, bool any_nonzero) {
  if (any_nonzero ? seconds != 0 : seconds > 0) return seconds;
  if (text[0] != '\0') {
    char copy[DAQ_TIME_TEXT_SIZE];
    copy_text(copy, text);
    time_t t = 0;
    if (!time_from_isodate2(copy, &t) && t > 0) return t;
  }
  return fallback > 0 ? fallback : 0;
}

}  // namespace

EqDAQconnect::EqDAQconnect(velmor::EqCall* call, const char* linac)
    : id(0),
      eq_call(call),
      connect_cancel(false),
      connect_timeout_s(EQ_DAQ_CONNECT_DEFAULT_TIMEOUT_S),
      pass_observer(nullptr),
      pass_context(nullptr),
      connect_deadline_ms(-1),
      chanlist_from(0),
      caller_connect_ms(0),
      caller_call_ms(0),
      parsers(new (std::nothrow) SAX_Parser_Cache) {
  // Reseeded each time: two objects made in the same second share their id.
  std::srand(static_cast<unsigned>(getpid()));
  id = static_cast<int>(std::time(nullptr)) + (std::rand() & 0x3EF);
  clean_request(&request);
  clean_reply(&reply);
  init(linac);
  connect_cancel = false;
  sndreqerror[0] = '\0';
}

EqDAQconnect::~EqDAQconnect() {
  clean_reply(&reply);
  clean_request(&request);
  clean_chan_desr_list(&chanlist);
}

void EqDAQconnect::init(const char* linac) {
  const char* env = std::getenv("ORXA_DAQ_SERVERS");
  daq_server_names = env != nullptr ? env : facility_server_list(linac);
  clean_reply(&reply);
  clean_request(&request);
  request.id = static_cast<uint32_t>(id);
  clean_chan_desr_list(&chanlist);
}

int EqDAQconnect::set_start_time(int time) {
  if (time <= 0) return -1;
  request.t_start_sec = time;
  return 0;
}

int EqDAQconnect::set_stop_time(int time) {
  if (time <= 0) return -1;
  request.t_stop_sec = time;
  return 0;
}

int EqDAQconnect::set_start_time(const char* time) {
  if (!short_text_ok(time)) return -1;
  copy_text(request.t_start, time);
  return 0;
}

int EqDAQconnect::set_stop_time(const char* time) {
  if (!short_text_ok(time)) return -1;
  copy_text(request.t_stop, time);
  return 0;
}

int EqDAQconnect::set_experiment(const char* exp) {
  if (!short_text_ok(exp)) return -1;
  copy_text(request.exp, exp);
  return 0;
}

int EqDAQconnect::set_data_dir(const char* ddir) {
  if (!short_text_ok(ddir)) return -1;
  request.ddir = ddir;
  return 0;
}

int EqDAQconnect::set_ctl_dir(const char* cdir) {
  if (!short_text_ok(cdir)) return -1;
  request.cdir = cdir;
  return 0;
}

int EqDAQconnect::set_conf_file(const char* cfile) {
  if (cfile == nullptr || cfile[0] == '\0' || std::strlen(cfile) >= DAQ_CONF_FILE_SIZE) return -1;
  copy_text(request.conf_file, cfile);
  return 0;
}

int EqDAQconnect::set_scan_mode(int md) {
  request.scan_mode = md;
  return 0;
}

int EqDAQconnect::set_run_first(int run) {
  if (run <= 0) return -1;
  request.run_first = run;
  return 0;
}

int EqDAQconnect::set_run_last(int run) {
  if (run <= 0) return -1;
  request.run_last = run;
  return 0;
}

int EqDAQconnect::set_comm_mode(int md) {
  if (md != ORXA_DAQ_COMM_PUSH && md != ORXA_DAQ_COMM_HNDS) return -1;
  request.comm_mode = md;
  return 0;
}

int EqDAQconnect::set_request_type(int tp) {
  if (tp < 1 || tp > 3) return -1;
  request.req_type = tp;
  return 0;
}

int EqDAQconnect::add_file(const char* chan) {
  if (chan == nullptr || chan[0] == '\0') return -1;
  char* copy = strdup(chan);
  if (copy == nullptr) return -2;
  request.file_list.push_back(copy);
  return 0;
}

int EqDAQconnect::add_channel_entry(const char* name, size_t name_length,
                                    const orxa_chan_prms& prms) {
  if (name == nullptr || name_length == 0) return -1;
  auto* entry = static_cast<daq_channel_entry*>(std::calloc(1, sizeof(daq_channel_entry)));
  if (entry == nullptr) return -2;
  entry->name = strndup(name, name_length);
  if (entry->name == nullptr) {
    std::free(entry);
    return -2;
  }
  entry->prms = prms;
  request.chan_list.push_back(entry);
  return 0;
}

int EqDAQconnect::add_channel(const char* chan) {
  if (chan == nullptr || chan[0] == '\0') return -1;
  orxa_chan_prms prms = no_parameters();
  size_t name_length = 0;
  read_channel_text(chan, &name_length, &prms);
  return add_channel_entry(chan, name_length, prms);
}

int EqDAQconnect::add_channel(const char* chan, int length) {
  return add_channel(chan, length, -1, -1, -1);
}

int EqDAQconnect::add_channel(const char* chan, float length) {
  return add_channel(chan, length, -1.0f, -1.0f, -1);
}

int EqDAQconnect::add_channel(const char* chan, int length, int start) {
  return add_channel(chan, length, start, -1, -1);
}

int EqDAQconnect::add_channel(const char* chan, float length, float start) {
  return add_channel(chan, length, start, -1.0f, -1);
}

int EqDAQconnect::add_channel(const char* chan, int length, int start, int inc) {
  return add_channel(chan, length, start, inc, -1);
}

int EqDAQconnect::add_channel(const char* chan, float length, float start, float inc) {
  return add_channel(chan, length, start, inc, -1);
}

int EqDAQconnect::add_channel(const char* chan, int length, int start, int inc, int func) {
  if (chan == nullptr) return -1;
  orxa_chan_prms prms = no_parameters();
  prms.length = length;
  prms.start = start;
  prms.inc = inc;
  prms.func = func;
  return add_channel_entry(chan, std::strlen(chan), prms);
}

int EqDAQconnect::add_channel(const char* chan, float length, float start, float inc, int func) {
  if (chan == nullptr) return -1;
  orxa_chan_prms prms = no_parameters();
  prms.tlength = length;
  prms.tstart = start;
  prms.tinc = inc;
  prms.func = func;
  return add_channel_entry(chan, std::strlen(chan), prms);
}

int EqDAQconnect::get_scan_mode() { return request.scan_mode; }

time_t EqDAQconnect::get_start_time() {
  return time_of(request.t_start_sec, request.t_start, reply.stat.t_start_sec, false);
}

time_t EqDAQconnect::get_stop_time() {
  return time_of(request.t_stop_sec, request.t_stop, reply.stat.t_stop_sec, true);
}

int EqDAQconnect::get_server_host_port(char** hst, int* port, bool* mode) {
  return validate_daq_reply(&reply, port, hst, mode);
}

daq_server_reply* EqDAQconnect::get_server_reply() { return &reply; }

daq_server_request* EqDAQconnect::get_server_request() { return &request; }

bool EqDAQconnect::if_just_get_chan_list() { return request.req_type == ORXA_DAQ_REQ_CHANNELS; }

unsigned EqDAQconnect::get_chan_list(std::vector<chan_descr_2010*>** vc) {
  if (vc != nullptr) *vc = &chanlist;
  return static_cast<unsigned>(chanlist.size());
}

std::vector<char*>* EqDAQconnect::get_file_list() { return &reply.stat.file_list; }

std::vector<char*>* EqDAQconnect::get_not_found_file_list() { return &reply.stat.nf_file_list; }

std::vector<char*>* EqDAQconnect::get_not_found_chan_list() { return &reply.stat.nf_chan_list; }

bool EqDAQconnect::set_connect_cancel(bool cancel) {
  connect_cancel.store(cancel);
  return cancel;
}

bool EqDAQconnect::get_connect_cancel() { return connect_cancel.load(); }

void EqDAQconnect::print_request() { print_daq_request(&request); }

void EqDAQconnect::print_reply() { print_daq_reply(&reply); }
