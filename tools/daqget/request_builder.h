// Turns the command line into a fetch request: the fields the fetch carries go
// into a DaqFetchRequest, the rest onto its connection before the handshake.
#ifndef DAQGET_REQUEST_BUILDER_H
#define DAQGET_REQUEST_BUILDER_H

#include <string>

#include "daq_fetch.h"
#include "daqget_options.h"

class EqDAQconnect;

// Start of the embedded server's data: a --local run without a range asks for
// the ten seconds from here.
constexpr long kLocalDefaultStartSec = 1735689600;  // 2025-01-01T00:00:00Z
constexpr long kLocalDefaultSeconds = 10;

// Fills *request (servers aside). False on success; true with a one-line reason
// in *error (the option and the value that was refused).
bool build_request(const DaqgetOptions& options, DaqFetchRequest* request, std::string* error);

// Sets on the connection what a DaqFetchRequest does not carry (directories, a
// request file, files, scan mode, request type, all runs). Same result as above.
bool complete_request(const DaqgetOptions& options, EqDAQconnect* connection, std::string* error);

#endif
