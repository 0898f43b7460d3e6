// Completing a request from another one (the configuration file's request).
// Scalars and texts are taken only where orig leaves them unset; channels and
// files are added only when orig lacks them, so orig's own choices always win,
// except for exp, ddir and cdir, which a non-empty value of from replaces.
// Lists of a few hundred thousand names are common in request files, so the
// names orig holds are kept in a hash set (views of the records' own blocks,
// which outlive the call) and the merge stays linear.
#include <cstring>
#include <new>
#include <string_view>
#include <unordered_set>

#include "daq_diag.h"
#include "daq_server_util_def.h"
#include "protocol_alloc.h"

namespace {
using NameSet = std::unordered_set<std::string_view>;

template <std::size_t N>
void take_if_empty(char (&dst)[N], const char (&src)[N]) {
  if (dst[0] == '\0') std::memcpy(dst, src, N);
}

// Appends the channels of from whose names orig lacks, each name once.
int merge_channels(std::vector<daq_channel_entry*>& orig,
                   const std::vector<daq_channel_entry*>& from) {
  NameSet names(orig.size() + from.size());
  for (const daq_channel_entry* entry : orig) {
    if (entry != nullptr && entry->name != nullptr) names.insert(entry->name);
  }
  // Room for every append up front: an entry, once made, is never lost to a
  // failed push_back.
  orig.reserve(orig.size() + from.size());
  for (const daq_channel_entry* source : from) {
    if (source == nullptr || source->name == nullptr) continue;
    if (names.count(source->name) != 0) continue;
    daq_channel_entry* entry = nullptr;
    switch (protocol_new_entry(source->name, &entry)) {
      case EntryAlloc::no_entry:
        daq_line("merge_daq_request() failed to allocate memory for channel entry");
        return -1;
      case EntryAlloc::no_name:
        daq_print("merge_daq_request() failed to allocate memory for channel name %s\n",
                  source->name);
        return -1;
      case EntryAlloc::ok:
        break;
    }
    entry->prms = source->prms;
    orig.push_back(entry);
    names.insert(entry->name);
  }
  return 0;
}

int merge_files(std::vector<char*>& orig, const std::vector<char*>& from) {
  NameSet names(orig.size() + from.size());
  for (const char* text : orig) {
    if (text != nullptr) names.insert(text);
  }
  orig.reserve(orig.size() + from.size());
  for (const char* source : from) {
    if (source == nullptr || names.count(source) != 0) continue;
    char* copy = protocol_strdup(source);
    if (copy == nullptr) {
      daq_print("merge_daq_request() failed to allocate memory for file name of length %ld\n",
                static_cast<long>(std::strlen(source) + 1));
      return -1;
    }
    orig.push_back(copy);
    names.insert(copy);
  }
  return 0;
}
}  // namespace

int merge_daq_request(daq_server_request* orig, daq_server_request* from) {
  if (orig == nullptr || from == nullptr) return -1;
  if (orig->id == 0) orig->id = from->id;
  take_if_empty(orig->t_start, from->t_start);
  if (orig->t_start_sec == 0) orig->t_start_sec = from->t_start_sec;
  take_if_empty(orig->t_stop, from->t_stop);
  if (orig->t_stop_sec == 0) orig->t_stop_sec = from->t_stop_sec;
  if (orig->run_first == -1) orig->run_first = from->run_first;
  if (orig->run_last == -1) orig->run_last = from->run_last;
  if (from->exp[0] != '\0') std::memcpy(orig->exp, from->exp, sizeof orig->exp);
  if (!from->ddir.empty()) orig->ddir = from->ddir;
  if (!from->cdir.empty()) orig->cdir = from->cdir;
  take_if_empty(orig->conf_file, from->conf_file);

  try {
    if (merge_channels(orig->chan_list, from->chan_list) != 0) return -1;
    if (merge_files(orig->file_list, from->file_list) != 0) return -1;
  } catch (const std::bad_alloc&) {
    // The name index or the lists' room could not be had; what was appended
    // so far is owned by orig.
    daq_line("merge_daq_request() failed to allocate memory for the name index");
    return -1;
  }

  if (orig->scan_mode == 0) orig->scan_mode = from->scan_mode;
  if (orig->comm_mode == 0) orig->comm_mode = from->comm_mode;
  if (orig->req_type == 0) orig->req_type = from->req_type;
  return 0;
}
