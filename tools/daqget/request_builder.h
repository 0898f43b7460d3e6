// Turns the command line into the request of an EqDAQconnect.
#ifndef DAQGET_REQUEST_BUILDER_H
#define DAQGET_REQUEST_BUILDER_H

#include <string>

#include "daqget_options.h"

class EqDAQconnect;

// Start of the embedded server's data: a --local run without a range asks for
// the ten seconds from here.
constexpr long kLocalDefaultStartSec = 1735689600;  // 2025-01-01T00:00:00Z
constexpr long kLocalDefaultSeconds = 10;

// Fills the connection's request. False on success; true with a one-line reason
// in *error (the option and the value that was refused).
bool build_request(const DaqgetOptions& options, EqDAQconnect* connection, std::string* error);

// What a non-zero result of validate_daq_request means.
const char* validation_meaning(int code);

// Seconds since the epoch as a request time text in the experiment's zone
// (ORXA_EXP_TIMEZONE, default CET), so the server reads the same instant back.
// Changes TZ while it runs: call it before other threads start.
std::string seconds_to_request_text(long seconds);

// A request time text: "...Z" is read as UTC and rewritten in the experiment's
// zone; any other text is kept as it is. False on success.
bool normalise_time_text(const std::string& text, std::string* out);

#endif
