// The two slow-data block generations as traits: where entries start and what an
// entry is. Readers and the builder share them, so both sides agree on the layout.
#ifndef EVUTL_SLOW_BLOCK_LAYOUT_H
#define EVUTL_SLOW_BLOCK_LAYOUT_H

#include "orxa_evutl.h"

struct SlowLayout2010 {
  using Entry = orxa_slow_entry_2010;
  using EventNumber = uint32_t;
  static constexpr uint32_t kPattern = ORXA_SLOW_PATTERN;
  static constexpr size_t kEntriesAt = ORXA_SLOW_ENTRIES_2010;
};

struct SlowLayout2024 {
  using Entry = orxa_slow_entry_2024;
  using EventNumber = uint64_t;
  static constexpr uint32_t kPattern = ORXA_SLOW_PATTERN_2024;
  static constexpr size_t kEntriesAt = ORXA_SLOW_ENTRIES_2024;
};

#endif
