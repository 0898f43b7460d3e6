// One channel sub-block as the conversion sees it, read out of the event once:
// the walk has checked that [head, end) lies inside the event, and the channel
// name is copied into a terminated field because a hostile event need not
// terminate it. Fields are read with memcpy: a sub-head is only as aligned as the
// producer made it.
#ifndef DAQ_CACHE_SUB_BLOCK_H
#define DAQ_CACHE_SUB_BLOCK_H

#include <cstdint>
#include <cstring>

#include "daq_text.h"
#include "eq_evstore.h"
#include "orxa_evutl.h"

struct SubBlock {
  orxa_serv_block_subhead_2010* head;
  const char* end;  // head + ldata
  char name[EQ_EVSTORE_NAME_SIZE];
  int data_type;
  int device_type;
  int32_t error;
};

inline int32_t read_i32(const char* p) {
  int32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline SubBlock read_sub_block(char* head, int32_t ldata) {
  SubBlock b;
  b.head = reinterpret_cast<orxa_serv_block_subhead_2010*>(head);
  b.end = head + ldata;
  copy_text(b.name, head);  // chname is the first field; copy_text stops at 255
  int32_t word = read_i32(head + offsetof(orxa_serv_block_subhead_2010, dtype));
  b.data_type = orxa_data_type_of(word);
  b.device_type = orxa_device_type_of(word);
  b.error = read_i32(head + offsetof(orxa_serv_block_subhead_2010, error));
  return b;
}

// True when count values of type T starting at p lie inside the sub-block.
template <class T>
bool lies_inside(const void* p, long long count, const SubBlock& b) {
  if (p == nullptr || count < 0) return false;
  const char* begin = static_cast<const char*>(p);
  if (begin < reinterpret_cast<const char*>(b.head) || begin > b.end) return false;
  return count <= static_cast<long long>((b.end - begin) / static_cast<long long>(sizeof(T)));
}

// The time and number that every entry of one event receives.
struct EventStamp {
  time_stamp time;
  uint64_t number;  // full width; the legacy generation fills the low 32 bits
  uint32_t low32() const { return static_cast<uint32_t>(number); }
  unsigned short low16() const { return static_cast<unsigned short>(number); }
  unsigned short millis() const { return static_cast<unsigned short>(time.timelow / 1000); }
};

#endif
