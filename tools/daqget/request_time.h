// The request's time texts as daqget writes them. The protocol reads a text as
// local time in the experiment's zone and normalises fields out of range
// (month 13 becomes January of the next year), and carries seconds as a signed
// 32-bit number; daqget refuses what would be misread instead of sending it.
#ifndef DAQGET_REQUEST_TIME_H
#define DAQGET_REQUEST_TIME_H

#include <string>

// The last second the protocol can carry: 2038-01-19T03:14:07Z.
constexpr long kLastRequestSecond = 2147483647;

// Seconds since the epoch as a request time text in the experiment's zone
// (ORXA_EXP_TIMEZONE, default CET), so the server reads the same instant back.
// Changes TZ while it runs (and restores it): call it before other threads start.
std::string seconds_to_request_text(long seconds);

// Reads a time text strictly: YEAR-MONTH-DAYTHOUR:MINUTE:SECOND with nothing
// after it, in the experiment's zone, or with a trailing Z in UTC. Every field
// must lie in its calendar range and the instant within 1970-01-01T00:00:01Z ..
// 2038-01-19T03:14:07Z. False on success with the text to send in *out (a local
// text as given, a UTC text rewritten in the experiment's zone); true with a
// short reason in *why.
bool read_request_time(const std::string& text, std::string* out, std::string* why);

#endif
