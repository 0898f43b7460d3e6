// A POSIX mutex with clang thread-safety annotations, so that a clang build with
// -Wthread-safety checks which data each lock guards and which helpers expect it.
#ifndef DAQ_MUTEX_H
#define DAQ_MUTEX_H

#include <pthread.h>

#if defined(__clang__)
#define DAQ_TSA(x) __attribute__((x))
#else
#define DAQ_TSA(x)
#endif

#define CAPABILITY(x) DAQ_TSA(capability(x))
#define SCOPED_CAPABILITY DAQ_TSA(scoped_lockable)
#define GUARDED_BY(x) DAQ_TSA(guarded_by(x))
#define PT_GUARDED_BY(x) DAQ_TSA(pt_guarded_by(x))
#define REQUIRES(...) DAQ_TSA(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) DAQ_TSA(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) DAQ_TSA(acquire_capability(__VA_ARGS__))
#define RELEASE(...) DAQ_TSA(release_capability(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS DAQ_TSA(no_thread_safety_analysis)

class CAPABILITY("mutex") DaqMutex {
 public:
  DaqMutex() { pthread_mutex_init(&m_, nullptr); }
  ~DaqMutex() { pthread_mutex_destroy(&m_); }
  DaqMutex(const DaqMutex&) = delete;
  DaqMutex& operator=(const DaqMutex&) = delete;
  void lock() ACQUIRE() { pthread_mutex_lock(&m_); }
  void unlock() RELEASE() { pthread_mutex_unlock(&m_); }
  pthread_mutex_t* native() { return &m_; }

 private:
  pthread_mutex_t m_;
};

class SCOPED_CAPABILITY DaqLockGuard {
 public:
  explicit DaqLockGuard(DaqMutex& m) ACQUIRE(m) : m_(m) { m_.lock(); }
  ~DaqLockGuard() RELEASE() { m_.unlock(); }
  DaqLockGuard(const DaqLockGuard&) = delete;
  DaqLockGuard& operator=(const DaqLockGuard&) = delete;

 private:
  DaqMutex& m_;
};

#endif
