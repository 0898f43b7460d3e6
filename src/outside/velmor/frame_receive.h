// Request and answer payloads decoded while they arrive, so that a large array
// goes from the socket straight into its data object instead of through a
// frame buffer and a copy. The checks are those of decode_request and
// decode_answer (frame.h).
#ifndef VELMOR_FRAME_RECEIVE_H
#define VELMOR_FRAME_RECEIVE_H

#include <cstddef>
#include <string>

#include "socket_io.h"
#include "velmor.h"

namespace velmor {

// Each reads a payload of `size` bytes from reader into its objects, using
// *scratch for the parts that are not received in place. *rc gets the
// transport result (0, EQ_ERR_TIMEOUT or EQ_ERR_CONNECTION_LOST); with rc 0,
// the result is null on success, else the reason the payload does not decode.
// A payload is always read whole first when it does not decode, so a frame
// cut short is told as such whatever its content.
const char* receive_request(SocketReader& reader, size_t size, Deadline deadline,
                            std::string* scratch, std::string* property, EqData* in, int* rc);
const char* receive_answer(SocketReader& reader, size_t size, Deadline deadline,
                           std::string* scratch, EqData* out, int* rc);

}  // namespace velmor

#endif
