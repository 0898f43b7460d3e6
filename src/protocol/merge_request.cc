// Completing a request from another one (the configuration file's request).
// Scalars and texts are taken only where orig leaves them unset; channels and
// files are added only when orig lacks them, so orig's own choices always win,
// except for exp, ddir and cdir, which a non-empty value of from replaces.
#include <cstring>

#include "daq_diag.h"
#include "daq_server_util_def.h"
#include "protocol_alloc.h"

namespace {
bool has_channel(const std::vector<daq_channel_entry*>& list, const char* name) {
  for (const daq_channel_entry* entry : list) {
    if (entry != nullptr && entry->name != nullptr && std::strcmp(entry->name, name) == 0) {
      return true;
    }
  }
  return false;
}

bool has_file(const std::vector<char*>& list, const char* name) {
  for (const char* text : list) {
    if (text != nullptr && std::strcmp(text, name) == 0) return true;
  }
  return false;
}

template <std::size_t N>
void take_if_empty(char (&dst)[N], const char (&src)[N]) {
  if (dst[0] == '\0') std::memcpy(dst, src, N);
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

  for (const daq_channel_entry* source : from->chan_list) {
    if (source == nullptr || source->name == nullptr) continue;
    if (has_channel(orig->chan_list, source->name)) continue;
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
    orig->chan_list.push_back(entry);
  }

  for (const char* source : from->file_list) {
    if (source == nullptr || has_file(orig->file_list, source)) continue;
    char* copy = protocol_strdup(source);
    if (copy == nullptr) {
      daq_print("merge_daq_request() failed to allocate memory for file name of length %ld\n",
                static_cast<long>(std::strlen(source) + 1));
      return -1;
    }
    orig->file_list.push_back(copy);
  }

  if (orig->scan_mode == 0) orig->scan_mode = from->scan_mode;
  if (orig->comm_mode == 0) orig->comm_mode = from->comm_mode;
  if (orig->req_type == 0) orig->req_type = from->req_type;
  return 0;
}
