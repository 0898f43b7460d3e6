// Both generations of the cache behind one interface, so that typed tests run
// every legacy operation and its _2024 twin through the same checks.
#ifndef DAQ_TESTS_CACHE_API_H
#define DAQ_TESTS_CACHE_API_H

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "eq_evstore.h"
#include "orxa_event_builder.h"

template <class R>
struct Api;

template <>
struct Api<eq_evstore_record> {
  using R = eq_evstore_record;
  using EvNum = uint32_t;
  using Header = orxa_eventheader;
  static constexpr int kFormat = ORXA_FORMAT_LEGACY;
  static constexpr std::size_t kServerHead = sizeof(orxa_serv_block_head_2010);
  static constexpr std::size_t kNchan = offsetof(orxa_serv_block_head_2010, nchan);
  static constexpr const char* kDecodeFailure = "orxa_daq_to_eqdata() failed !!!  error:%d\n";
  static constexpr uint32_t kSlowPattern = ORXA_SLOW_PATTERN;
  static constexpr const char* kFullMessage =
      "daq_data_to_cache() !!!! Failed to find first record in FULL cache !!!!!\n";
  static constexpr const char* kSlowFullMessage =
      "daq_data_to_cache(slow) !!!! Failed to find first record in FULL cache !!!!!\n";

  static std::vector<R*>& list(EqEvstore& s) { return s.cache; }
  static bool add(EqEvstore& s, R* r) { return s.AddRecord(r); }
  static bool rem(EqEvstore& s, int pos, bool how) { return s.RemRecord(pos, how); }
  static bool rem(EqEvstore& s, R* r, bool how) { return s.RemRecord(r, how); }
  static bool rem_entry(EqEvstore& s, R* r, eq_evstore_entry* e) { return s.RemEntry(r, e); }
  static bool full(EqEvstore& s) { return s.IsFull(); }
  static bool empty(EqEvstore& s) { return s.IsEmpty(); }
  static int count(EqEvstore& s, bool how) { return s.GetNRecords(how); }
  static void seen(EqEvstore& s, bool on, R* r) { s.SetRecordSeen(on, r); }
  static void print(EqEvstore& s, R* r) { s.PrintRecord(r); }
  static int first(EqEvstore& s, int how) { return s.FindFirstIndx(how); }
  static int last(EqEvstore& s, int how) { return s.FindLastIndx(how); }
  static R* first_rec(EqEvstore& s, int how) { return s.FindFirstRecord(how); }
  static R* last_rec(EqEvstore& s, int how) { return s.FindLastRecord(how); }
  static int next(EqEvstore& s, EvNum ev) { return s.FindNextIndx(ev); }
  static int prev(EqEvstore& s, EvNum ev) { return s.FindPrevIndx(ev); }
  static R* next_rec(EqEvstore& s, EvNum ev) { return s.FindNextRecord(ev); }
  static R* prev_rec(EqEvstore& s, EvNum ev) { return s.FindPrevRecord(ev); }
  static int next(EqEvstore& s, time_stamp t) { return s.FindNextIndx(t); }
  static int prev(EqEvstore& s, time_stamp t) { return s.FindPrevIndx(t); }
  static R* next_rec(EqEvstore& s, time_stamp t) { return s.FindNextRecord(t); }
  static R* prev_rec(EqEvstore& s, time_stamp t) { return s.FindPrevRecord(t); }
  static R* find(EqEvstore& s, EvNum ev) { return s.FindRecord(static_cast<int>(ev)); }
  static R* find(EqEvstore& s, time_stamp t) { return s.FindRecord(t); }
  static eq_evstore_entry* channel(EqEvstore& s, R* r, char* n) { return s.FindChannel(r, n); }
  static eq_evstore_entry* channel(EqEvstore& s, EvNum ev, char* n) {
    return s.FindChannel(static_cast<int>(ev), n);
  }
  static eq_evstore_entry* channel(EqEvstore& s, time_stamp t, char* n) {
    return s.FindChannel(t, n);
  }
  static bool first_evnum(EqEvstore& s, EvNum* out) {
    int v = -7;
    bool r = s.get_first_eventnum(&v);
    if (!r) *out = static_cast<EvNum>(v);
    return r;
  }
  static bool last_evnum(EqEvstore& s, EvNum* out) {
    int v = -7;
    bool r = s.get_last_eventnum(&v);
    if (!r) *out = static_cast<EvNum>(v);
    return r;
  }
  static int convert(DAQEqEvstore& s, char* event, char* buf, int how) {
    return s.daq_data_to_cache(reinterpret_cast<Header*>(event), buf, how);
  }
};

template <>
struct Api<eq_evstore_record_2024> {
  using R = eq_evstore_record_2024;
  using EvNum = uint64_t;
  using Header = orxa_eventheader_2024;
  static constexpr int kFormat = ORXA_FORMAT_2024;
  static constexpr std::size_t kServerHead = sizeof(orxa_serv_block_head_2024);
  static constexpr std::size_t kNchan = offsetof(orxa_serv_block_head_2024, nchan);
  static constexpr const char* kDecodeFailure = "orxa_daq_to_eqdata_2024() failed !!!  error:%d\n";
  static constexpr uint32_t kSlowPattern = ORXA_SLOW_PATTERN_2024;
  static constexpr const char* kFullMessage =
      "daq_data_ljvhuto_cache() !!!! Failed to find first record in FULL cache !!!!!\n";
  static constexpr const char* kSlowFullMessage =
      "daq_data_to_cache(slow) !!!! Failed to find first record in FULL cache (2024) !!!!!\n";

  static std::vector<R*>& list(EqEvstore& s) { return s.cache_2024; }
  static bool add(EqEvstore& s, R* r) { return s.AddRecord_2024(r); }
  static bool rem(EqEvstore& s, int pos, bool how) { return s.RemRecord_2024(pos, how); }
  static bool rem(EqEvstore& s, R* r, bool how) { return s.RemRecord_2024(r, how); }
  static bool rem_entry(EqEvstore& s, R* r, eq_evstore_entry* e) { return s.RemEntry_2024(r, e); }
  static bool full(EqEvstore& s) { return s.IsFull_2024(); }
  static bool empty(EqEvstore& s) { return s.IsEmpty_2024(); }
  static int count(EqEvstore& s, bool how) { return s.GetNRecords_2024(how); }
  static void seen(EqEvstore& s, bool on, R* r) { s.SetRecordSeen_2024(on, r); }
  static void print(EqEvstore& s, R* r) { s.PrintRecord_2024(r); }
  static int first(EqEvstore& s, int how) { return s.FindFirstIndx_2024(how); }
  static int last(EqEvstore& s, int how) { return s.FindLastIndx_2024(how); }
  static R* first_rec(EqEvstore& s, int how) { return s.FindFirstRecord_2024(how); }
  static R* last_rec(EqEvstore& s, int how) { return s.FindLastRecord_2024(how); }
  static int next(EqEvstore& s, EvNum ev) { return s.FindNextIndx_2024(ev); }
  static int prev(EqEvstore& s, EvNum ev) { return s.FindPrevIndx_2024(ev); }
  static R* next_rec(EqEvstore& s, EvNum ev) { return s.FindNextRecord_2024(ev); }
  static R* prev_rec(EqEvstore& s, EvNum ev) { return s.FindPrevRecord_2024(ev); }
  static int next(EqEvstore& s, time_stamp t) { return s.FindNextIndx_2024(t); }
  static int prev(EqEvstore& s, time_stamp t) { return s.FindPrevIndx_2024(t); }
  static R* next_rec(EqEvstore& s, time_stamp t) { return s.FindNextRecord_2024(t); }
  static R* prev_rec(EqEvstore& s, time_stamp t) { return s.FindPrevRecord_2024(t); }
  static R* find(EqEvstore& s, EvNum ev) { return s.FindRecord_2024(ev); }
  static R* find(EqEvstore& s, time_stamp t) { return s.FindRecord_2024(t); }
  static eq_evstore_entry* channel(EqEvstore& s, R* r, char* n) { return s.FindChannel_2024(r, n); }
  static eq_evstore_entry* channel(EqEvstore& s, EvNum ev, char* n) {
    return s.FindChannel_2024(ev, n);
  }
  static eq_evstore_entry* channel(EqEvstore& s, time_stamp t, char* n) {
    return s.FindChannel_2024(t, n);
  }
  static bool first_evnum(EqEvstore& s, EvNum* out) { return s.get_first_eventnum_2024(out); }
  static bool last_evnum(EqEvstore& s, EvNum* out) { return s.get_last_eventnum_2024(out); }
  static int convert(DAQEqEvstore& s, char* event, char* buf, int how) {
    return s.daq_data_to_cache(reinterpret_cast<Header*>(event), buf, how);
  }
};

using RecordTypes = ::testing::Types<eq_evstore_record, eq_evstore_record_2024>;

// Names the typed instantiations "Legacy" and "Gen2024" in test output.
struct GenerationName {
  template <class R>
  static std::string GetName(int) {
    return sizeof(R::event_number) == 4 ? "Legacy" : "Gen2024";
  }
};

// A record owned by the caller until AddRecord accepts it.
template <class R>
R* make_record(uint32_t timeup, uint32_t timelow, uint64_t evnum) {
  R* r = new R();
  r->time = time_stamp{timeup, timelow};
  r->event_number = static_cast<decltype(r->event_number)>(evnum);
  return r;
}

#endif
