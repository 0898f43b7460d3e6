// Set-up, start and stop of a data receiver, for both generations.
//
// Starting installs the empty SIGABRT handler before the thread exists, so a stop
// that races the start never meets the default action of SIGABRT (which would end
// the process); the thread installs it again as its first step.
// Stopping joins the thread also when it has already ended by itself (end of
// stream, receive failure), so no thread is ever leaked and the call then returns
// at once. A thread blocked in a receive sees its stop flag at the latest after
// the link's wake period (TIDEWIRE_WAKE_MS), even when SIGABRT arrived just before
// it blocked.
#ifndef DAQ_RECEIVER_LIFECYCLE_H
#define DAQ_RECEIVER_LIFECYCLE_H

#include <pthread.h>
#include <signal.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <new>

#include "daq_diag.h"
#include "daq_text.h"
#include "end_data_status.h"
#include "receiver_body.h"
#include "receiver_signals.h"
#include "tidewire.h"

// What a thread function returns when it was given no task block.
inline void* receiver_no_task_exit() { return reinterpret_cast<void*>(static_cast<intptr_t>(-1)); }

template <class Gen>
void DaqReceiverBody<Gen>::construct(Receiver& r, int dep, int inc) {
  pthread_mutex_init(&r.mlock, nullptr);
  clean_reply(&r.reply);
  if (set_cache_depth(r, dep)) r.depth = -1;
  r.cache.SetInc(inc);
  r.dlink = new Tidewire(false);
  r.done = false;
}

template <class Gen>
void DaqReceiverBody<Gen>::destroy(Receiver& r) {
  init(r);
  delete r.dlink;
  r.dlink = nullptr;
  pthread_mutex_destroy(&r.mlock);
}

template <class Gen>
void DaqReceiverBody<Gen>::init(Receiver& r) {
  // The thread's last step takes mlock, so it is stopped before mlock is taken.
  stop_receiver(r);
  pthread_mutex_lock(&r.mlock);
  r.cache.CleanCache();
  clean_reply(&r.reply);
  pthread_mutex_unlock(&r.mlock);
  Gen::after_init();
}

template <class Gen>
bool DaqReceiverBody<Gen>::set_cache_depth(Receiver& r, int dep) {
  if (r.cache.SetDepth(dep)) return true;
  r.depth = dep;
  return false;
}

template <class Gen>
bool DaqReceiverBody<Gen>::set_reply(Receiver& r, daq_server_reply* rep) {
  // The drop counts describe one acquisition, which starts here.
  r.dropped_events = 0;
  r.cache.reset_dropped_counts();
  bool failed = copy_reply(&r.reply, rep);
  if (r.depth > 0) return failed;
  // 5.05 records per second of the served period, the float step kept as the
  // stream's peers compute it. The span is taken in 64 bits and the result
  // clamped, so a hostile reply cannot overflow either.
  int64_t span = static_cast<int64_t>(r.reply.stat.t_stop_sec) - r.reply.stat.t_start_sec;
  float scaled = static_cast<float>(span) * 5.0f;
  double records = static_cast<double>(scaled) * 1.01;
  int tt = records >= static_cast<double>(INT_MAX) ? INT_MAX
           : records <= 0.0                        ? 0
                                                   : static_cast<int>(records);
  if (tt > 0 && set_cache_depth(r, tt)) failed = true;
  return failed;
}

template <class Gen>
bool DaqReceiverBody<Gen>::set_idle_timeout(Receiver& r, int milliseconds) {
  if (milliseconds < 0) return true;
  r.idle_timeout_ms = milliseconds;
  return false;
}

// The conversion counts what it refuses in the cache; the receiver adds what it
// drops before converting (messages of an unknown kind).
template <class Gen>
uint64_t DaqReceiverBody<Gen>::dropped_events(Receiver& r) {
  return r.dropped_events.load() + r.cache.get_dropped_events();
}

template <class Gen>
uint64_t DaqReceiverBody<Gen>::dropped_sub_blocks(Receiver& r) {
  return r.cache.get_dropped_sub_blocks();
}

template <class Gen>
const char* DaqReceiverBody<Gen>::link_failure_text(Receiver& r) {
  int status = r.end_data_status;
  return status > 0 ? Tidewire::ResultText(status) : end_data_status_text(status);
}

template <class Gen>
bool DaqReceiverBody<Gen>::connect(Receiver& r) {
  if (r.reply.port == 0 || r.reply.host[0] == '\0') return true;
  if (field_length(r.reply.host) >= sizeof r.reply.host) return true;  // unterminated
  // Connecting replaces the link's socket under a running thread's receive.
  if (r.thr_id.load() != 0) {
    daq_line("Receiving thread is already running");
    return true;
  }
  r.dlink->SetNoDelay();
  int ret = r.dlink->Connect(r.reply.host, r.reply.port);
  if (ret == 0) r.must_swap = r.dlink->get_swap();
  return ret != 0;
}

template <class Gen>
bool DaqReceiverBody<Gen>::start_receiver(Receiver& r, bool block) {
  pthread_mutex_lock(&r.mlock);
  if (r.thr_id.load() != 0) {
    daq_line("Receiving thread is already running");
    pthread_mutex_unlock(&r.mlock);
    return true;
  }
  // A thread that ended by itself has cleared thr_id under mlock and needs the
  // lock no more, so it can be joined here.
  if (r.dtask != nullptr) stop_receiver(r);
  if (r.dtask != nullptr) {
    pthread_mutex_unlock(&r.mlock);
    return true;
  }
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  void* block_memory = std::malloc(sizeof(Task));
  if (block_memory == nullptr) {
    pthread_attr_destroy(&attr);
    pthread_mutex_unlock(&r.mlock);
    return true;
  }
  Task* task = new (block_memory) Task();
  task->it = &r;
  task->cache = &r.cache;
  task->dlink = r.dlink;
  task->reply = &r.reply;
  task->stop = 0;
  install_abort_handler(Gen::kSignalHandler);
  pthread_t handle;
  int created = pthread_create(&handle, &attr, &Gen::thread_entry, task);
  pthread_attr_destroy(&attr);
  if (created != 0) {
    Gen::report_start_failure();
    task->~Task();
    std::free(task);
    r.dtask = nullptr;
    pthread_mutex_unlock(&r.mlock);
    return true;
  }
  task->thread = handle;
  r.dtask = task;
  r.thr_id = handle;
  pthread_mutex_unlock(&r.mlock);
  if (block) {
    while (r.thr_id.load() != 0) sleep_ms(10);
  }
  return false;
}

template <class Gen>
void DaqReceiverBody<Gen>::stop_receiver(Receiver& r) {
  // One read of the handle: the thread may clear thr_id at any moment.
  pthread_t t = r.thr_id.load();
  Task* task = r.dtask;
  if (task == nullptr) return;
  if (t != 0) {
    task->stop = 1;
    pthread_kill(t, SIGABRT);
  }
  void* exit_value = nullptr;
  if (pthread_join(task->thread, &exit_value) != 0) {
    daq_print("Failed to join thread: %d\n", static_cast<int>(task->thread));
    return;
  }
  r.thr_id = 0;
  release_task(r);
  if (exit_value != nullptr && exit_value != receiver_no_task_exit())
    Gen::report_exit_status(*static_cast<int*>(exit_value));
}

template <class Gen>
void DaqReceiverBody<Gen>::release_task(Receiver& r) {
  r.dtask->~Task();
  std::free(r.dtask);
  r.dtask = nullptr;
}

template <class Gen>
void DaqReceiverBody<Gen>::reset_thr_id(Receiver& r) {
  pthread_mutex_lock(&r.mlock);
  r.thr_id = 0;
  pthread_mutex_unlock(&r.mlock);
}

#endif
