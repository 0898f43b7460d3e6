// Framing rules of the data link, shared by the reading and the sending side:
// the hello, the frame prefix, the message kinds by pattern, and the check of a
// message's fixed header against its frame length (docs/data-link.md).
#ifndef TIDEWIRE_FRAME_H
#define TIDEWIRE_FRAME_H

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tidewire {

constexpr uint32_t kHelloMagic = 0x5457494Bu;
constexpr uint32_t kHelloVersion = 1;
constexpr std::size_t kHelloSize = 8;
constexpr std::size_t kPrefixSize = 4;
// The longest fixed header (orxa_eventheader_2024): enough bytes to check any message.
constexpr std::size_t kLongestHead = 48;

enum class MessageKind { kNone, kEvent, kEvent2024, kSlow };

inline uint32_t swap32(uint32_t v) { return __builtin_bswap32(v); }

// Unaligned reads: frames sit at any offset of the staging buffer.
inline uint32_t load32(const unsigned char* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline void store32(unsigned char* p, uint32_t v) { std::memcpy(p, &v, sizeof v); }

// Fills the 8-byte hello in this host's byte order.
void write_hello(unsigned char* out);

// Reads a peer's hello: 0 with *swap set, or TIDEWIRE_ERR_HANDSHAKE.
int read_hello(const unsigned char* in, bool* swap);

// Checks a frame length before anything else is read: 0 or TIDEWIRE_ERR_TOO_LARGE.
int check_frame_length(uint32_t length, uint32_t cap);

// Checks the start of a message of frame_length bytes. head holds the first
// min(frame_length, kLongestHead) bytes as the sender wrote them; with swap the
// fixed header is turned into host order in place. Returns 0 with *kind set, or
// TIDEWIRE_ERR_UNKNOWN_KIND / TIDEWIRE_ERR_LENGTH.
int check_message_head(unsigned char* head, uint32_t frame_length, bool swap, MessageKind* kind);

// Name of a result code for diagnostics.
const char* result_text(int code);

}  // namespace tidewire

#endif
