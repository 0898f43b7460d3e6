// Helpers shared by the protocol tests: records that clean themselves, builders
// for channels and files, and capture of the diagnostics on standard output.
#ifndef DAQ_TESTS_PROTOCOL_FIXTURES_H
#define DAQ_TESTS_PROTOCOL_FIXTURES_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "daq_server_util_def.h"
#include "protocol_alloc.h"

// A request that is cleaned on creation and before destruction, as holders must.
struct Request : daq_server_request {
  Request() : daq_server_request() { clean_request(this); }
  ~Request() { clean_request(this); }
  Request(const Request&) = delete;
  Request& operator=(const Request&) = delete;
};

struct Reply : daq_server_reply {
  Reply() : daq_server_reply() { clean_reply(this); }
  ~Reply() { clean_reply(this); }
  Reply(const Reply&) = delete;
  Reply& operator=(const Reply&) = delete;
};

inline orxa_chan_prms unset_prms() { return orxa_chan_prms{-1, -1, -1, -1, -1.0f, -1.0f, -1.0f}; }

inline daq_channel_entry* add_channel(daq_server_request& r, const char* name,
                                      orxa_chan_prms prms = unset_prms()) {
  auto* entry = static_cast<daq_channel_entry*>(std::calloc(1, sizeof(daq_channel_entry)));
  entry->name = strdup(name);
  entry->prms = prms;
  r.chan_list.push_back(entry);
  return entry;
}

inline void add_text(std::vector<char*>& list, const char* text) { list.push_back(strdup(text)); }

// Runs f with standard output captured and returns what it printed.
template <class F>
std::string printed_by(F&& f) {
  testing::internal::CaptureStdout();
  f();
  return testing::internal::GetCapturedStdout();
}

// Fails the nth allocation of the protocol code while f runs.
template <class F>
void with_failing_allocation(int nth, F&& f) {
  protocol_fail_allocation(nth);
  f();
  protocol_fail_allocation(0);
}

// A request of the shape the protocol usually carries: by time, one channel.
inline void fill_time_request(daq_server_request& r) {
  r.id = 4711;
  std::strcpy(r.t_start, "2024-5-17T10:0:0");
  std::strcpy(r.t_stop, "2024-5-17T10:5:0");
  r.cdir = "/daq/cat";
  orxa_chan_prms p = unset_prms();
  p.start = 0;
  p.length = 100;
  add_channel(r, "SECTION/DEVICE/PROPERTY", p);
}

#endif
