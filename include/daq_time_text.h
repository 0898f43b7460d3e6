// Time texts and the experiment's zone, for applications that take times from
// people. The protocol carries local texts of the experiment's zone
// (ORXA_EXP_TIMEZONE, default CET; set but empty means UTC); these functions turn
// what a person writes into instants and instants into those texts, one way for
// every client.
//
// Each function takes the library's time-zone lock and sets the process's TZ only
// while it holds it, then restores it: call them from any thread, but other
// code of the process that reads TZ meanwhile may see the experiment's zone.
#ifndef DAQ_TIME_TEXT_H
#define DAQ_TIME_TEXT_H

#include <cstdint>
#include <string>

#include "daq_export.h"

// Reads YEAR-MONTH-DAYTHOUR:MINUTE:SECOND strictly (nothing else after it but a
// zone): with Z it is UTC, with +hh:mm or -hh:mm (also +hhmm, +hh) that offset
// from UTC, without either a local time of the experiment's zone. Each field
// must lie in its calendar range and the instant within 1970-01-01T00:00:01Z ..
// 2038-01-19T03:14:07Z, the protocol's 32-bit seconds. A local time that a
// clock change repeats means its first occurrence; one that a change skips is
// read with the offset before the change (02:30 on a spring day is 03:30 after
// it), as mktime and Python's datetime read it. False on success with the instant in
// *seconds (seconds since the epoch, UTC); true with a short reason in *why.
DAQ_EXPORT bool daq_read_time_text(const std::string& text, int64_t* seconds, std::string* why);

// The instant as the protocol's local text of the experiment's zone. False on
// success; true with a reason (unknown zone, instant outside the protocol's
// seconds) in *why.
DAQ_EXPORT bool daq_instant_time_text(int64_t seconds, std::string* text, std::string* why);

// False when the experiment's zone is one the C library knows (a zone database
// name or a POSIX TZ rule); true with one line naming it in *why. The C library
// reads an unknown name as UTC without a word, which would shift every request.
DAQ_EXPORT bool daq_check_experiment_zone(std::string* why);

#endif
