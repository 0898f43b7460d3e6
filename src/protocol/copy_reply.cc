// Deep copy of a reply: every owned block is duplicated, so the copy outlives the
// source (a data receiver keeps its own copy). A failed allocation stops the copy;
// what was copied so far stays owned by the destination and is released by its
// next clean_reply.
#include <cstring>

#include "daq_diag.h"
#include "daq_server_util_def.h"
#include "protocol_alloc.h"

namespace {
bool copy_texts(std::vector<char*>& dst, const std::vector<char*>& src, const char* message) {
  for (const char* text : src) {
    if (text == nullptr) continue;
    char* copy = protocol_strdup(text);
    if (copy == nullptr || !protocol_append(dst, copy)) {
      daq_line(message);
      return false;
    }
  }
  return true;
}

bool copy_channels(std::vector<daq_channel_entry*>& dst,
                   const std::vector<daq_channel_entry*>& src) {
  for (const daq_channel_entry* source : src) {
    if (source == nullptr) continue;
    daq_channel_entry* entry = nullptr;
    switch (protocol_new_entry(source->name, &entry)) {
      case EntryAlloc::no_entry:
        daq_line("copy_reply() failed to malloc daq_channel_entry");
        return false;
      case EntryAlloc::no_name:
        daq_line("copy_reply() failed to malloc daq_channel_entry name");
        return false;
      case EntryAlloc::ok:
        break;
    }
    entry->prms = source->prms;
    if (!protocol_append(dst, entry)) {
      daq_line("copy_reply() failed to malloc daq_channel_entry");
      return false;
    }
  }
  return true;
}

// The copy into a cleaned destination; true on failure.
bool copy_into(daq_server_reply* reply, daq_server_reply* rep) {
  daq_server_request& dst = reply->request;
  const daq_server_request& src = rep->request;
  dst.id = src.id;
  dst.t_start_sec = src.t_start_sec;
  dst.t_stop_sec = src.t_stop_sec;
  dst.scan_mode = src.scan_mode;
  dst.comm_mode = src.comm_mode;
  dst.req_type = src.req_type;
  dst.run_first = src.run_first;
  dst.run_last = src.run_last;
  std::memcpy(dst.t_start, src.t_start, sizeof dst.t_start);
  std::memcpy(dst.t_stop, src.t_stop, sizeof dst.t_stop);
  std::memcpy(dst.exp, src.exp, sizeof dst.exp);
  std::memcpy(dst.conf_file, src.conf_file, sizeof dst.conf_file);
  dst.ddir = src.ddir;
  dst.cdir = src.cdir;
  reply->port = rep->port;
  std::memcpy(reply->host, rep->host, sizeof reply->host);
  std::memcpy(reply->reason, rep->reason, sizeof reply->reason);
  reply->evid64bitmode = rep->evid64bitmode;

  if (!copy_channels(dst.chan_list, src.chan_list)) return true;
  if (!copy_texts(dst.file_list, src.file_list, "copy_reply() failed to malloc file_list")) {
    return true;
  }

  daq_server_stat& stat = reply->stat;
  const daq_server_stat& from = rep->stat;
  stat.t_start_sec = from.t_start_sec;
  stat.t_stop_sec = from.t_stop_sec;
  stat.files = from.files;
  stat.fids = from.fids;
  stat.events = from.events;
  stat.data_loc = from.data_loc;
  stat.avail = from.avail;

  if (!copy_texts(stat.nf_chan_list, from.nf_chan_list,
                  "copy_reply() failed to malloc nf_chan_list") ||
      !copy_texts(stat.nf_file_list, from.nf_file_list,
                  "copy_reply() failed to malloc nf_file_list") ||
      !copy_texts(stat.file_list, from.file_list, "copy_reply() failed to malloc file_list")) {
    return true;
  }
  return false;
}
}  // namespace

bool copy_reply(daq_server_reply* reply, daq_server_reply* rep) {
  if (reply == nullptr || rep == nullptr) return true;
  if (reply == rep) return false;  // cleaning the destination would empty the source
  clean_reply(reply);
  // The directory strings allocate with a throwing new; running out there is a
  // failed copy like any other.
  try {
    return copy_into(reply, rep);
  } catch (const std::bad_alloc&) {
    daq_line("copy_reply() out of memory");
    return true;
  }
}
