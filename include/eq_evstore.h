// The record cache of a DAQ data receiver: a bounded store of event records with
// its lock, its navigation, and the conversion of DAQ events and slow-data blocks
// into records.
//
// One object holds two independent lists: the legacy list (32-bit event numbers,
// eq_evstore_record) and the 2024 list (64-bit event numbers,
// eq_evstore_record_2024). Every list operation exists once per generation; the
// 2024 form carries the suffix _2024. Each list holds at most `depth` records.
//
// Ownership: once AddRecord has accepted a record, the store owns it, its entries,
// every entry's EqData_dtype and the EqData object and slow-block copy that the
// EqData_dtype points to. Pointers handed out by the navigation stay valid only
// while the caller holds the cache lock and the record is neither removed nor
// reused.
//
// Locking: one non-recursive mutex, mlock. Operations with a `bool how` argument
// take it themselves when how is true; SetDepth, SetTimeDiff, CleanCache, the
// destructor and AddRecord on its eviction path take it too. Everything else,
// including the whole navigation and the conversions, expects the caller to hold
// it. A caller holding the lock must not call AddRecord on a full list.
//
// Time key: lookups by time measure distances in milliseconds,
// key = timeup * 1000 + timelow / 1000.0 (double precision), so max_time_diff
// (default 101.0) is a tolerance in milliseconds, about one pulse period at 10 Hz.
#ifndef EQ_EVSTORE_H
#define EQ_EVSTORE_H

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include "daq_export.h"
#include "orxa_event_format.h"

namespace velmor {
class EqData;
}

// Search selectors, combined in the `int how` argument of the navigation.
enum {
  EQCACHE_FIND_TIME = 0x200,    // select by time stamp (wins when both are given)
  EQCACHE_FIND_EVNUM = 0x400,   // select by event number
  EQCACHE_FIND_NOTSEEN = 0x800  // pass over records whose seen bit is set
};

// Size of an entry's name field, NUL included.
enum { EQ_EVSTORE_NAME_SIZE = 256 };

// The data of one channel in one record.
struct EqData_dtype {
  orxa_daq_slow_data_header* slblock;  // malloc'd copy of a whole slow-data block, or null
  velmor::EqData* data;                // the channel's value, owned; null for slow data
  int32_t dtype;                       // DAQ data type; 33 for slow data
  int32_t devtype;                     // device type; 33 for slow data
};

// One named channel of a record; looked up by exact, case-sensitive name.
struct eq_evstore_entry {
  char name[EQ_EVSTORE_NAME_SIZE];
  EqData_dtype* data;  // owned, never null for entries the cache makes
};

struct eq_evstore_record {
  time_stamp time;
  uint32_t event_number;
  int32_t flags;  // 0x800: seen
  std::vector<eq_evstore_entry*> entry;
};

struct eq_evstore_record_2024 {
  time_stamp time;
  uint64_t event_number;
  int32_t flags;  // 0x800: seen
  std::vector<eq_evstore_entry*> entry;
};

// Results that are bool report true on failure.
class DAQ_EXPORT EqEvstore {
 public:
  int depth;                                        // capacity of each list
  std::vector<eq_evstore_record*> cache;            // legacy list, arrival order
  std::vector<eq_evstore_record_2024*> cache_2024;  // 2024 list, arrival order
  float max_time_diff;                              // lookup tolerance, milliseconds
  pthread_mutex_t mlock;                            // the cache lock, not recursive
  int depthinc;                                     // read by the receiver to grow the depth

  explicit EqEvstore(int dpth);
  ~EqEvstore();
  EqEvstore(const EqEvstore&) = delete;
  EqEvstore& operator=(const EqEvstore&) = delete;

  void lock();
  void unlock();

  bool SetDepth(int dpth);  // takes the lock; rejects 0 and below
  int GetDepth();
  int SetInc(int d);
  int GetInc();
  void SetTimeDiff(float df);  // takes the lock

  bool IsFull();  // exactly depth records
  bool IsFull_2024();
  bool IsEmpty();
  bool IsEmpty_2024();
  int GetNRecords(bool how);
  int GetNRecords_2024(bool how);

  // Clears rec->flags and appends rec; on a full list first evicts the record with
  // the earliest time stamp (taking the lock). On failure rec stays the caller's.
  bool AddRecord(eq_evstore_record* rec);
  bool AddRecord_2024(eq_evstore_record_2024* rec);
  bool RemRecord(int pos, bool how);
  bool RemRecord_2024(int pos, bool how);
  bool RemRecord(eq_evstore_record* rec, bool how);
  bool RemRecord_2024(eq_evstore_record_2024* rec, bool how);
  // Takes ent out of rec and releases the entry and its EqData_dtype, but not the
  // EqData object nor the slow-block copy that the EqData_dtype pointed to.
  bool RemEntry(eq_evstore_record* rec, eq_evstore_entry* ent);
  bool RemEntry_2024(eq_evstore_record_2024* rec, eq_evstore_entry* ent);
  void CleanCache();  // takes the lock

  void SetRecordSeen(bool seen, eq_evstore_record* rec);  // rec must not be null
  void SetRecordSeen_2024(bool seen, eq_evstore_record_2024* rec);
  void ClenAllSeen();

  void PrintEntry(eq_evstore_entry* entry);
  void PrintRecord(eq_evstore_record* rec);
  void PrintRecord_2024(eq_evstore_record_2024* rec);
  void PrintAll(bool how);

  // Navigation. Index results: a position, -1 when nothing matched, -2 for a
  // selector without EQCACHE_FIND_TIME and EQCACHE_FIND_EVNUM. Ties keep the
  // lowest position.
  int FindFirstIndx(int how);
  int FindFirstIndx_2024(int how);
  eq_evstore_record* FindFirstRecord(int how);
  eq_evstore_record_2024* FindFirstRecord_2024(int how);
  int FindLastIndx(int how);
  int FindLastIndx_2024(int how);
  eq_evstore_record* FindLastRecord(int how);
  eq_evstore_record_2024* FindLastRecord_2024(int how);

  bool get_first_eventnum(int* evnum);
  bool get_first_eventnum_2024(uint64_t* evnum);
  bool get_last_eventnum(int* evnum);
  bool get_last_eventnum_2024(uint64_t* evnum);
  // Legacy list first, the 2024 list when the legacy one yields nothing.
  bool get_first_time(time_stamp* tm);
  bool get_last_time(time_stamp* tm);

  // Next / previous event number, counted with wrap-around.
  int FindNextIndx(uint32_t ev);
  int FindNextIndx_2024(uint64_t ev);
  eq_evstore_record* FindNextRecord(uint32_t ev);
  eq_evstore_record_2024* FindNextRecord_2024(uint64_t ev);
  int FindPrevIndx(uint32_t ev);
  int FindPrevIndx_2024(uint64_t ev);
  eq_evstore_record* FindPrevRecord(uint32_t ev);
  eq_evstore_record_2024* FindPrevRecord_2024(uint64_t ev);

  // Next / previous by time: the smallest positive key distance.
  int FindNextIndx(time_stamp ts);
  int FindNextIndx_2024(time_stamp ts);
  eq_evstore_record* FindNextRecord(time_stamp ts);
  eq_evstore_record_2024* FindNextRecord_2024(time_stamp ts);
  int FindPrevIndx(time_stamp ts);
  int FindPrevIndx_2024(time_stamp ts);
  eq_evstore_record* FindPrevRecord(time_stamp ts);
  eq_evstore_record_2024* FindPrevRecord_2024(time_stamp ts);

  eq_evstore_record* FindRecord(int evnum);
  eq_evstore_record_2024* FindRecord_2024(uint64_t evnum);
  // The first record in list order within max_time_diff, not the nearest.
  eq_evstore_record* FindRecord(time_stamp time);
  eq_evstore_record_2024* FindRecord_2024(time_stamp time);

  eq_evstore_entry* FindChannel(eq_evstore_record* rec, char* name);
  eq_evstore_entry* FindChannel_2024(eq_evstore_record_2024* rec, char* name);
  eq_evstore_entry* FindChannel(int evnum, char* name);
  eq_evstore_entry* FindChannel_2024(uint64_t evnum, char* name);
  eq_evstore_entry* FindChannel(time_stamp time, char* name);
  eq_evstore_entry* FindChannel_2024(time_stamp time, char* name);
};

// Turns DAQ events and slow-data blocks into cache records. Every conversion
// expects the caller to hold the cache lock. Results: 0 success, -2 bad input or
// a failed decode, -3 an allocation failed, -4 a full list without a record to
// reuse (how selects that record as for FindFirstRecord; 0 selects none).
class DAQ_EXPORT DAQEqEvstore : public EqEvstore {
 public:
  explicit DAQEqEvstore(int dpth = 50) : EqEvstore(dpth) {}

  // buf: the event's data (its server block head), or null when it follows evhd.
  // Reading stays within the header's event_length.
  int daq_data_to_cache(orxa_eventheader* evhd, char* buf, int how);
  int daq_data_to_cache(orxa_eventheader_2024* evhd, char* buf, int how);
  // Stores a private copy of the whole block; its pattern picks the list.
  int daq_data_to_cache(orxa_daq_slow_data_header* slhd, int how);
  // Adds one empty record for a channel list (the elements are not read).
  int daq_data_to_cache(std::vector<orxa_channel_entry_long*>* res, int how);

  // What the event and slow-data conversions had to drop since the store was made
  // or the counts were reset. An event or slow-data block counts once when the
  // conversion stores no record for it (any failure result except a null header);
  // a sub-block counts once when its channel was lost in whole or in part from an
  // otherwise stored event. The channel-list overload counts nothing. Safe to read
  // from any thread, without the cache lock, while a conversion runs.
  uint64_t get_dropped_events();
  uint64_t get_dropped_sub_blocks();
  void reset_dropped_counts();

  // Counted by the conversions (with the cache lock held), read without it.
  std::atomic<uint64_t> dropped_events{0};
  std::atomic<uint64_t> dropped_sub_blocks{0};
};

#endif
