// Fills a connection's request from a DaqFetchRequest.
#ifndef DAQ_FETCH_REQUEST_H
#define DAQ_FETCH_REQUEST_H

#include <cstdint>
#include <string>

#include "daq_fetch.h"

class EqDAQconnect;

// False on success; true with a one-line reason in *error naming the field
// and the value that was refused (or the experiment's zone, when unknown). A
// time range is asked with the texts of period_request_texts.
bool fill_fetch_request(const DaqFetchRequest& request, EqDAQconnect* connection,
                        std::string* error);

// An instant as the protocol's local time text in the experiment's zone
// (ORXA_EXP_TIMEZONE, default CET), so the server reads the same instant back;
// empty when it cannot be written (an unknown zone among others).
std::string instant_request_text(int64_t seconds);

// A requested channel's name without its sampling parameters ("NAME@...").
std::string requested_name(const std::string& channel);

#endif
