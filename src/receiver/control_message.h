// The control message the receiver thread sends back to the data server: its own
// event header followed by an event tail, handed to the link as two buffers. The
// thread keeps one message for its whole life and patches the header in place
// (the event number says ready, pause, hold, resume or farewell), so nothing is
// allocated per message.
#ifndef DAQ_CONTROL_MESSAGE_H
#define DAQ_CONTROL_MESSAGE_H

#include <sys/uio.h>

#include <cstring>

#include "tidewire.h"

// How a send ended, after the send rule's lines were printed.
enum class SendOutcome { kSent, kNotFatal, kFatal };

// Prints the send rule's lines for a send result and classifies it: 23 (time-out)
// and 28 (resource temporarily unavailable) are not fatal, every other failure is.
SendOutcome report_send_result(int err);

template <class Gen>
struct ControlMessage {
  typename Gen::Header header;
  typename Gen::Tail tail;
  iovec iov[2];

  ControlMessage() {
    std::memset(&header, 0, sizeof header);
    header.pattern = Gen::kPattern;
    header.event_length = Gen::kControlLength;
    header.event_number = Gen::kPause;
    tail.event_length = Gen::kControlLength;
    iov[0] = {&header, sizeof header};
    iov[1] = {&tail, sizeof tail};
  }
  ControlMessage(const ControlMessage&) = delete;
  ControlMessage& operator=(const ControlMessage&) = delete;

  // Every received event is copied whole into the header, so a ready
  // acknowledgment carries that event's own header.
  void take_event(const typename Gen::Header& ev) {
    std::memcpy(&header, &ev, sizeof header);
    header.event_length = Gen::kControlLength;
  }

  SendOutcome send(Tidewire* link) {
    int err = link->SendEvent(iov, 2, SendEvent_NOACK);
    return err == 0 ? SendOutcome::kSent : report_send_result(err);
  }
};

#endif
