// The request's time texts as daqget writes them. The protocol reads a text as
// local time in the experiment's zone and normalises fields out of range
// (month 13 becomes January of the next year), and carries seconds as a signed
// 32-bit number; daqget refuses what would be misread instead of sending it.
// The reading itself is the library's (daq_time_text.h), so every client reads
// a time the same way.
#ifndef DAQGET_REQUEST_TIME_H
#define DAQGET_REQUEST_TIME_H

#include <cstdint>
#include <string>

// The last second the protocol can carry: 2038-01-19T03:14:07Z.
constexpr long kLastRequestSecond = 2147483647;

// Seconds since the epoch as a request time text in the experiment's zone
// (ORXA_EXP_TIMEZONE, default CET), so the server reads the same instant back;
// empty when it cannot be written (an unknown zone among others).
std::string seconds_to_request_text(long seconds);

// Reads a time text strictly: YEAR-MONTH-DAYTHOUR:MINUTE:SECOND with nothing
// after it but a zone: Z (UTC), +hh:mm or -hh:mm (that offset), or none (the
// experiment's zone). Every field must lie in its calendar range and the
// instant within 1970-01-01T00:00:01Z .. 2038-01-19T03:14:07Z. False on success
// with the UTC seconds in *seconds; true with a short reason in *why (also for
// a local text when the experiment's zone is unknown).
bool read_request_instant(const std::string& text, int64_t* seconds, std::string* why);

// As read_request_instant, with the text to send in *out: a local text as
// given, a text with a zone rewritten in the experiment's zone.
bool read_request_time(const std::string& text, std::string* out, std::string* why);

#endif
