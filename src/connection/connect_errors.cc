// Texts of the result codes of EqDAQconnect::connect. The text of code 1 carries
// the call's error text, so it is composed per thread: a text handed to one
// thread is never rewritten by another.
#include <cstdio>

#include "eq_daq_connect.h"

namespace {

// The misspellings ("reqply", "repply") are kept on purpose: operators' scripts
// match these texts, so correcting them would break those scripts.
const char* const kErrorTexts[] = {
    "Ok",
    "Failed to send request",
    "Failed to get reqply via request",
    "Failed to parse reply via request",
    "Cannot proceed with the request due to BAD reply",
    "Requests are different",
    "Failed to get reply",
    "Failed to parse reply",
    "Got BAD reply",
    "Too long waiting for repply",
    "XML file not found",
    "XML file parsing error",
    "Requests are different",  // 12: what connect means by it
    "Server busy",
    "Connection canceled",
};
constexpr int kErrorTextCount = static_cast<int>(sizeof kErrorTexts / sizeof kErrorTexts[0]);

}  // namespace

const char* EqDAQconnect::get_error(int err) {
  if (err < 0 || err >= kErrorTextCount) return "Unknown";
  if (err == EQ_DAQ_CONNECT_SEND_FAILED) {
    thread_local char text[sizeof "Failed to send request" + EQ_DAQ_SNDREQERROR_SIZE + 1];
    std::snprintf(text, sizeof text, "%s %s", kErrorTexts[1], sndreqerror);
    return text;
  }
  return kErrorTexts[err];
}

char* EqDAQconnect::get_reply_error() { return reply.reason; }
