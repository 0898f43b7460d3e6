// The two event generations as traits: header, server block head and tail types.
// The builder's begin/finish are written once over these.
#ifndef EVUTL_EVENT_LAYOUT_H
#define EVUTL_EVENT_LAYOUT_H

#include <cstdint>

#include "orxa_event_format.h"

struct EventLayout2010 {
  using Header = orxa_eventheader;
  using ServHead = orxa_serv_block_head_2010;
  using Tail = orxa_eventtail;
  using Length = uint32_t;
  using EventNumber = uint32_t;
  static constexpr uint32_t kPattern = ORXA_EVENT_PATTERN;
  static void mark_server_block(ServHead&) {}
};

struct EventLayout2024 {
  using Header = orxa_eventheader_2024;
  using ServHead = orxa_serv_block_head_2024;
  using Tail = orxa_eventtail_2024;
  using Length = int64_t;
  using EventNumber = uint64_t;
  static constexpr uint32_t kPattern = ORXA_EVENT_PATTERN_2024;
  static void mark_server_block(ServHead& s) { s.pattern = ORXA_SERV_BLOCK_PATTERN_2024; }
};

#endif
