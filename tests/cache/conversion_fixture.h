// Builds events of either generation with the event utilities' encoders and feeds
// them to a DAQEqEvstore, keeping each event in an 8-byte aligned buffer of its own
// that tests may corrupt.
#ifndef DAQ_TESTS_CACHE_CONVERSION_FIXTURE_H
#define DAQ_TESTS_CACHE_CONVERSION_FIXTURE_H

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "cache_api.h"
#include "eq_evstore.h"
#include "orxa_event_builder.h"
#include "velmor.h"

struct EventBytes {
  std::vector<uint64_t> words;
  std::size_t length = 0;
  char* data() { return reinterpret_cast<char*>(words.data()); }
  template <class T>
  void put(std::size_t offset, T value) {
    std::memcpy(data() + offset, &value, sizeof value);
  }
  template <class T>
  T get(std::size_t offset) {
    T v;
    std::memcpy(&v, data() + offset, sizeof v);
    return v;
  }
};

template <class R>
class ConversionTest : public testing::Test {
 protected:
  using A = Api<R>;
  static constexpr std::size_t kFirstSub = sizeof(typename A::Header) + A::kServerHead;

  DAQEqEvstore store{10};
  OrxaEventBuilder builder{A::kFormat};

  void begin(uint64_t ev, time_stamp t = time_stamp{1700000000, 250000},
             uint32_t type = ORXA_EV_HB) {
    builder.begin(ev, t, type, "SRV");
  }
  EventBytes finish() {
    EventBytes e;
    const char* p = builder.finish(&e.length);
    EXPECT_NE(p, nullptr);
    if (p == nullptr) return e;
    e.words.assign((e.length + 7) / 8 + 1, 0);
    std::memcpy(e.data(), p, e.length);
    return e;
  }
  int convert(EventBytes& e, int how = 0) { return A::convert(store, e.data(), nullptr, how); }
  int convert_new(int how = 0) {
    EventBytes e = finish();
    return convert(e, how);
  }
  R* back() { return A::list(store).empty() ? nullptr : A::list(store).back(); }
  eq_evstore_entry* entry(R* r, const char* name) {
    std::string n = name;
    return A::channel(store, r, &n[0]);
  }
  velmor::EqData* object(R* r, const char* name) {
    eq_evstore_entry* e = entry(r, name);
    return e != nullptr ? e->data->data : nullptr;
  }
  std::vector<std::string> names(R* r) {
    std::vector<std::string> out;
    for (eq_evstore_entry* e : r->entry) out.push_back(e->name);
    return out;
  }
  // Offset of sub-block i's head in an event made by the builder.
  std::size_t sub_offset(EventBytes& e, int i) {
    std::size_t off = kFirstSub;
    for (int k = 0; k < i; ++k)
      off += e.get<int32_t>(off + offsetof(orxa_serv_block_subhead_2010, ldata));
    return off;
  }
  void set_event_length(EventBytes& e, int64_t length) {
    if (sizeof(typename A::Header) == sizeof(orxa_eventheader))
      e.put<uint32_t>(offsetof(orxa_eventheader, event_length), static_cast<uint32_t>(length));
    else
      e.put<int64_t>(offsetof(orxa_eventheader_2024, event_length), length);
  }
  // Takes `cut` bytes off the end of sub-block i and moves the rest of the event
  // up, as a producer that does not pad would have written it.
  void unpad(EventBytes& e, int i, int cut) {
    const std::size_t ldata_at = sub_offset(e, i) + offsetof(orxa_serv_block_subhead_2010, ldata);
    const int32_t ldata = e.get<int32_t>(ldata_at);
    const std::size_t end = sub_offset(e, i + 1);
    std::memmove(e.data() + end - cut, e.data() + end, e.length - end);
    e.length -= cut;
    e.put<int32_t>(ldata_at, ldata - cut);
    set_event_length(e, static_cast<int64_t>(e.length));
  }
  uint64_t dropped_events() { return store.get_dropped_events(); }
  uint64_t dropped_sub_blocks() { return store.get_dropped_sub_blocks(); }
};

#endif
