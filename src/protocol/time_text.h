// Time texts of a request: year-month-dayThour:minute:second, read like
// sscanf("%u-%u-%uT%u:%u:%u") but without its undefined behaviour on numbers that
// do not fit, and converted to seconds in the current local zone.
#ifndef DAQ_PROTOCOL_TIME_TEXT_H
#define DAQ_PROTOCOL_TIME_TEXT_H

#include <cstddef>
#include <ctime>

// The broken-down local time of text (isdst -1); false when fewer than six fields
// convert. Characters after the seconds are ignored. Reads at most size bytes.
bool read_time_text(const char* text, std::size_t size, struct tm* out);

// The fields as local time (normalised as mktime would: month 13 is January of
// the next year), as seconds that fit a signed 32-bit field; -1 when the
// conversion fails or the time does not fit. An hour a clock change repeats
// reads as its first occurrence whatever was converted before, a time a change
// skips with the offset before the change. Caller holds local_time_lock().
int local_seconds(struct tm* fields);

class DaqMutex;
// The lock every local-time conversion of the protocol takes: validation sets the
// process-wide TZ, so conversions must not overlap with it.
DaqMutex& local_time_lock();

#endif
