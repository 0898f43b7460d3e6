// Exit codes of daqget: one per way a run can end, so scripts can tell a bad
// command line from an unreachable service from a stream that broke midway.
#ifndef DAQGET_EXIT_CODES_H
#define DAQGET_EXIT_CODES_H

enum DaqgetExit {
  DAQGET_OK = 0,             // every record written; the stream ended normally
  DAQGET_USAGE = 2,          // bad command line or option value
  DAQGET_BAD_REQUEST = 3,    // the request was refused before sending (setter or validation)
  DAQGET_NO_SERVER = 4,      // no server took the request (unreachable, busy, no answer)
  DAQGET_REFUSED = 5,        // a server answered with an error or an unusable reply
  DAQGET_LINK_FAILED = 6,    // the data link could not be opened or the receiver not started
  DAQGET_STREAM_BROKEN = 7,  // the stream ended without its end-of-data mark
  DAQGET_OUTPUT_FAILED = 8,  // the output could not be opened or written
  DAQGET_LOCAL_FAILED = 9,   // --local: the embedded server did not start
  DAQGET_INTERRUPTED = 130   // SIGINT or SIGTERM
};

// The table printed at the end of --help.
const char* daqget_exit_code_help();

#endif
