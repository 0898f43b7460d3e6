// Read-side lookups of one list, written once for both generations. Lists are in
// arrival order and never sorted; where keys tie, the lowest position wins because
// only a strictly better key replaces the choice. A short list is scanned; a long
// one is answered through its side index (record_index.h), which gives the same
// record. Nothing here locks: every lookup requires the cache lock.
#ifndef DAQ_CACHE_RECORD_NAVIGATION_H
#define DAQ_CACHE_RECORD_NAVIGATION_H

#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>
#include <vector>

#include "cache_lock.h"
#include "eq_evstore.h"
#include "record_index.h"

// The scalar key by which lookups measure the distance between time stamps.
// timelow carries microseconds, so the key is in milliseconds: a key of
// timeup * 1000 + timelow would rank 1 s + 999999 us after 2 s + 0 us.
inline double time_key_ms(const time_stamp& ts) {
  return static_cast<double>(ts.timeup) * 1000.0 + static_cast<double>(ts.timelow) / 1000.0;
}

// Lexicographic order, seconds first: the order of first/last and of eviction.
inline bool time_before(const time_stamp& a, const time_stamp& b) {
  return a.timeup != b.timeup ? a.timeup < b.timeup : a.timelow < b.timelow;
}

enum { NAV_NONE = -1, NAV_INVALID = -2 };

enum class Extreme { first, last };
enum class Direction { next, prev };

template <class Gen>
struct Navigation {
  using Record = typename Gen::Record;
  using EventNumber = typename Gen::EventNumber;
  using Distance = typename Gen::Distance;
  using List = std::vector<Record*>;
  using Index = RecordIndex<Record>;

  // The list's index when the list is long enough to be worth one, else null.
  static Index* index(EqEvstore& s) REQUIRES(cache_mutex(s)) {
    const List& list = records<Gen>(s);
    if (list.size() < index_min_size()) return nullptr;
    StoreIndex* all = store_index(s, true);
    if (all == nullptr) return nullptr;
    Index& ix = all->of(static_cast<Record*>(nullptr));
    return ix.ready(list) ? &ix : nullptr;
  }

  // The index the store keeps in step, if one was made.
  static Index* kept_index(EqEvstore& s) {
    StoreIndex* all = store_index(s, false);
    return all == nullptr ? nullptr : &all->of(static_cast<Record*>(nullptr));
  }

  // First or last by time (wins when both selectors are given) or by event number.
  // The starting bound is the extreme value of the key, so a record carrying it is
  // never selected: 0xFFFFFFFF:0xFFFFFFFF never first, 0:0 never last.
  static int extreme_index(EqEvstore& s, int how, Extreme which) REQUIRES(cache_mutex(s)) {
    const List& list = records<Gen>(s);
    bool by_time = (how & EQCACHE_FIND_TIME) != 0;
    if (!by_time && (how & EQCACHE_FIND_EVNUM) == 0) return NAV_INVALID;
    if (list.empty()) return NAV_NONE;
    bool skip_seen = (how & EQCACHE_FIND_NOTSEEN) != 0;
    bool first = which == Extreme::first;
    if (Index* ix = index(s)) {
      const Record* r = by_time ? extreme_by_time(*ix, skip_seen, first)
                                : extreme_by_number(*ix, skip_seen, first);
      return r == nullptr ? NAV_NONE : ix->position(list, r);
    }
    time_stamp best_time = first ? time_stamp{0xFFFFFFFFu, 0xFFFFFFFFu} : time_stamp{0, 0};
    EventNumber best_num = first ? std::numeric_limits<EventNumber>::max() : 0;
    int found = NAV_NONE;
    for (std::size_t i = 0; i < list.size(); ++i) {
      const Record* r = list[i];
      if (skip_seen && (r->flags & EQCACHE_FIND_NOTSEEN) != 0) continue;
      bool better;
      if (by_time) {
        better = first ? time_before(r->time, best_time) : time_before(best_time, r->time);
        if (better) best_time = r->time;
      } else {
        better = first ? r->event_number < best_num : r->event_number > best_num;
        if (better) best_num = r->event_number;
      }
      if (better) found = static_cast<int>(i);
    }
    return found;
  }

  // The nearest event number after (before) ev, counted modulo 2^bits, so that 5
  // follows 4294967290 for 32-bit numbers.
  static int step_index(EqEvstore& s, EventNumber ev, Direction dir) REQUIRES(cache_mutex(s)) {
    const List& list = records<Gen>(s);
    if (Index* ix = index(s)) {
      const Record* r = step_by_number(*ix, ev, dir);
      return r == nullptr ? NAV_NONE : ix->position(list, r);
    }
    int found = NAV_NONE;
    Distance best = std::numeric_limits<Distance>::max();
    for (std::size_t i = 0; i < list.size(); ++i) {
      EventNumber n = list[i]->event_number;
      auto d =
          static_cast<Distance>(static_cast<EventNumber>(dir == Direction::next ? n - ev : ev - n));
      if (d <= 0) continue;
      if (found == NAV_NONE || d < best) {
        best = d;
        found = static_cast<int>(i);
      }
    }
    return found;
  }

  // The smallest positive key distance, rounded to single precision; a record with
  // exactly the key of ts is neither next nor previous.
  static int step_index(EqEvstore& s, time_stamp ts, Direction dir) REQUIRES(cache_mutex(s)) {
    const List& list = records<Gen>(s);
    const double two_64 = 18446744073709551616.0;
    float best = static_cast<float>(dir == Direction::next ? two_64 * 1000.0 : two_64);
    double key = time_key_ms(ts);
    if (Index* ix = index(s)) {
      const Record* r = step_by_key(*ix, key, best, dir);
      return r == nullptr ? NAV_NONE : ix->position(list, r);
    }
    int found = NAV_NONE;
    for (std::size_t i = 0; i < list.size(); ++i) {
      double rk = time_key_ms(list[i]->time);
      auto d = static_cast<float>(dir == Direction::next ? rk - key : key - rk);
      if (d > 0.0f && d < best) {
        best = d;
        found = static_cast<int>(i);
      }
    }
    return found;
  }

  static Record* at(EqEvstore& s, int pos) REQUIRES(cache_mutex(s)) {
    const List& list = records<Gen>(s);
    return pos >= 0 && static_cast<std::size_t>(pos) < list.size() ? list[pos] : nullptr;
  }

  static Record* extreme_record(EqEvstore& s, int how, Extreme which) REQUIRES(cache_mutex(s)) {
    return at(s, extreme_index(s, how, which));
  }

  static Record* find_by_event(EqEvstore& s, EventNumber ev) REQUIRES(cache_mutex(s)) {
    if (Index* ix = index(s)) {
      auto it = ix->by_number.lower_bound({ev, 0, nullptr});
      return it != ix->by_number.end() && it->number == ev ? it->rec : nullptr;
    }
    for (Record* r : records<Gen>(s))
      if (r->event_number == ev) return r;
    return nullptr;
  }

  // First in list order within the tolerance, not the nearest.
  static Record* find_by_time(EqEvstore& s, time_stamp ts) REQUIRES(cache_mutex(s)) {
    double key = time_key_ms(ts);
    double tolerance_ms = static_cast<double>(s.max_time_diff);
    // A tolerance that is not a plain distance (NaN, negative, huge) is scanned.
    if (tolerance_ms >= 0.0 && tolerance_ms < 1e12)
      if (Index* ix = index(s)) return within(*ix, key, tolerance_ms);
    for (Record* r : records<Gen>(s))
      if (std::fabs(key - time_key_ms(r->time)) <= tolerance_ms) return r;
    return nullptr;
  }

  // The indexed answers. Every set orders by (value, arrival), so the first element
  // of a run of equal values is the earliest record holding it.

  // A starting bound of the scan is never selected, hence the tests on the bound.
  static const Record* extreme_by_time(const Index& ix, bool skip_seen, bool first) {
    const auto& set = skip_seen ? ix.unseen_by_time : ix.by_time;
    if (set.empty()) return nullptr;
    if (first) {
      const auto& e = *set.begin();
      return e.up == 0xFFFFFFFFu && e.low == 0xFFFFFFFFu ? nullptr : e.rec;
    }
    auto top = std::prev(set.end());
    if (top->up == 0 && top->low == 0) return nullptr;
    auto below = top == set.begin() ? top : std::prev(top);
    if (below == top || below->up != top->up || below->low != top->low) return top->rec;
    return set.lower_bound({top->up, top->low, 0, nullptr})->rec;
  }

  static const Record* extreme_by_number(const Index& ix, bool skip_seen, bool first) {
    const auto& set = skip_seen ? ix.unseen_by_number : ix.by_number;
    if (set.empty()) return nullptr;
    if (first) {
      const auto& e = *set.begin();
      return e.number == std::numeric_limits<EventNumber>::max() ? nullptr : e.rec;
    }
    auto top = std::prev(set.end());
    if (top->number == 0) return nullptr;
    // Usually the greatest value is held once; only a tie needs the search.
    auto below = top == set.begin() ? top : std::prev(top);
    if (below == top || below->number != top->number) return top->rec;
    return set.lower_bound({top->number, 0, nullptr})->rec;
  }

  // The modular distance is smallest for the next number in circular order; when
  // even that one is not a positive signed distance, none is.
  static const Record* step_by_number(const Index& ix, EventNumber ev, Direction dir) {
    const auto& set = ix.by_number;
    if (set.empty()) return nullptr;
    auto it = set.begin();
    if (dir == Direction::next) {
      it = set.upper_bound({ev, Index::kMaxSeq, nullptr});
      if (it == set.end()) it = set.begin();
    } else {
      it = set.lower_bound({ev, 0, nullptr});
      if (it == set.begin()) it = set.end();
      --it;
    }
    EventNumber n = it->number;
    auto d =
        static_cast<Distance>(static_cast<EventNumber>(dir == Direction::next ? n - ev : ev - n));
    if (d <= 0) return nullptr;
    return set.lower_bound({n, 0, nullptr})->rec;
  }

  // The rounded distance grows with the key's distance, so the records at the
  // smallest one are a run of neighbouring keys; the earliest of the run wins.
  static const Record* step_by_key(const Index& ix, double key, float best, Direction dir) {
    const auto& set = ix.by_key;
    auto distance = [&](double rk) {
      return static_cast<float>(dir == Direction::next ? rk - key : key - rk);
    };
    auto group_after = [&](double rk) { return set.upper_bound({rk, Index::kMaxSeq, nullptr}); };
    const Record* pick = nullptr;
    typename Index::Seq earliest = Index::kMaxSeq;
    bool started = false;
    float shortest = 0.0f;
    auto consider = [&](const typename Index::ByKey& e) {
      float d = distance(e.key);
      if (!(d > 0.0f)) return true;  // not yet past the key: go on
      if (!started) {
        if (!(d < best)) return false;
        started = true;
        shortest = d;
      } else if (d != shortest) {
        return false;
      }
      if (e.seq < earliest) {
        earliest = e.seq;
        pick = e.rec;
      }
      return true;
    };
    if (dir == Direction::next) {
      for (auto it = group_after(key); it != set.end(); it = group_after(it->key))
        if (!consider(*it)) break;
    } else {
      for (auto it = set.lower_bound({key, 0, nullptr}); it != set.begin();) {
        it = set.lower_bound({std::prev(it)->key, 0, nullptr});
        if (!consider(*it)) break;
      }
    }
    return pick;
  }

  // The keys within the tolerance form one run (the distance falls, then rises);
  // the earliest record of the run wins.
  static Record* within(const Index& ix, double key, double tolerance_ms) {
    const auto& set = ix.by_key;
    auto near = [&](double rk) { return std::fabs(key - rk) <= tolerance_ms; };
    auto it = set.lower_bound({key - tolerance_ms, 0, nullptr});
    while (it != set.begin() && near(std::prev(it)->key))
      it = set.lower_bound({std::prev(it)->key, 0, nullptr});
    while (it != set.end() && !near(it->key) && it->key <= key)
      it = set.upper_bound({it->key, Index::kMaxSeq, nullptr});
    Record* pick = nullptr;
    typename Index::Seq earliest = Index::kMaxSeq;
    for (; it != set.end() && near(it->key);
         it = set.upper_bound({it->key, Index::kMaxSeq, nullptr})) {
      if (it->seq < earliest) {
        earliest = it->seq;
        pick = it->rec;
      }
    }
    return pick;
  }

  // Exact byte-wise match. Entry names end inside their field, so a name of 256 or
  // more characters matches nothing, and an entry whose field has no NUL right at
  // the name's length cannot match. Channel names of one device often share a long
  // prefix, so the last character is tested next. Both tests are cheap and matter:
  // the conversion looks up every channel of every event.
  static int entry_position(const Record* rec, const char* name) {
    if (rec == nullptr || name == nullptr || name[0] == '\0') return NAV_INVALID;
    std::size_t len = ::strnlen(name, EQ_EVSTORE_NAME_SIZE);
    if (len == EQ_EVSTORE_NAME_SIZE) return NAV_NONE;
    for (std::size_t i = 0; i < rec->entry.size(); ++i) {
      const char* candidate = rec->entry[i]->name;
      if (candidate[len] == '\0' && candidate[len - 1] == name[len - 1] &&
          std::memcmp(candidate, name, len) == 0)
        return static_cast<int>(i);
    }
    return NAV_NONE;
  }

  static eq_evstore_entry* channel(Record* rec, const char* name) {
    if (rec == nullptr || name == nullptr) return nullptr;
    int pos = entry_position(rec, name);
    return pos < 0 ? nullptr : rec->entry[pos];
  }
};

#endif
