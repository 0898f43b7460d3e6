// Side indexes of a long record list, so that lookups, eviction and removal cost
// about the same at a depth of 20,000 as at 50. The public vector stays the truth:
// an index only answers "which record", and the answer is the one the linear scan
// in record_navigation.h gives (first in list order among ties).
//
// Each record gets an arrival number when indexed; list order is arrival order, so
// "lowest position" is "lowest arrival number". Ordered sets keyed by (value,
// arrival) give the first or last value and, for a value, its earliest record.
//
// An index lives beside its store (the public layout has no room for it) and is
// reached through a registry. It is made on the first lookup in a list of at least
// index_min_size() records and from then on kept in step, under the cache lock, by
// every change the store makes. A list changed behind the store's back is noticed
// by its size, storage and end records and indexed again; a list holding one record
// twice is not indexed at all and its lookups scan.
//
// Appends are only counted: the records at the list's end that arrived since the
// last lookup are indexed by the next one. The receiver thread appends while it
// holds the lock that the application's queries wait for, so it does no more there
// than the append; a list filled in arrival order of time and number goes into the
// sets at their ends, which costs no search. Nodes come from pools (node_pool.h)
// and each record keeps its nodes' places, so removing one searches nothing either.
#ifndef DAQ_CACHE_RECORD_INDEX_H
#define DAQ_CACHE_RECORD_INDEX_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <set>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

#include "eq_evstore.h"
#include "node_pool.h"
#include "spare_records.h"

// Shortest list that lookups answer through an index; shorter lists scan, which
// is faster there. Tests lower it to reach the index with few records.
std::size_t index_min_size();
void set_index_min_size(std::size_t n);

template <class Record>
class RecordIndex {
  // Declared first: the sets and the map below return their nodes on destruction.
  NodePool number_pool_, unseen_number_pool_, time_pool_, unseen_time_pool_, key_pool_, meta_pool_;

 public:
  using EventNumber = decltype(Record::event_number);
  using List = std::vector<Record*>;
  using Seq = uint64_t;

  struct ByNumber {
    EventNumber number;
    Seq seq;
    Record* rec;
    bool operator<(const ByNumber& o) const {
      return std::tie(number, seq) < std::tie(o.number, o.seq);
    }
  };
  struct ByTime {  // seconds first, as time_before orders
    uint32_t up, low;
    Seq seq;
    Record* rec;
    bool operator<(const ByTime& o) const {
      return std::tie(up, low, seq) < std::tie(o.up, o.low, o.seq);
    }
  };
  struct ByKey {  // the millisecond key of time_key_ms
    double key;
    Seq seq;
    Record* rec;
    bool operator<(const ByKey& o) const { return std::tie(key, seq) < std::tie(o.key, o.seq); }
  };
  template <class T>
  using Set = std::set<T, std::less<T>, PoolAllocator<T>>;

  static constexpr Seq kMaxSeq = std::numeric_limits<Seq>::max();

  Set<ByNumber> by_number{std::less<ByNumber>(), PoolAllocator<ByNumber>(&number_pool_)};
  Set<ByNumber> unseen_by_number{std::less<ByNumber>(),
                                 PoolAllocator<ByNumber>(&unseen_number_pool_)};
  Set<ByTime> by_time{std::less<ByTime>(), PoolAllocator<ByTime>(&time_pool_)};
  Set<ByTime> unseen_by_time{std::less<ByTime>(), PoolAllocator<ByTime>(&unseen_time_pool_)};
  Set<ByKey> by_key{std::less<ByKey>(), PoolAllocator<ByKey>(&key_pool_)};

  RecordIndex() = default;
  RecordIndex(const RecordIndex&) = delete;
  RecordIndex& operator=(const RecordIndex&) = delete;

  // True when the index describes `list` as it is, appends included; otherwise
  // it is rebuilt. Returns false when the list cannot be indexed (a record held
  // twice).
  bool ready(const List& list);
  // Keeping in step. Each takes the list as it is after (added, refreshed) or
  // before (removing) the change.
  void added(const List& list);
  void removing(const List& list, std::size_t pos);
  void refresh(const List& list, Record* rec);  // rec's time, number or seen bit changed
  void cleared() { forget(); }
  void invalidate() { valid_ = false; }

  // The position of an indexed record in `list` (which ready() accepted).
  int position(const List& list, const Record* rec) const;

 private:
  struct Meta {
    Seq seq;
    bool seen;
    typename Set<ByNumber>::iterator number, unseen_number;
    typename Set<ByTime>::iterator time, unseen_time;
    typename Set<ByKey>::iterator key;
  };
  using MetaMap = std::unordered_map<const Record*, Meta, std::hash<const Record*>,
                                     std::equal_to<const Record*>,
                                     PoolAllocator<std::pair<const Record* const, Meta>>>;

  bool in_step(const List& list) const {
    return valid_ && list.size() == size_ && list.data() == data_ &&
           (list.empty() || (list.front() == front_ && list.back() == back_));
  }
  void note(const List& list);
  bool index_appended(const List& list);
  Meta place(Record* rec, Seq seq);  // into the sets
  void erase(const Meta& m);
  void forget();

  MetaMap meta_{0, std::hash<const Record*>(), std::equal_to<const Record*>(),
                PoolAllocator<std::pair<const Record* const, Meta>>(&meta_pool_)};
  Seq next_seq_ = 0;
  bool valid_ = false;
  std::size_t size_ = 0;
  std::size_t appended_ = 0;  // records at the list's end not in the sets yet
  Record* const* data_ = nullptr;
  const Record* front_ = nullptr;
  const Record* back_ = nullptr;
};

// Both lists' indexes of one store, and the record shells it keeps for reuse.
struct StoreIndex {
  RecordIndex<eq_evstore_record> legacy;
  RecordIndex<eq_evstore_record_2024> gen2024;
  SpareRecords<eq_evstore_record> legacy_spares;
  SpareRecords<eq_evstore_record_2024> spares_2024;

  RecordIndex<eq_evstore_record>& of(eq_evstore_record*) { return legacy; }
  RecordIndex<eq_evstore_record_2024>& of(eq_evstore_record_2024*) { return gen2024; }
  SpareRecords<eq_evstore_record>& spares(eq_evstore_record*) { return legacy_spares; }
  SpareRecords<eq_evstore_record_2024>& spares(eq_evstore_record_2024*) { return spares_2024; }
};

// The store's indexes, or null when none was made (make: create them). The caller
// holds the cache lock.
StoreIndex* store_index(const EqEvstore& s, bool make);
// Called by the destructor: the address may serve another store next.
void drop_store_index(const EqEvstore& s);

extern template class RecordIndex<eq_evstore_record>;
extern template class RecordIndex<eq_evstore_record_2024>;

#endif
