// Holds the cache lock for a scope when the operation's `how` argument asks for it;
// the caller holds it otherwise. The cache lock is not recursive, so a holder must
// never reach a path that locks again.
#ifndef DAQ_CACHE_LOCK_H
#define DAQ_CACHE_LOCK_H

#include <pthread.h>

class OptionalCacheLock {
 public:
  OptionalCacheLock(pthread_mutex_t* m, bool take) : m_(take ? m : nullptr) {
    if (m_ != nullptr) pthread_mutex_lock(m_);
  }
  ~OptionalCacheLock() {
    if (m_ != nullptr) pthread_mutex_unlock(m_);
  }
  OptionalCacheLock(const OptionalCacheLock&) = delete;
  OptionalCacheLock& operator=(const OptionalCacheLock&) = delete;

 private:
  pthread_mutex_t* m_;
};

#endif
