// Framing rules. A message is recognised by the pattern in its first 4 bytes,
// exactly as the event stream itself marks events and slow-data blocks; the
// length that the fixed header states must equal the frame length, so a frame
// can never be read as more (or less) than it carries.
#include "tidewire_frame.h"

#include "tidewire.h"

namespace tidewire {

void write_hello(unsigned char* out) {
  store32(out, kHelloMagic);
  store32(out + 4, kHelloVersion);
}

int read_hello(const unsigned char* in, bool* swap) {
  uint32_t magic = load32(in);
  uint32_t version = load32(in + 4);
  if (magic == kHelloMagic) {
    *swap = false;
  } else if (swap32(magic) == kHelloMagic) {
    *swap = true;
    version = swap32(version);
  } else {
    return TIDEWIRE_ERR_HANDSHAKE;
  }
  return version == kHelloVersion ? 0 : TIDEWIRE_ERR_HANDSHAKE;
}

int check_frame_length(uint32_t length, uint32_t cap) {
  return (length == 0 || length > cap) ? TIDEWIRE_ERR_TOO_LARGE : 0;
}

namespace {

void swap_words(unsigned char* p, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) store32(p + 4 * i, swap32(load32(p + 4 * i)));
}

void swap_word64(unsigned char* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  v = __builtin_bswap64(v);
  std::memcpy(p, &v, sizeof v);
}

// Turns a fixed header into host order; the pattern is already known.
void swap_fixed_head(unsigned char* head, MessageKind kind) {
  switch (kind) {
    case MessageKind::kEvent:
      swap_words(head, sizeof(orxa_eventheader) / 4);
      break;
    case MessageKind::kEvent2024:
      swap_words(head, 2);  // pattern, event_type
      swap_word64(head + offsetof(orxa_eventheader_2024, event_length));
      swap_word64(head + offsetof(orxa_eventheader_2024, event_number));
      swap_words(head + offsetof(orxa_eventheader_2024, event_time), 6);
      break;
    case MessageKind::kSlow:
      swap_words(head, sizeof(orxa_daq_slow_data_header) / 4);
      break;
    case MessageKind::kNone:
      break;
  }
}

}  // namespace

int check_message_head(unsigned char* head, uint32_t frame_length, bool swap, MessageKind* kind) {
  *kind = MessageKind::kNone;
  if (frame_length < 4) return TIDEWIRE_ERR_LENGTH;
  uint32_t pattern = load32(head);
  if (swap) pattern = swap32(pattern);
  MessageKind found;
  std::size_t head_size;
  switch (pattern) {
    case ORXA_EVENT_PATTERN:
      found = MessageKind::kEvent;
      head_size = sizeof(orxa_eventheader);
      break;
    case ORXA_EVENT_PATTERN_2024:
      found = MessageKind::kEvent2024;
      head_size = sizeof(orxa_eventheader_2024);
      break;
    case ORXA_SLOW_PATTERN:
    case ORXA_SLOW_PATTERN_2024:
      found = MessageKind::kSlow;
      head_size = sizeof(orxa_daq_slow_data_header);
      break;
    default:
      return TIDEWIRE_ERR_UNKNOWN_KIND;
  }
  if (frame_length < head_size) return TIDEWIRE_ERR_LENGTH;
  if (swap) swap_fixed_head(head, found);

  bool agrees;
  if (found == MessageKind::kEvent2024) {
    int64_t stated;
    std::memcpy(&stated, head + offsetof(orxa_eventheader_2024, event_length), sizeof stated);
    agrees = stated == static_cast<int64_t>(frame_length);
  } else {
    // event_length and data_length both sit at offset 4.
    agrees = load32(head + 4) == frame_length;
  }
  if (!agrees) return TIDEWIRE_ERR_LENGTH;
  *kind = found;
  return 0;
}

const char* result_text(int code) {
  switch (code) {
    case TIDEWIRE_OK:
      return "ok";
    case TIDEWIRE_ERR_LOST:
      return "connection lost";
    case TIDEWIRE_ERR_NOT_CONNECTED:
      return "not connected";
    case TIDEWIRE_ERR_ARGUMENT:
      return "bad argument";
    case TIDEWIRE_AGAIN_TIMEOUT:
      return "no message yet";
    case TIDEWIRE_ERR_TIMEOUT:
      return "time-out";
    case TIDEWIRE_ERR_BUSY:
      return "resource temporarily unavailable";
    case TIDEWIRE_AGAIN_INTERRUPTED:
      return "interrupted";
    case TIDEWIRE_ERR_TRUNCATED:
      return "peer closed in the middle of a frame";
    case TIDEWIRE_ERR_TOO_LARGE:
      return "frame length 0 or above the size cap";
    case TIDEWIRE_ERR_UNKNOWN_KIND:
      return "message of unknown kind";
    case TIDEWIRE_ERR_LENGTH:
      return "header length disagrees with the frame length";
    case TIDEWIRE_ERR_NO_MEMORY:
      return "out of memory";
    case TIDEWIRE_ERR_IDLE:
      return "no complete message within the idle bound";
    case TIDEWIRE_ERR_RESOLVE:
      return "host name not resolved";
    case TIDEWIRE_ERR_CONNECT:
      return "connection failed";
    case TIDEWIRE_ERR_CONNECT_TIMEOUT:
      return "connect time-out";
    case TIDEWIRE_ERR_HANDSHAKE:
      return "peer is not a data link";
    case TIDEWIRE_ERR_BAD_MESSAGE:
      return "message breaks the framing rules";
    case TIDEWIRE_ERR_BIND:
      return "address not available for listening";
    default:
      return "unknown result";
  }
}

}  // namespace tidewire
