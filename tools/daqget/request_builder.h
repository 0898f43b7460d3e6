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

// Checks the request as connect() will, before anything is sent: the
// configuration file is read on its own first, so its failure is told apart
// from the validation's codes (both share connect's result with connect's own
// codes), then a copy of the request is validated. False when it passes; true
// with a one-line reason in *error.
bool check_request(EqDAQconnect* connection, std::string* error);

#endif
