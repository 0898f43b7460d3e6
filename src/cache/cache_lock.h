// The cache lock as clang's thread-safety analysis sees it. The mutex is the raw
// EqEvstore::mlock that the public layout fixes, so it cannot carry annotations
// itself: cache_mutex(s) names it as a capability, and the scope below is the one
// way code in this directory holds it. The rule it checks is written at the top of
// record_store.h.
#ifndef DAQ_CACHE_LOCK_H
#define DAQ_CACHE_LOCK_H

#include <pthread.h>

#include <vector>

#include "daq_mutex.h"
#include "eq_evstore.h"

class CAPABILITY("mutex") CacheMutex;

// Named in annotations only and never called, so it has no definition: a call
// fails to link.
CacheMutex& cache_mutex(const EqEvstore& s);

// Holds the cache lock for a scope. take: locks mlock here; false: the caller
// holds it already, as the operation's contract says, and the scope only tells
// the analysis so. The lock is not recursive: a scope that takes it is checked
// never to open where it is already held.
class SCOPED_CAPABILITY CacheLockScope {
 public:
  CacheLockScope(EqEvstore& s, bool take) ACQUIRE(cache_mutex(s)) : m_(take ? &s.mlock : nullptr) {
    if (m_ != nullptr) pthread_mutex_lock(m_);
  }
  ~CacheLockScope() RELEASE() {
    if (m_ != nullptr) pthread_mutex_unlock(m_);
  }
  CacheLockScope(const CacheLockScope&) = delete;
  CacheLockScope& operator=(const CacheLockScope&) = delete;

 private:
  pthread_mutex_t* m_;
};

// A generation's record list. Code in this directory reaches a list only here.
template <class Gen>
std::vector<typename Gen::Record*>& records(EqEvstore& s) REQUIRES(cache_mutex(s)) {
  return Gen::list(s);
}

#endif
