// The text of a result of validate_daq_request, for the one line a client
// prints when its request is refused before anything is sent.
#ifndef DAQ_PROTOCOL_VALIDATION_MEANING_H
#define DAQ_PROTOCOL_VALIDATION_MEANING_H

// A static text for any code; codes other than validation's own are the
// configuration file's (reading or merging it failed).
const char* validation_meaning(int code);

#endif
