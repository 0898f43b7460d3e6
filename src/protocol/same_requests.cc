// Field-by-field comparison of two requests. The order of the checks is part of
// the contract: the first difference found names the result, later fields are not
// looked at. Text fields are compared within their arrays, so an unterminated
// field cannot make the comparison read past it.
#include <cstring>

#include "daq_diag.h"
#include "daq_server_util_def.h"

namespace {
template <std::size_t N>
bool same_text(const char (&a)[N], const char (&b)[N]) {
  return std::strncmp(a, b, N) == 0;
}

template <std::size_t N>
bool both_given_and_differ(const char (&a)[N], const char (&b)[N]) {
  return a[0] != '\0' && b[0] != '\0' && !same_text(a, b);
}

bool both_given_and_differ(const std::string& a, const std::string& b) {
  return !a.empty() && !b.empty() && a != b;
}

// NaN equals nothing, exactly as float comparison says.
bool same_entry(const daq_channel_entry* a, const daq_channel_entry* b) {
  if (a == nullptr || b == nullptr) return a == b;
  if (a->name == nullptr || b->name == nullptr) return a->name == b->name;
  const orxa_chan_prms& p = a->prms;
  const orxa_chan_prms& q = b->prms;
  return std::strcmp(a->name, b->name) == 0 && p.start == q.start && p.inc == q.inc &&
         p.length == q.length && p.func == q.func && p.tstart == q.tstart && p.tinc == q.tinc &&
         p.tlength == q.tlength;
}

bool has_entry(const std::vector<daq_channel_entry*>& list, const daq_channel_entry* wanted) {
  for (const daq_channel_entry* entry : list) {
    if (same_entry(entry, wanted)) return true;
  }
  return false;
}

bool has_text(const std::vector<char*>& list, const char* wanted) {
  for (const char* text : list) {
    if (text == nullptr || wanted == nullptr) {
      if (text == wanted) return true;
    } else if (std::strcmp(text, wanted) == 0) {
      return true;
    }
  }
  return false;
}
}  // namespace

int same_requests(daq_server_request* req1, daq_server_request* req2) {
  if (req1 == nullptr || req2 == nullptr) {
    daq_line("same_requests() Something wrong with input parameters");
    return 0;
  }
  if (req1->id != req2->id) return -2;
  if (req1->run_first != req2->run_first) return -16;
  if (req1->run_first == -1) {
    if (!same_text(req1->t_start, req2->t_start)) return -3;
    if (!same_text(req1->t_stop, req2->t_stop)) return -4;
  } else if (req1->run_last != -1 && req2->run_last != -1 && req1->run_last != req2->run_last) {
    return -17;
  }
  if (both_given_and_differ(req1->exp, req2->exp)) return -5;
  if (both_given_and_differ(req1->ddir, req2->ddir)) return -6;
  if (both_given_and_differ(req1->cdir, req2->cdir)) return -7;
  if (!same_text(req1->conf_file, req2->conf_file)) return -8;
  if (req1->scan_mode != req2->scan_mode) return -9;
  if (req1->comm_mode != req2->comm_mode) return -10;
  if (req1->req_type != req2->req_type) return -11;
  if (req1->chan_list.size() != req2->chan_list.size()) return -12;
  if (req1->file_list.size() != req2->file_list.size()) return -14;
  for (const daq_channel_entry* entry : req1->chan_list) {
    if (!has_entry(req2->chan_list, entry)) return -13;
  }
  for (const char* file : req1->file_list) {
    if (!has_text(req2->file_list, file)) return -15;
  }
  return 1;
}
