// Field-by-field comparison of two requests. The order of the checks is part of
// the contract: the first difference found names the result, later fields are not
// looked at. Text fields are compared within their arrays, so an unterminated
// field cannot make the comparison read past it. The lists are compared through a
// hash index of req2's entries, so requests of a few hundred thousand channels
// cost linear time; equality stays exactly that of float comparison.
#include <cstring>
#include <functional>
#include <new>
#include <string_view>
#include <unordered_set>

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

bool has_nan(const orxa_chan_prms& p) {
  return p.tstart != p.tstart || p.tinc != p.tinc || p.tlength != p.tlength;
}

// Entries with a name and no NaN; between them equality is an equivalence, as a
// hash set needs. Null entries and null names are matched apart (below).
struct EntryEqual {
  bool operator()(const daq_channel_entry* a, const daq_channel_entry* b) const {
    const orxa_chan_prms& p = a->prms;
    const orxa_chan_prms& q = b->prms;
    return std::strcmp(a->name, b->name) == 0 && p.start == q.start && p.inc == q.inc &&
           p.length == q.length && p.func == q.func && p.tstart == q.tstart && p.tinc == q.tinc &&
           p.tlength == q.tlength;
  }
};

// Name and parameters, so that many entries of one name stay spread out; -0.0
// and 0.0 compare equal and so must hash alike.
struct EntryHash {
  std::size_t operator()(const daq_channel_entry* e) const {
    const orxa_chan_prms& p = e->prms;
    std::size_t h = std::hash<std::string_view>()(e->name);
    for (int v : {p.start, p.inc, p.length, p.func}) h = h * 31 + std::hash<int>()(v);
    for (float v : {p.tstart, p.tinc, p.tlength}) h = h * 31 + std::hash<float>()(v + 0.0f);
    return h;
  }
};

using EntrySet = std::unordered_set<const daq_channel_entry*, EntryHash, EntryEqual>;

// Whether every entry of list1 has an equal entry somewhere in list2. Two null
// entries are equal, and two entries without names are equal whatever their
// parameters; an entry holding a NaN equals nothing.
bool every_entry_found(const std::vector<daq_channel_entry*>& list1,
                       const std::vector<daq_channel_entry*>& list2) {
  bool null_entry = false;
  bool null_name = false;
  EntrySet index(list2.size());
  for (const daq_channel_entry* e : list2) {
    if (e == nullptr)
      null_entry = true;
    else if (e->name == nullptr)
      null_name = true;
    else if (!has_nan(e->prms))
      index.insert(e);
  }
  for (const daq_channel_entry* e : list1) {
    if (e == nullptr) {
      if (!null_entry) return false;
    } else if (e->name == nullptr) {
      if (!null_name) return false;
    } else if (has_nan(e->prms) || index.count(e) == 0) {
      return false;
    }
  }
  return true;
}

bool every_text_found(const std::vector<char*>& list1, const std::vector<char*>& list2) {
  bool null_text = false;
  std::unordered_set<std::string_view> index(list2.size());
  for (const char* text : list2) {
    if (text == nullptr)
      null_text = true;
    else
      index.insert(text);
  }
  for (const char* text : list1) {
    if (text == nullptr ? !null_text : index.count(text) == 0) return false;
  }
  return true;
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
  try {
    if (!every_entry_found(req1->chan_list, req2->chan_list)) return -13;
    if (!every_text_found(req1->file_list, req2->file_list)) return -15;
  } catch (const std::bad_alloc&) {
    // Without the index the lists cannot be shown to be the same.
    daq_line("same_requests() failed to allocate memory to compare the lists");
    return 0;
  }
  return 1;
}
