// Defaults of the request and reply records and the release of what they own.
// Cleaning is the only place owned blocks are freed, so it must cope with null
// entries that a failed fill may have left behind.
#include <cstdlib>
#include <cstring>

#include "daq_server_util_def.h"
#include "daq_text.h"

namespace {
void free_texts(std::vector<char*>& texts) {
  for (char* text : texts) std::free(text);
  texts.clear();
}
}  // namespace

void clean_request(daq_server_request* request) {
  if (request == nullptr) return;
  request->id = 0;
  request->t_start_sec = 0;
  request->t_stop_sec = 0;
  request->run_first = -1;
  request->run_last = -1;
  std::memset(request->t_start, 0, sizeof request->t_start);
  std::memset(request->t_stop, 0, sizeof request->t_stop);
  std::memset(request->exp, 0, sizeof request->exp);
  copy_text(request->exp, "linac");
  request->ddir.clear();
  request->cdir.clear();
  std::memset(request->conf_file, 0, sizeof request->conf_file);
  request->req_type = 1;
  request->scan_mode = ORXA_DAQ_SCANM_ALL;
  request->comm_mode = ORXA_DAQ_COMM_PUSH;
  for (daq_channel_entry* entry : request->chan_list) {
    if (entry == nullptr) continue;
    std::free(entry->name);
    std::free(entry);
  }
  request->chan_list.clear();
  free_texts(request->file_list);
}

void clean_reply(daq_server_reply* reply) {
  if (reply == nullptr) return;
  clean_request(&reply->request);
  daq_server_stat& stat = reply->stat;
  stat.t_start_sec = -1;
  stat.t_stop_sec = -1;
  stat.files = 0;
  stat.fids = 0;
  stat.events = 0;
  stat.data_loc = 0;
  stat.avail = 0;
  free_texts(stat.nf_chan_list);
  free_texts(stat.nf_file_list);
  free_texts(stat.file_list);
  reply->port = 0;
  std::memset(reply->host, 0, sizeof reply->host);
  std::memset(reply->reason, 0, sizeof reply->reason);
  reply->evid64bitmode = false;
}
