// The request handshake: EqDAQconnect::connect and reconnect_and_try.
//
// The request document goes to "DAQ.REQ" of each server entry in turn; the first
// answer names a reply property "DAQ.REP<n>", which is read, polled while the
// server says "Processing", and checked against the request sent. The whole list
// is tried up to kConnectPasses times; the result is the code noted last.
//
// Cancellation is looked at on entry, at the start of every pass and before
// every call attempt (inside reconnect_and_try), and ends everything with 14.
#include <unistd.h>

#include <cstring>

#include "daq_diag.h"
#include "daq_text.h"
#include "eq_daq_connect.h"
#include "facility_lists.h"
#include "orxa_chan_descr.h"

namespace {

constexpr int kConnectPasses = 30;
constexpr int kCallRetries = 3;
// Pause between two attempts of one property call.
constexpr useconds_t kRetryPauseUs = 300000;
// Pause between two polls of a reply that says "Processing", so a busy server is
// not hammered with back-to-back calls.
constexpr useconds_t kProcessingPollPauseUs = 50000;
// reconnect_and_try's result when the cancellation flag was seen.
constexpr int kCancelled = -111;

enum { kOpSet = 1, kOpGet = 2, kOpNames = 3 };

const char kNoServerText[] = "the server list holds no DAQ data server";
const char kAddressTooLongText[] = "server entry too long for an 80-character address";

bool reason_is(const daq_server_reply& reply, const char* text) {
  return std::strcmp(reply.reason, text) == 0;
}

bool reason_has_error(const daq_server_reply& reply) {
  return std::strstr(reply.reason, "ERROR") != nullptr;
}

}  // namespace

int EqDAQconnect::reconnect_and_try(velmor::EqCall* call, velmor::EqAdr* addr,
                                    velmor::EqData* src, velmor::EqData* dst, int op, int n) {
  if (connect_cancel.load()) return kCancelled;
  if (call == nullptr || addr == nullptr || dst == nullptr) return -1;
  auto attempt = [&]() -> bool {
    call->set_option(addr, src, dst, velmor::EQ_RETRY);
    switch (op) {
      case kOpSet: call->set(addr, src, dst); return true;
      case kOpGet: call->get(addr, src, dst); return true;
      case kOpNames: call->names(addr, dst); return true;
      default: return false;
    }
  };
  if (!attempt()) return -1;
  int retries = 0;
  while (dst->error() != 0 && retries < n) {
    if (connect_cancel.load()) return kCancelled;
    attempt();
    ++retries;
    usleep(kRetryPauseUs);
  }
  return dst->error();
}

// Reads the answer in dst_data into reply; descriptions are kept only for
// channel-list requests, and only those of the last answer read.
int EqDAQconnect::read_answer(int* noted) {
  std::vector<chan_descr_2010*>* descriptions = nullptr;
  if (request.req_type == 2) {
    clean_chan_desr_list(&chanlist);
    descriptions = &chanlist;
  }
  if (parse_daq_reply(dst_data.get_xml(), &reply, descriptions) != 0) {
    *noted = EQ_DAQ_CONNECT_PARSE_FAILED;
    return 1;
  }
  return 0;
}

// One read of the reply property: 0 when reply holds the answer, 1 when this
// entry failed (code noted), -1 when cancelled.
int EqDAQconnect::read_reply_property(const char* address, int* noted) {
  equi_addr_c.adr(address);
  int rc = reconnect_and_try(eq_call, &equi_addr_c, &src_data, &dst_data, kOpGet, kCallRetries);
  if (rc == kCancelled) return -1;
  if (rc != 0) {
    *noted = EQ_DAQ_CONNECT_GET_FAILED;
    return 1;
  }
  clean_reply(&reply);
  return read_answer(noted);
}

// The handshake with one entry: 0 accepted (connect returns 0), 1 next entry,
// 2 end of pass, -1 cancelled, 4 final ERROR (connect returns 4).
int EqDAQconnect::send_to_entry(const std::string& entry, int* noted) {
  char address[DAQ_ADDRESS_SIZE];
  if (compose_property_address(address, entry, "DAQ.REQ", -1)) {
    copy_text(sndreqerror, kAddressTooLongText);
    *noted = EQ_DAQ_CONNECT_SEND_FAILED;
    return 1;
  }
  equi_addr_c.adr(address);
  int rc = reconnect_and_try(eq_call, &equi_addr_c, &src_data, &dst_data, kOpSet, kCallRetries);
  if (rc != 0) {
    dst_data.get_string(sndreqerror, sizeof sndreqerror);
    if (rc == kCancelled) return -1;
    *noted = EQ_DAQ_CONNECT_SEND_FAILED;
    return 1;
  }
  sndreqerror[0] = '\0';
  if (read_answer(noted) != 0) return 1;
  if (reason_is(reply, "BUSY")) {
    *noted = EQ_DAQ_CONNECT_BUSY;
    return 1;
  }
  if (reason_has_error(reply)) {
    *noted = EQ_DAQ_CONNECT_BAD_REPLY;
    return 2;
  }
  if (reply.port < 0) {
    *noted = EQ_DAQ_CONNECT_BAD_REPLY;
    return 1;
  }
  if (compose_property_address(address, entry, "DAQ.REP", reply.port)) {
    *noted = EQ_DAQ_CONNECT_GET_FAILED;
    return 1;
  }
  int step = read_reply_property(address, noted);
  while (step == 0 && reason_is(reply, "Processing")) {
    usleep(kProcessingPollPauseUs);
    step = read_reply_property(address, noted);
  }
  if (step != 0) return step;
  if (reason_has_error(reply)) return 4;
  if (reason_is(reply, "BUSY")) {
    *noted = EQ_DAQ_CONNECT_BUSY;
    return 1;
  }
  if (same_requests(&reply.request, &request) < 1) {
    print_daq_request(&request);
    print_daq_request(&reply.request);
    *noted = EQ_DAQ_CONNECT_DIFFERENT;
    return 1;
  }
  if (request.req_type == 2 || reply.port > 0) return 0;
  *noted = EQ_DAQ_CONNECT_OK;
  return 1;
}

int EqDAQconnect::connect(const char* whom) {
  if (connect_cancel.load()) return EQ_DAQ_CONNECT_CANCELED;
  int rc = validate_daq_request(&request, true);
  if (rc != 0) {
    copy_text(reply.reason, "Validate request failed, check the request parameters");
    daq_print("Validate request failed: error:%d\n", rc);
    return rc;
  }
  if (request.id != static_cast<uint32_t>(id)) id = static_cast<int>(request.id);

  src_data.init();
  dst_data.init();
  std::string text;
  create_xml_daq_request(&request, text, 1);
  src_data.set_xml(text);

  if (whom != nullptr && whom[0] != '\0') daq_server_names = whom;
  std::vector<std::string> entries = server_list_entries(daq_server_names);

  int noted = EQ_DAQ_CONNECT_OK;
  for (int pass = 0; pass < kConnectPasses; ++pass) {
    if (connect_cancel.load()) return EQ_DAQ_CONNECT_CANCELED;
    // A list that asks no server must not read as success.
    if (entries.empty()) {
      copy_text(sndreqerror, kNoServerText);
      return EQ_DAQ_CONNECT_SEND_FAILED;
    }
    for (const std::string& entry : entries) {
      int step = send_to_entry(entry, &noted);
      if (step == -1) return EQ_DAQ_CONNECT_CANCELED;
      if (step == 0) return EQ_DAQ_CONNECT_OK;
      if (step == 4) return EQ_DAQ_CONNECT_BAD_REPLY;
      if (step == 2) break;
    }
  }
  return noted;
}
