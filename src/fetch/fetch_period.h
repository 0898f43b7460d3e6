// The period of a fetch: the local texts that ask for its instants, the check
// that the server read them as this process did, and the records that lie in
// it. The protocol carries local texts of the experiment's zone; a range the
// zone cannot say plainly (a repeated autumn hour, or texts that would read
// start after stop) is asked wider and narrowed to the instants here.
#ifndef DAQ_FETCH_PERIOD_H
#define DAQ_FETCH_PERIOD_H

#include <cstdint>
#include <string>

#include "daq_fetch.h"
#include "daq_server_util_def.h"

// The start and stop texts of a time range (q.start_sec > 0): the instants'
// own texts where the zone says them plainly, otherwise the nearest texts
// whose every reading lies at or before the start and at or after the stop,
// so a server asks at least the range whichever occurrence of a repeated hour
// it takes. stop_text is empty when q.stop_sec is 0. False on success; true
// with one line in *error (an unknown zone, an instant the protocol cannot
// carry).
bool period_request_texts(const DaqFetchRequest& q, std::string* start_text, std::string* stop_text,
                          std::string* error);

// After the handshake of a time range: true with one line in *error when the
// period the reply reports reaches outside what the texts it echoes ask in
// this process's zone (the server read them in another zone), unless
// q.accept_period_mismatch. A period inside them is the server's cut to the
// data it has; a reply without a period (seconds 0 or less) is not checked.
bool period_mismatch(const DaqFetchRequest& q, const daq_server_reply& reply, std::string* error);

// Whether the texts of a time range ask more than its instants (a repeated
// hour, texts that would read backwards), so the records must be narrowed.
bool period_widened(const DaqFetchRequest& q);

// Whether a record stamped sec.usec lies in the instants asked:
// start_sec <= stamp < stop_sec for a time range (stop 0: no end); every
// record of any other request, and of one that accepts the server's period
// (accept_period_mismatch).
bool instant_in_request(const DaqFetchRequest& q, uint32_t sec, uint32_t usec);

#endif
