// The request handshake: EqDAQconnect::connect and reconnect_and_try.
//
// The request document goes to "DAQ.REQ" of each server entry in turn; the first
// answer names a reply property "DAQ.REP<n>", which is read, polled while the
// server says "Processing", and checked against the request sent. The whole list
// is tried up to kConnectPasses times; the result is the code noted last.
//
// An entry that took the request earlier in this connect (its first answer
// accepted it, or a write that may have reached it failed) may still hold it,
// and its later "BUSY" may be that earlier attempt's doing. When the last
// attempt is such a "BUSY", connect reports what that entry answered before,
// with the reply and error text it left, not a busy server it filled itself.
//
// Cancellation is looked at on entry, at the start of every pass, before every
// call attempt and every 100 ms of every pause, and ends everything with 14.
// The budget (connect_budget.cc) is looked at before every entry and after
// every failure; once spent, connect returns 9.
#include <cstring>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "cached_readers.h"
#include "connect_budget.h"
#include "daq_diag.h"
#include "daq_text.h"
#include "eq_daq_connect.h"
#include "facility_lists.h"
#include "orxa_chan_descr.h"

namespace {

constexpr int kConnectPasses = 30;
constexpr int kCallRetries = 3;
// Pause between two attempts of one property call.
constexpr int kRetryPauseMs = 300;
// Pause between two polls of a reply that says "Processing", so a busy server is
// not hammered with back-to-back calls.
constexpr int kProcessingPollPauseMs = 50;
// A pass in which a server said "BUSY" lasts at least this long, so the passes
// spread over time as those of failing servers do through their retry pauses.
constexpr int kBusyPassMs = 1000;
// reconnect_and_try's result when the cancellation flag was seen.
constexpr int kCancelled = -111;
// What read_answer and read_reply_property return.
constexpr int kReadDone = 0;         // reply holds the answer
constexpr int kReadEntryFailed = 1;  // this entry failed, code noted
constexpr int kReadCancelled = -1;   // read_reply_property only

enum { kOpSet = 1, kOpGet = 2, kOpNames = 3 };

// What became of one entry (send_to_entry).
enum Step {
  kStepAccepted,    // connect returns 0
  kStepNextEntry,   // this entry failed, code noted
  kStepHeld,        // this entry failed, code noted, and it may hold the request
  kStepNoServer,    // this entry names no server; no retry or later pass can mend it
  kStepEndPass,     // "ERROR" in the first answer
  kStepFinalError,  // "ERROR" in the final answer: connect returns 4
  kStepCancelled
};

const char kNoServerText[] = "the server list holds no DAQ data server";
const char kAddressTooLongText[] = "server entry too long for an 80-character address";

bool reason_is(const daq_server_reply& reply, const char* text) {
  return std::strcmp(reply.reason, text) == 0;
}

bool reason_has_error(const daq_server_reply& reply) {
  return std::strstr(reply.reason, "ERROR") != nullptr;
}

bool cannot_name_a_server(int code) {
  return code == velmor::EQ_ERR_UNKNOWN_SERVER || code == velmor::EQ_ERR_BAD_ADDRESS;
}

// A write of the request that failed this way may still have reached the server.
bool may_have_taken(int code) {
  return code == velmor::EQ_ERR_TIMEOUT || code == velmor::EQ_ERR_CONNECTION_LOST ||
         code == velmor::EQ_ERR_PROTOCOL;
}

bool worth_retrying(int op, int code) {
  if (cannot_name_a_server(code) || code == velmor::EQ_ERR_INVALID_ARGUMENT) return false;
  // The server may have taken the request: sending it again could start a second one.
  if (op == kOpSet && may_have_taken(code)) return false;
  return true;
}

// What an entry that may hold the request answered last, with the reply and the
// error text that answer left.
class HeldCause {
 public:
  HeldCause() { clean_reply(&reply_); }
  ~HeldCause() { clean_reply(&reply_); }
  HeldCause(const HeldCause&) = delete;
  HeldCause& operator=(const HeldCause&) = delete;

  bool held() const { return held_; }
  void keep(int code, const char* error_text, daq_server_reply* reply) {
    // Without a whole copy there is nothing sound to report later.
    held_ = !copy_reply(&reply_, reply);
    code_ = code;
    copy_text(error_text_, error_text);
  }
  // Puts the kept answer back into the connection; the code to report.
  int restore(char (&error_text)[EQ_DAQ_SNDREQERROR_SIZE], daq_server_reply* reply) {
    std::swap(*reply, reply_);
    copy_text(error_text, error_text_);
    return code_;
  }

 private:
  bool held_ = false;
  int code_ = 0;
  char error_text_[EQ_DAQ_SNDREQERROR_SIZE] = "";
  daq_server_reply reply_;
};

// Restores the caller's call timeouts and ends the budget however connect returns.
class BudgetScope {
 public:
  BudgetScope(velmor::EqCall* call, int64_t* deadline_ms)
      : call_(call), deadline_ms_(deadline_ms) {}
  ~BudgetScope() {
    *deadline_ms_ = -1;
    if (call_ != nullptr) call_->set_timeouts(connect_ms_, call_ms_);
  }
  void keep(int connect_ms, int call_ms) {
    connect_ms_ = connect_ms;
    call_ms_ = call_ms;
  }

 private:
  velmor::EqCall* call_;
  int64_t* deadline_ms_;
  int connect_ms_ = 0;
  int call_ms_ = 0;
};

}  // namespace

int EqDAQconnect::reconnect_and_try(velmor::EqCall* call, velmor::EqAdr* addr, velmor::EqData* src,
                                    velmor::EqData* dst, int op, int n) {
  if (connect_cancel.load()) return kCancelled;
  if (call == nullptr || addr == nullptr || dst == nullptr) return -1;
  if (op < kOpSet || op > kOpNames) return -1;
  auto attempt = [&]() {
    fit_call_timeouts(call);
    call->set_option(addr, src, dst, velmor::EQ_RETRY);
    if (op == kOpSet)
      call->set(addr, src, dst);
    else if (op == kOpGet)
      call->get(addr, src, dst);
    else
      call->names(addr, dst);
  };
  attempt();
  for (int retries = 0; dst->error() != 0 && retries < n; ++retries) {
    if (!worth_retrying(op, dst->error())) break;
    if (pause_ms(kRetryPauseMs)) return kCancelled;
    if (budget_spent()) break;
    attempt();
  }
  return dst->error();
}

// Appends the descriptions of one answer to chanlist; a channel described
// earlier in this connect() is replaced by the newer description.
void EqDAQconnect::keep_descriptions(std::vector<chan_descr_2010*>* answer) {
  std::unordered_map<std::string, size_t> at;
  for (size_t i = chanlist_from; i < chanlist.size(); ++i) at[chanlist[i]->prop_name] = i;
  for (chan_descr_2010* d : *answer) {
    auto it = at.find(d->prop_name);
    if (it == at.end()) {
      at[d->prop_name] = chanlist.size();
      chanlist.push_back(d);
      continue;
    }
    std::vector<chan_descr_2010*> old(1, chanlist[it->second]);
    clean_chan_desr_list(&old);
    chanlist[it->second] = d;
  }
  answer->clear();
}

// Reads the answer in dst_data into reply; descriptions are kept only for
// channel-list requests, and only from answers that could be read.
int EqDAQconnect::read_answer(int* noted) {
  std::vector<chan_descr_2010*> descriptions;
  bool listing = request.req_type == ORXA_DAQ_REQ_CHANNELS;
  int rc =
      parse_daq_reply(dst_data.get_xml(), &reply, listing ? &descriptions : nullptr, parsers.get());
  if (rc != 0) {
    clean_chan_desr_list(&descriptions);
    *noted = EQ_DAQ_CONNECT_PARSE_FAILED;
    return kReadEntryFailed;
  }
  keep_descriptions(&descriptions);
  return kReadDone;
}

// One read of the reply property: kReadDone, kReadEntryFailed or kReadCancelled.
int EqDAQconnect::read_reply_property(const char* address, int* noted) {
  equi_addr_c.adr(address);
  int rc = reconnect_and_try(eq_call, &equi_addr_c, &src_data, &dst_data, kOpGet, kCallRetries);
  if (rc == kCancelled) return kReadCancelled;
  if (rc != 0) {
    *noted = EQ_DAQ_CONNECT_GET_FAILED;
    return kReadEntryFailed;
  }
  clean_reply(&reply);
  return read_answer(noted);
}

// The handshake with one entry (a Step).
int EqDAQconnect::send_to_entry(const std::string& entry, int* noted) {
  char address[DAQ_ADDRESS_SIZE];
  if (compose_property_address(address, entry, "DAQ.REQ", -1)) {
    copy_text(sndreqerror, kAddressTooLongText);
    *noted = EQ_DAQ_CONNECT_SEND_FAILED;
    return kStepNoServer;
  }
  equi_addr_c.adr(address);
  int rc = reconnect_and_try(eq_call, &equi_addr_c, &src_data, &dst_data, kOpSet, kCallRetries);
  if (rc != 0) {
    dst_data.get_string(sndreqerror, sizeof sndreqerror);
    if (rc == kCancelled) return kStepCancelled;
    *noted = EQ_DAQ_CONNECT_SEND_FAILED;
    if (cannot_name_a_server(rc)) return kStepNoServer;
    return may_have_taken(rc) ? kStepHeld : kStepNextEntry;
  }
  sndreqerror[0] = '\0';
  if (read_answer(noted) != kReadDone) return kStepNextEntry;
  if (reason_is(reply, "BUSY")) {
    *noted = EQ_DAQ_CONNECT_BUSY;
    return kStepNextEntry;
  }
  if (reason_has_error(reply)) {
    *noted = EQ_DAQ_CONNECT_BAD_REPLY;
    return kStepEndPass;
  }
  if (reply.port < 0) {
    *noted = EQ_DAQ_CONNECT_BAD_REPLY;
    return kStepNextEntry;
  }
  // From here on the server has taken the request.
  if (compose_property_address(address, entry, "DAQ.REP", reply.port)) {
    *noted = EQ_DAQ_CONNECT_GET_FAILED;
    return kStepHeld;
  }
  int read = read_reply_property(address, noted);
  while (read == kReadDone && reason_is(reply, "Processing")) {
    if (pause_ms(kProcessingPollPauseMs)) return kStepCancelled;
    if (budget_spent()) {
      *noted = EQ_DAQ_CONNECT_TIMEOUT;
      return kStepHeld;
    }
    read = read_reply_property(address, noted);
  }
  if (read == kReadCancelled) return kStepCancelled;
  if (read == kReadEntryFailed) return kStepHeld;
  if (reason_has_error(reply)) return kStepFinalError;
  if (reason_is(reply, "BUSY")) {
    *noted = EQ_DAQ_CONNECT_BUSY;
    return kStepNextEntry;
  }
  if (same_requests(&reply.request, &request) < 1) {
    DaqDiagBlock both;  // the request sent and its changed echo: one dump, met again each pass
    print_daq_request(&request);
    print_daq_request(&reply.request);
    *noted = EQ_DAQ_CONNECT_DIFFERENT;
    return kStepHeld;
  }
  if (request.req_type == ORXA_DAQ_REQ_CHANNELS || reply.port > 0) return kStepAccepted;
  *noted = EQ_DAQ_CONNECT_OK;
  return kStepHeld;
}

// A short text of the failure noted last, for the pass observer.
std::string EqDAQconnect::what_failed(int noted) {
  char text[EQ_DAQ_SNDREQERROR_SIZE];
  switch (noted) {
    case EQ_DAQ_CONNECT_SEND_FAILED:
      return sndreqerror;
    case EQ_DAQ_CONNECT_GET_FAILED:
      return dst_data.get_string(text, sizeof text);
    case EQ_DAQ_CONNECT_PARSE_FAILED:
      return "unreadable answer";
    case EQ_DAQ_CONNECT_BAD_REPLY:
      return reply.reason;
    case EQ_DAQ_CONNECT_DIFFERENT:
      return "the echoed request differs from the one sent";
    case EQ_DAQ_CONNECT_BUSY:
      return "server busy";
    case EQ_DAQ_CONNECT_OK:
      return "no data stream in the answer";
    default:
      return "failed";
  }
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
  // A list that asks no server must not read as success.
  if (entries.empty()) {
    copy_text(sndreqerror, kNoServerText);
    return EQ_DAQ_CONNECT_SEND_FAILED;
  }

  BudgetScope budget(eq_call, &connect_deadline_ms);
  if (eq_call != nullptr) {
    caller_connect_ms = eq_call->connect_timeout_ms();
    caller_call_ms = eq_call->call_timeout_ms();
    budget.keep(caller_connect_ms, caller_call_ms);
  }
  connect_deadline_ms = budget_now_ms() + static_cast<int64_t>(connect_timeout_s) * 1000;
  chanlist_from = chanlist.size();

  int noted = EQ_DAQ_CONNECT_OK;
  std::vector<HeldCause> held(entries.size());
  HeldCause* busy_by_us = nullptr;  // the last attempt was a "BUSY" from an entry holding ours
  for (int pass = 1; pass <= kConnectPasses; ++pass) {
    if (connect_cancel.load()) return EQ_DAQ_CONNECT_CANCELED;
    int64_t pass_started = budget_now_ms();
    bool busy = false;
    size_t no_server = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
      if (budget_spent()) return EQ_DAQ_CONNECT_TIMEOUT;
      int step = send_to_entry(entries[i], &noted);
      if (step == kStepCancelled) return EQ_DAQ_CONNECT_CANCELED;
      if (step == kStepAccepted) return EQ_DAQ_CONNECT_OK;
      if (step == kStepFinalError) return EQ_DAQ_CONNECT_BAD_REPLY;
      if (budget_spent()) return EQ_DAQ_CONNECT_TIMEOUT;
      if (step == kStepHeld) held[i].keep(noted, sndreqerror, &reply);
      busy_by_us = noted == EQ_DAQ_CONNECT_BUSY && held[i].held() ? &held[i] : nullptr;
      if (noted == EQ_DAQ_CONNECT_BUSY) busy = true;
      if (step == kStepNoServer) ++no_server;
      if (step == kStepEndPass) break;
    }
    if (no_server == entries.size()) return EQ_DAQ_CONNECT_SEND_FAILED;
    if (pass == kConnectPasses) break;
    if (pass_observer != nullptr)
      pass_observer(pass_context, pass, noted, what_failed(noted).c_str());
    if (busy) {
      int64_t left = pass_started + kBusyPassMs - budget_now_ms();
      if (left > 0 && pause_ms(static_cast<int>(left))) return EQ_DAQ_CONNECT_CANCELED;
    }
    if (budget_spent()) return EQ_DAQ_CONNECT_TIMEOUT;
  }
  if (busy_by_us != nullptr) return busy_by_us->restore(sndreqerror, &reply);
  return noted;
}
