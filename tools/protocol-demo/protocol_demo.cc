// protocol-demo: what a client and a DAQ data server do with the protocol, in one
// process. The client fills a request, writes the request document, the server
// reads it back; the request is validated and printed. The server then answers
// with a reply document that the client reads, validates and prints.
//
// Usage: protocol-demo [-q]   (-q: leave out the two documents)
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "daq_server_util_def.h"

namespace {
// Records must be cleaned before first use and before they go away.
struct Request : daq_server_request {
  Request() : daq_server_request() { clean_request(this); }
  ~Request() { clean_request(this); }
};
struct Reply : daq_server_reply {
  Reply() : daq_server_reply() { clean_reply(this); }
  ~Reply() { clean_reply(this); }
};

bool add_channel(daq_server_request& r, const char* name, int start, int length, float tinc) {
  auto* entry = static_cast<daq_channel_entry*>(std::calloc(1, sizeof(daq_channel_entry)));
  if (entry == nullptr) return false;
  entry->name = strdup(name);
  if (entry->name == nullptr) {
    std::free(entry);
    return false;
  }
  entry->prms = orxa_chan_prms{start, -1, length, -1, -1.0f, tinc, -1.0f};
  r.chan_list.push_back(entry);
  return true;
}

bool add_text(std::vector<char*>& list, const char* text) {
  char* copy = strdup(text);
  if (copy == nullptr) return false;
  list.push_back(copy);
  return true;
}

int fail(const char* step, int rc) {
  std::printf("protocol-demo: %s failed (%d)\n", step, rc);
  return 1;
}

bool fill_request(daq_server_request& r) {
  r.id = 4711;
  std::snprintf(r.t_start, sizeof r.t_start, "2024-5-17T10:0:0");
  std::snprintf(r.t_stop, sizeof r.t_stop, "2024-5-17T10:5:0");
  r.cdir = "/daq/cat";
  r.comm_mode = ORXA_DAQ_COMM_HNDS;
  return add_channel(r, "SECTION/DEVICE/PROPERTY", 0, 100, -1.0f) &&
         add_channel(r, "LINAC/BPM.1/X \"mm\" & <raw>", -1, -1, 0.5f);
}

bool fill_reply(daq_server_reply& rep, daq_server_request& request) {
  // The server echoes the request it understood.
  std::string document;
  create_xml_daq_request(&request, document, 1);
  if (parse_daq_request(document.data(), &rep.request) != 0) return false;
  rep.port = 5000;
  std::snprintf(rep.host, sizeof rep.host, "localhost");
  rep.evid64bitmode = true;
  std::snprintf(rep.reason, sizeof rep.reason, "ok");
  rep.stat.t_start_sec = request.t_start_sec;
  rep.stat.t_stop_sec = request.t_stop_sec;
  rep.stat.files = 2;
  rep.stat.fids = 2;
  rep.stat.events = 3000;
  rep.stat.data_loc = 1;
  rep.stat.avail = 1;
  return add_text(rep.stat.file_list, "f1.raw") && add_text(rep.stat.file_list, "f2.raw");
}
}  // namespace

int main(int argc, char** argv) {
  bool quiet = argc > 1 && std::strcmp(argv[1], "-q") == 0;

  // Client: fill and write the request.
  Request request;
  if (!fill_request(request)) return fail("filling the request", -1);
  std::string request_xml;
  create_xml_daq_request(&request, request_xml, 1);
  if (!quiet) std::printf("--- request document ---\n%s", request_xml.c_str());

  // Server: read it back; then validate it as a client would before sending.
  Request received;
  int rc = parse_daq_request(request_xml.data(), &received);
  if (rc != 0) return fail("parse_daq_request", rc);
  if ((rc = same_requests(&request, &received)) != 1) return fail("same_requests", rc);
  if ((rc = validate_daq_request(&received, false)) != 0) return fail("validate_daq_request", rc);
  print_daq_request(&received);

  // Server: answer with a full reply document.
  Reply answer;
  if (!fill_reply(answer, received)) return fail("filling the reply", -1);
  std::string reply_xml;
  create_xml_daq_reply(&answer, reply_xml, nullptr);
  if (!quiet) std::printf("--- reply document ---\n%s", reply_xml.c_str());

  // Client: read, check and use the reply.
  Reply reply;
  if ((rc = parse_daq_reply(reply_xml.data(), &reply, nullptr)) != 0) {
    return fail("parse_daq_reply", rc);
  }
  int port = 0;
  char* host = nullptr;
  bool mode64 = false;
  if ((rc = validate_daq_reply(&reply, &port, &host, &mode64)) != 0) {
    return fail("validate_daq_reply", rc);
  }
  if ((rc = same_requests(&reply.request, &request)) != 1) return fail("echoed request", rc);
  print_daq_reply(&reply);
  std::printf("data stream: %s:%d, %s event numbers\n", host, port, mode64 ? "64-bit" : "32-bit");
  return 0;
}
