// The one body of both data receivers: set-up, start and stop, the receiver
// thread, and the monitor queries. EqDAQdata and EqDAQdata2024 forward every
// operation here; the generations differ only in the mapping (daq_generation.h)
// and both are instantiated at the end of this file.
//
// Lock rule. The receiver lock is the receiver's public mlock; this file reaches
// it only through State, whose accessors require it, so clang's
// -Wthread-safety reports a guarded field touched without it.
// - It guards the thread's publication: thr_id is set (with dtask) and cleared
//   under it, so start_receiver stores the handle before the thread can clear it.
//   thr_id is atomic and read without the lock; a read sees a thread that may end
//   at any moment. After a join no thread is left to race, so stop_receiver
//   forgets the joined thread without it.
// - init clears the cache and the reply under it, after the thread has stopped.
// - Lock order: the receiver lock before the cache lock. The thread never holds
//   both, and holds the receiver lock only in its last step (reset_thr_id);
//   nothing joins the thread while holding the receiver lock unless the thread has
//   already cleared thr_id (then it no longer needs that lock).
// - The cache lock (CacheHold) covers each query from its first test to the end
//   of delivery, and each conversion in the thread.
//
// Invariants:
// - thr_id is non-zero exactly while a started thread has not run its last step.
// - dtask is non-null from a successful start until the thread has been joined;
//   its `thread` keeps the handle to join after the thread has cleared thr_id, so
//   a thread that ended by itself is joined by the next stop_receiver, init,
//   start_receiver or the destructor and never leaked.
//
// Start and stop. Starting installs the empty SIGABRT handler before the thread
// exists, so a stop that races the start never meets the default action of
// SIGABRT (which would end the process); the thread installs it again as its
// first step. Stopping joins the thread also when it has already ended by itself
// (end of stream, receive failure), so no thread is ever leaked and the call then
// returns at once. A thread blocked in a receive sees its stop flag at the latest
// after the link's wake period (TIDEWIRE_WAKE_MS), even when SIGABRT arrived just
// before it blocked.
//
// The receiver thread takes messages off the data link into the cache and
// regulates the server with control messages.
// - Flow control: while receiving, a cache holding as many records as its depth
//   makes the thread send a pause request and stop receiving; while paused it
//   sends a hold every 50 ms (growing the depth by the cache's increment each
//   time) until the cache holds fewer records than its depth, then at once a
//   resume, and receives again. A resume carries the number of the last event
//   received, or 0 before the first event, so that it never reads as a hold (-1).
//   In handshake mode every event is answered with a ready acknowledgment
//   carrying the event's own header.
// - Nothing taken off the link is lost to a full cache: when a pause request
//   could not be sent and a message meets a full cache, the thread pauses and
//   holds right there, with the message in hand, until there is room or it is
//   asked to stop; only then is the message stored (and, in handshake mode,
//   acknowledged).
// - Idle bound: while receiving, the time since the last complete message (or
//   since receiving began or resumed) may not pass the receiver's idle bound; a
//   trickle that never completes a message is idle. Time paused does not count.
// - It tests its stop flag after every pass; a pass blocks at most for the link's
//   wake period, a hold's 50 ms, or until SIGABRT interrupts it.
// - It counts what it does into the receiver's counter block
//   (receiver_counter_block.h), looked up once when it starts: counting takes no
//   lock beyond the cache lock that each store holds anyway.
//
// Monitor queries. A record query holds the cache lock from its first test to the
// end of delivery (copies, seen mark or removal included), so the receiver thread
// can neither reuse nor evict the record while it is read. A query that removes
// the record hands out the record's own objects rather than copies
// (monitor_copy.h). Queries that find nothing or whose copy fails change nothing
// in the cache. thr_id and done are read once per query, so the bits of one
// result agree with each other.
#include "receiver_body.h"

#include <pthread.h>
#include <signal.h>
#include <sys/time.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "control_message.h"
#include "daq_diag.h"
#include "daq_mutex.h"
#include "daq_text.h"
#include "end_data_status.h"
#include "monitor_copy.h"
#include "receiver_counter_block.h"
#include "receiver_signals.h"
#include "tidewire.h"

namespace {

// The receiver's public mlock as a capability the analysis can follow.
class CAPABILITY("mutex") ReceiverLock {
 public:
  explicit ReceiverLock(pthread_mutex_t& m) : m_(m) {}
  void lock() ACQUIRE() { pthread_mutex_lock(&m_); }
  void unlock() RELEASE() { pthread_mutex_unlock(&m_); }

 private:
  pthread_mutex_t& m_;
};

class SCOPED_CAPABILITY ReceiverLockHold {
 public:
  explicit ReceiverLockHold(ReceiverLock& l) ACQUIRE(l) : l_(l) { l_.lock(); }
  ~ReceiverLockHold() RELEASE() { l_.unlock(); }
  ReceiverLockHold(const ReceiverLockHold&) = delete;
  ReceiverLockHold& operator=(const ReceiverLockHold&) = delete;

 private:
  ReceiverLock& l_;
};

// What a thread function returns when it was given no task block.
void* receiver_no_task_exit() { return reinterpret_cast<void*>(static_cast<intptr_t>(-1)); }

}  // namespace

// The fields of one receiver that its lock guards, each behind an accessor that
// requires the lock.
template <class Gen>
class DaqReceiverBody<Gen>::State {
 public:
  explicit State(Receiver& r) : lock(r.mlock), r_(r) {}
  ReceiverLock lock;

  Task* task() REQUIRES(lock) { return r_.dtask; }
  void publish(Task* task) REQUIRES(lock) {
    r_.dtask = task;
    r_.thr_id = task->thread;
  }
  void clear_thread_id() REQUIRES(lock) { r_.thr_id = 0; }
  void clear_contents() REQUIRES(lock) {
    r_.cache.CleanCache();
    clean_reply(&r_.reply);
  }

 private:
  Receiver& r_;
};

template <class Gen>
void DaqReceiverBody<Gen>::construct(Receiver& r, int dep, int inc) {
  pthread_mutex_init(&r.mlock, nullptr);
  clean_reply(&r.reply);
  if (set_cache_depth(r, dep)) r.depth = -1;
  r.cache.SetInc(inc);
  r.dlink = new Tidewire(false);
  r.done = false;
  create_receiver_counters(&r);
}

template <class Gen>
void DaqReceiverBody<Gen>::destroy(Receiver& r) {
  init(r);
  drop_receiver_counters(&r);
  delete r.dlink;
  r.dlink = nullptr;
  pthread_mutex_destroy(&r.mlock);
}

template <class Gen>
void DaqReceiverBody<Gen>::init(Receiver& r) {
  // The thread's last step takes mlock, so it is stopped before mlock is taken.
  stop_receiver(r);
  {
    State state(r);
    ReceiverLockHold hold(state.lock);
    state.clear_contents();
  }
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
  // The drop counts and the other counters describe one acquisition, which starts here.
  r.dropped_events = 0;
  r.cache.reset_dropped_counts();
  if (auto counters = find_receiver_counters(&r)) counters->reset();
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
  if (!launch(r)) return true;
  if (block) {
    while (r.thr_id.load() != 0) sleep_ms(10);
  }
  return false;
}

template <class Gen>
bool DaqReceiverBody<Gen>::launch(Receiver& r) {
  State state(r);
  ReceiverLockHold hold(state.lock);
  if (r.thr_id.load() != 0) {
    daq_line("Receiving thread is already running");
    return false;
  }
  // A thread that ended by itself has cleared thr_id under mlock and needs the
  // lock no more, so it can be joined here.
  if (state.task() != nullptr) stop_receiver(r);
  if (state.task() != nullptr) return false;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  void* block_memory = std::malloc(sizeof(Task));
  if (block_memory == nullptr) {
    pthread_attr_destroy(&attr);
    return false;
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
    return false;
  }
  task->thread = handle;
  state.publish(task);
  return true;
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
  State state(r);
  ReceiverLockHold hold(state.lock);
  state.clear_thread_id();
}

namespace {

enum class PassEnd { kContinue, kFarewell, kEnd };

template <class Gen>
class ReceiverPass {
 public:
  using Body = DaqReceiverBody<Gen>;

  explicit ReceiverPass(typename Gen::Task* task)
      : stop_(&task->stop),
        it_(task->it),
        cache_(task->cache),
        link_(task->dlink),
        handshake_(task->reply->request.comm_mode == ORXA_DAQ_COMM_HNDS),
        counters_(counters_of(task->it)),
        idle_since_(monotonic_ms()) {}

  PassEnd run() {
    if (receiving_) {
      int ret = link_->ReceiveEvent(nullptr, -1, -1, -1);
      if (ret == TIDEWIRE_AGAIN_TIMEOUT || ret == TIDEWIRE_AGAIN_INTERRUPTED) {
        if (idle_bound_passed()) {
          it_->set_end_data_status(TIDEWIRE_ERR_IDLE);
          return PassEnd::kFarewell;
        }
        sleep_ms(10);
        return PassEnd::kContinue;
      }
      if (ret != 0) {
        it_->set_end_data_status(ret);
        return PassEnd::kFarewell;
      }
      uint32_t length = 0;
      link_->get_message(&length);
      counters_->add_bytes(length);
      PassEnd taken = take_message();
      // A wait for room while taking it was no idleness either.
      idle_since_ = monotonic_ms();
      if (taken != PassEnd::kContinue) return taken;
      taken = take_buffered();
      if (taken != PassEnd::kContinue) return taken;
    }
    // Read after the receive: the depth may have grown (or been set) meanwhile.
    int depth = cache_->GetDepth();
    int recs = Gen::count(*cache_, true);
    if (recs >= depth) return receiving_ ? request_pause() : hold(depth);
    if (!receiving_) return resume();
    return PassEnd::kContinue;
  }

  // Tells the server that the thread ends on an error; a failure only prints.
  void say_farewell() {
    msg_.header.event_number = Gen::kFarewell;
    msg_.header.num_svr_block = 0;
    if (link_->IsLinkActive()) msg_.send(link_);
    sleep_ms(500);
  }

  // A pause still going when the thread ends ends with it.
  void finish() { count_pause_time(); }

 private:
  // The thread's block; one that could not be made counts into a block nobody reads.
  static std::shared_ptr<ReceiverCounterBlock> counters_of(const void* receiver) {
    static ReceiverCounterBlock unread;
    auto found = find_receiver_counters(receiver);
    return found != nullptr ? found : std::shared_ptr<ReceiverCounterBlock>(found, &unread);
  }

  PassEnd take_message() {
    typename Gen::Header* ev = Gen::event_header(link_);
    orxa_daq_slow_data_header* sl = ev == nullptr ? link_->get_slow_data_header() : nullptr;
    if (ev == nullptr && sl == nullptr) {
      daq_line("Unknown message from Tidewire ... ignoring");
      Body::count_dropped_event(*it_);
      return PassEnd::kContinue;
    }
    if (ev != nullptr) {
      int status = 0;
      if (Gen::ends_stream(*ev, &status)) {
        it_->set_end_data_status(status);
        return PassEnd::kEnd;
      }
      counters_->event(ev->event_number, ev->event_time.timeup, ev->event_time.timelow);
    }
    bool room = false;
    PassEnd waited = await_room(&room);
    // Asked to stop with the message in hand: it is neither stored nor acknowledged.
    if (waited != PassEnd::kContinue || !room) return waited;
    if (sl != nullptr) {
      auto convert = [this, sl] { return cache_->daq_data_to_cache(sl, 0); };
      // The block's pattern picks the list it goes to.
      if (sl->pattern == Gen2024::kSlowPattern) {
        store<Gen2024>(convert);
      } else {
        store<LegacyGen>(convert);
      }
      return PassEnd::kContinue;
    }
    cache_->lock();
    store_event(ev);
    cache_->unlock();
    if (handshake_) {
      daq_event_line("We have to send 'READY' flag");
      if (link_->IsLinkActive() && msg_.send(link_) == SendOutcome::kFatal)
        return PassEnd::kFarewell;
    }
    return PassEnd::kContinue;
  }

  // Converts under the cache lock and counts what the store did. A list over its
  // depth (the depth was lowered) pushes out its earliest record for the new one;
  // a list at its depth refuses the message, which the cache counts as dropped.
  template <class ListGen, class Convert>
  void store(Convert convert) {
    cache_->lock();
    store_locked<ListGen>(convert);
    cache_->unlock();
  }

  // held: the records the list holds now when the caller has just counted them, else -1.
  template <class ListGen, class Convert>
  void store_locked(Convert convert, int held = -1) {
    if (held < 0) held = ListGen::count(*cache_, false);
    bool over = held >= cache_->GetDepth();
    bool stored = convert() == 0;
    counters_->stored(over && stored, static_cast<uint64_t>(ListGen::count(*cache_, false)));
  }

  // With the cache lock held. An event the conversion refuses (bad data) does not
  // stop the thread; the cache counts it.
  void store_event(typename Gen::Header* ev, int held = -1) {
    store_locked<Gen>([this, ev] { return cache_->daq_data_to_cache(ev, nullptr, 0); }, held);
    msg_.take_event(*ev);
    last_event_ = ev->event_number;
  }

  // Events that one receive brought in together are converted under one cache
  // lock, without a system call each. Every one is still a pass of its own as flow
  // control sees it: the batch ends at a full cache (the pass's end then asks for
  // a pause), at a message that is not a plain event (taken the usual way), and
  // when the thread is asked to stop. Only frames already received are taken, so
  // the lock is never held across a wait. Handshake mode answers each event before
  // the next can come, so it has no batch.
  PassEnd take_buffered() {
    if (handshake_ || !receiving_) return PassEnd::kContinue;
    bool locked = false;
    PassEnd end = PassEnd::kContinue;
    while (stop_->load() == 0 && link_->HasBufferedMessage()) {
      if (!locked) cache_->lock();
      locked = true;
      int held = Gen::count(*cache_, false);
      if (held >= cache_->GetDepth()) break;
      // A failure is sticky: the next pass's receive gives it again and ends the thread.
      if (link_->ReceiveEvent(nullptr, 0, -1, -1) != 0) break;
      uint32_t length = 0;
      link_->get_message(&length);
      counters_->add_bytes(length);
      typename Gen::Header* ev = Gen::event_header(link_);
      int status = 0;
      if (ev == nullptr || Gen::ends_stream(*ev, &status)) {
        cache_->unlock();
        locked = false;
        end = take_message();
        break;
      }
      counters_->event(ev->event_number, ev->event_time.timeup, ev->event_time.timelow);
      store_event(ev, held);
    }
    if (locked) cache_->unlock();
    idle_since_ = monotonic_ms();
    return end;
  }

  // Waits, paused and holding, until the cache has room for one more record or the
  // thread is asked to stop (*room false). Returns at once when there is room.
  PassEnd await_room(bool* room) {
    for (;;) {
      int depth = cache_->GetDepth();
      if (Gen::count(*cache_, true) < depth) {
        *room = true;
        return PassEnd::kContinue;
      }
      if (stop_->load() != 0) {
        *room = false;
        return PassEnd::kContinue;
      }
      // Without a link to ask, the thread holds as if paused, so the depth still
      // grows by the increment while the cache stays full.
      bool ask = receiving_ && link_->IsLinkActive();
      PassEnd end = ask ? request_pause() : hold(depth);
      if (end != PassEnd::kContinue) return end;
      if (ask && receiving_) wait_for_room(kHoldPeriodMs);  // not sent: try again shortly
    }
  }

  PassEnd request_pause() {
    msg_.header.event_number = Gen::kPause;
    msg_.header.tmask = 0;
    msg_.header.status = 0;
    msg_.header.num_svr_block = 0;
    if (!link_->IsLinkActive()) return PassEnd::kContinue;
    SendOutcome sent = msg_.send(link_);
    if (sent == SendOutcome::kSent) {
      receiving_ = false;
      pause_mark_us_ = counter_clock_us();
      counters_->pause_request_sent();
    }
    return sent == SendOutcome::kFatal ? PassEnd::kFarewell : PassEnd::kContinue;
  }

  PassEnd hold(int cdepth) {
    timeval now{};
    gettimeofday(&now, nullptr);
    count_pause_time();
    msg_.header.event_number = Gen::kPause;
    // Saturating, so a long hold with a large increment cannot overflow the depth.
    int64_t grown = static_cast<int64_t>(cdepth) + cache_->GetInc();
    cache_->SetDepth(grown > INT_MAX ? INT_MAX : static_cast<int>(grown));
    msg_.header.event_time.timeup = static_cast<uint32_t>(now.tv_sec);
    msg_.header.event_time.timelow = static_cast<uint32_t>(now.tv_usec);
    if (link_->IsLinkActive()) {
      SendOutcome sent = msg_.send(link_);
      if (sent == SendOutcome::kFatal) return PassEnd::kFarewell;
      if (sent == SendOutcome::kSent) counters_->hold_sent();
    }
    wait_for_room(kHoldPeriodMs);
    return PassEnd::kContinue;
  }

  // Holds go out every 50 ms while the cache stays full, but the wait ends as soon
  // as the application has made room, so that the resume follows at once instead
  // of stalling the stream for the rest of the period. The room is looked at far
  // more often than once a millisecond: with a shallow cache every pause would
  // otherwise stall a stream of small events for a whole millisecond.
  void wait_for_room(int ms) {
    long long end = counter_clock_us() + static_cast<long long>(ms) * 1000;
    while (stop_->load() == 0) {
      sleep_us(kRoomLookUs);
      if (Gen::count(*cache_, true) < cache_->GetDepth()) break;
      if (counter_clock_us() >= end) break;
    }
  }

  PassEnd resume() {
    msg_.header.event_number = last_event_;
    if (!link_->IsLinkActive()) {
      // A dead link would keep a paused thread spinning for ever; receiving again
      // lets the link report the loss, which ends the thread with its code.
      start_receiving();
      return PassEnd::kContinue;
    }
    SendOutcome sent = msg_.send(link_);
    if (sent == SendOutcome::kSent) {
      counters_->resume_sent();
      start_receiving();
    }
    return sent == SendOutcome::kFatal ? PassEnd::kFarewell : PassEnd::kContinue;
  }

  // Adds the time paused since the last mark, so the count grows while a pause lasts.
  void count_pause_time() {
    if (receiving_) return;
    long long now = counter_clock_us();
    if (now > pause_mark_us_) counters_->add_paused_us(static_cast<uint64_t>(now - pause_mark_us_));
    pause_mark_us_ = now;
  }

  void start_receiving() {
    count_pause_time();
    receiving_ = true;
    idle_since_ = monotonic_ms();
  }

  bool idle_bound_passed() const {
    int bound = Body::idle_timeout(*it_);
    return bound > 0 && monotonic_ms() - idle_since_ >= bound;
  }

  static constexpr int kHoldPeriodMs = 50;
  static constexpr long kRoomLookUs = 50;

  const std::atomic<int>* stop_;
  typename Gen::Receiver* it_;
  DAQEqEvstore* cache_;
  Tidewire* link_;
  const bool handshake_;
  const std::shared_ptr<ReceiverCounterBlock> counters_;
  ControlMessage<Gen> msg_;
  bool receiving_ = true;
  long long pause_mark_us_ = 0;  // while paused: up to here its time is counted
  // What a resume carries: the last event received, 0 before the first.
  typename Gen::EventNumber last_event_ = 0;
  long long idle_since_;
};

}  // namespace

template <class Gen>
void* DaqReceiverBody<Gen>::thread_main(void* prm) {
  if (prm == nullptr) return receiver_no_task_exit();
  Task* task = static_cast<Task*>(prm);
  set_receiver_signal_mask();
  install_abort_handler(Gen::kSignalHandler);
  ReceiverPass<Gen> pass(task);
  PassEnd end = PassEnd::kEnd;
  while (task->stop == 0) {
    end = pass.run();
    if (end != PassEnd::kContinue) break;
  }
  if (end == PassEnd::kFarewell) pass.say_farewell();
  pass.finish();
  std::fflush(stdout);  // the stream's buffered lines are out once its thread has ended
  task->dlink->Disconnect();
  task->it->set_done(true);
  task->it->reset_thr_id();
  return nullptr;
}

namespace {

// Holds the cache lock for one query: released where the query is done with the
// cache, and on every other way out of it.
class CacheHold {
 public:
  explicit CacheHold(EqEvstore& cache) : cache_(&cache) { cache.lock(); }
  ~CacheHold() { release(); }
  CacheHold(const CacheHold&) = delete;
  CacheHold& operator=(const CacheHold&) = delete;
  void release() {
    if (cache_ == nullptr) return;
    cache_->unlock();
    cache_ = nullptr;
  }

 private:
  EqEvstore* cache_;
};

}  // namespace

template <class Gen>
int DaqReceiverBody<Gen>::thread_bits(Receiver& r) {
  return (r.thr_id.load() == 0 ? DAQ_MON_NO_THREAD : 0) + (r.done.load() ? DAQ_MON_DONE : 0);
}

template <class Gen>
int DaqReceiverBody<Gen>::status_query(Receiver& r, int* ent) {
  CacheHold hold(r.cache);
  int records = Gen::count(r.cache, false);
  bool empty = Gen::is_empty(r.cache);
  bool full = Gen::is_full(r.cache);
  hold.release();
  int result = empty ? DAQ_MON_EMPTY : full ? DAQ_MON_DATA + DAQ_MON_FULL : DAQ_MON_DATA;
  if (ent != nullptr) *ent = empty ? 0 : records;
  return result + thread_bits(r);
}

template <class Gen>
bool DaqReceiverBody<Gen>::time_bound(Receiver& r, time_stamp* tm, int how) {
  if (tm == nullptr) return true;
  CacheHold hold(r.cache);
  return how == 0 ? r.cache.get_first_time(tm) : r.cache.get_last_time(tm);
}

template <class Gen>
bool DaqReceiverBody<Gen>::number_bound(Receiver& r, BoundNumber* ev_num, int how) {
  if (ev_num == nullptr) return true;
  CacheHold hold(r.cache);
  return how == 0 ? Gen::first_number(r.cache, ev_num) : Gen::last_number(r.cache, ev_num);
}

// Modes that need a time when no event number is given find nothing without one.
template <class Gen>
typename Gen::Record* DaqReceiverBody<Gen>::locate(Receiver& r, QueryNumber evnum, time_stamp* tm,
                                                   int how) {
  EqEvstore& c = r.cache;
  if (how & DAQ_GET_FIRST) return Gen::first(c, how);
  if (how & DAQ_GET_LAST) return Gen::last(c, how);
  if (how & DAQ_GET_THIS)
    return evnum != 0 ? Gen::find(c, evnum) : tm ? Gen::find(c, *tm) : nullptr;
  if (how & DAQ_GET_NEXT)
    return evnum != 0 ? Gen::next(c, evnum) : tm ? Gen::next(c, *tm) : nullptr;
  if (how & DAQ_GET_PREV)
    return evnum != 0 ? Gen::prev(c, evnum) : tm ? Gen::prev(c, *tm) : nullptr;
  if (evnum != 0) return Gen::find(c, evnum);
  if (tm != nullptr) return Gen::find(c, *tm);
  return Gen::first(c, EQCACHE_FIND_TIME);
}

template <class Gen>
int DaqReceiverBody<Gen>::record_query(Receiver& r, QueryNumber evnum, time_stamp* tm, Result** out,
                                       char* chan, int how, int rem, Record** rc) {
  return query(r, evnum, tm, out, chan, how, rem, rc, nullptr);
}

template <class Gen>
int DaqReceiverBody<Gen>::take_first(Receiver& r, Result** out, RecordHead* head) {
  return query(r, 0, nullptr, out, nullptr, DAQ_GET_FIRST + EQCACHE_FIND_TIME, DAQ_GET_REMOVE,
               nullptr, head);
}

template <class Gen>
int DaqReceiverBody<Gen>::record_query_with_head(Receiver& r, QueryNumber evnum, time_stamp* tm,
                                                 Result** out, char* chan, int how, int rem,
                                                 RecordHead* head) {
  return query(r, evnum, tm, out, chan, how, rem, nullptr, head);
}

template <class Gen>
int DaqReceiverBody<Gen>::query(Receiver& r, QueryNumber evnum, time_stamp* tm, Result** out,
                                char* chan, int how, int rem, Record** rc, RecordHead* head) {
  bool by_channel = chan != nullptr && chan[0] != '\0';
  int bits = thread_bits(r);
  bool no_thread = (bits & DAQ_MON_NO_THREAD) != 0;
  CacheHold hold(r.cache);
  if (Gen::is_empty(r.cache)) {
    hold.release();
    return no_thread ? DAQ_MON_NO_MORE + bits : DAQ_MON_EMPTY + bits;
  }
  Record* record = locate(r, evnum, tm, how);
  eq_evstore_entry* wanted = nullptr;
  if (record != nullptr && by_channel) wanted = Gen::channel(r.cache, record, chan);
  if (record == nullptr || (by_channel && wanted == nullptr)) {
    hold.release();
    if (no_thread && (how & EQCACHE_FIND_NOTSEEN)) return DAQ_MON_NO_MORE + bits;
    return DAQ_MON_NOT_FOUND + bits;
  }
  if (head != nullptr) {
    // Before the take, which empties the entries; only entries that deliver a
    // value get a name, so the names line up with the values.
    head->event = record->event_number;
    head->seconds = record->time.timeup;
    head->micros = record->time.timelow;
    head->names.clear();
    auto add_name = [head](const eq_evstore_entry* e) {
      if (e == nullptr || e->data == nullptr) return;
      if (e->data->data == nullptr && e->data->slblock == nullptr) return;
      head->names.emplace_back(e->name, strnlen(e->name, sizeof e->name));
    };
    if (by_channel) {
      add_name(wanted);
    } else {
      for (const eq_evstore_entry* e : record->entry) add_name(e);
    }
  }
  Result* result = new (std::nothrow) Result();
  bool failed = result == nullptr;
  // A removed record gives its objects away instead of copies of them.
  bool removing = (rem & DAQ_GET_REMOVE) != 0;
  if (!failed && removing) {
    failed = by_channel ? take_entries(&wanted, 1, result)
                        : take_entries(record->entry.data(), record->entry.size(), result);
  } else if (!failed && by_channel) {
    failed = append_entry_copy(wanted, result);
  } else if (!failed) {
    for (eq_evstore_entry* entry : record->entry) {
      if ((failed = append_entry_copy(entry, result))) break;
    }
  }
  if (failed) {
    hold.release();
    daq_line("+++++++++++++++++++++++++++++++++++++++++++++++++++++++++++++++ bad res");
    release_result(result);
    daq_line("+++++++++++++++++++++++++++++++++++++++++++++++++++++++++++++++ delete res");
    return DAQ_MON_BAD_RESULT + bits;
  }
  if (out != nullptr) {
    *out = result;
  } else {
    release_result(result);
  }
  if (rc != nullptr) *rc = record;
  if (removing) {
    Gen::remove(r.cache, record);
  } else {
    Gen::set_seen(r.cache, record);
  }
  hold.release();
  return DAQ_MON_DATA + bits;
}

template <class Gen>
int DaqReceiverBody<Gen>::options_query(Receiver& r, Result** out, Options* op, Record** rc) {
  if (op == nullptr) {
    return record_query(r, 0, nullptr, out, nullptr, DAQ_GET_FIRST + EQCACHE_FIND_TIME,
                        DAQ_GET_REMOVE, rc);
  }
  // The caller's name may fill the field without a NUL; a name of that length
  // matches no entry (entry names are shorter), so it is searched as it stands.
  char name[sizeof op->chan + 1];
  std::memcpy(name, op->chan, sizeof op->chan);
  name[sizeof op->chan] = '\0';
  return record_query(r, op->evnum, &op->time, out, name[0] != '\0' ? name : nullptr, op->access,
                      op->access, rc);
}

int daq_record_query_with_head(EqDAQdata& r, int evnum, time_stamp* tm,
                               std::vector<EqData_dtype*>** out, char* chan, int how, int rem,
                               DaqRecordHead* head) {
  return DaqReceiverBody<LegacyGen>::record_query_with_head(r, evnum, tm, out, chan, how, rem,
                                                            head);
}

int daq_record_query_with_head(EqDAQdata2024& r, uint64_t evnum, time_stamp* tm,
                               std::vector<EqData_dtype*>** out, char* chan, int how, int rem,
                               DaqRecordHead* head) {
  return DaqReceiverBody<Gen2024>::record_query_with_head(r, evnum, tm, out, chan, how, rem, head);
}

template struct DaqReceiverBody<LegacyGen>;
template struct DaqReceiverBody<Gen2024>;
