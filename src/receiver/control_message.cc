#include "control_message.h"

#include "daq_diag.h"

SendOutcome report_send_result(int err) {
  daq_print("SendEvent() Failed to send event return: %d\n", err);
  switch (err) {
    case TIDEWIRE_ERR_LOST:
      daq_line("SendEvent() connection lost");
      return SendOutcome::kFatal;
    case TIDEWIRE_ERR_TIMEOUT:
      daq_line("SendEvent() Timeout");
      return SendOutcome::kNotFatal;
    case TIDEWIRE_ERR_BUSY:
      daq_line("SendEvent() Resource temporarily unavailable");
      return SendOutcome::kNotFatal;
    default:
      daq_print("SendEvent() Other errors: %d\n", err);
      return SendOutcome::kFatal;
  }
}
