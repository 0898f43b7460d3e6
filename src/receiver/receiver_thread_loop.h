// The receiver thread: takes messages off the data link into the cache and
// regulates the server with control messages.
//
// Flow control: while receiving, a cache holding as many records as its depth
// makes the thread send a pause request and stop receiving; while paused it sends
// a hold every 50 ms (growing the depth by the cache's increment each time) until
// the cache holds fewer records than its depth, then at once a resume, and
// receives again. A resume carries the number of the last event received, or 0
// before the first event, so that it never reads as a hold (-1). In handshake
// mode every event is answered with a ready acknowledgment carrying the event's
// own header.
//
// Nothing taken off the link is lost to a full cache: when a pause request could
// not be sent and a message meets a full cache, the thread pauses and holds right
// there, with the message in hand, until there is room or it is asked to stop;
// only then is the message stored (and, in handshake mode, acknowledged).
//
// Idle bound: while receiving, the time since the last complete message (or
// since receiving began or resumed) may not pass the receiver's idle bound; a
// trickle that never completes a message is idle. Time paused does not count.
//
// The thread holds the cache lock only around each conversion and never holds the
// receiver lock except in its last step (reset_thr_id). It tests its stop flag
// after every pass; a pass blocks at most for the link's wake period, a hold's
// 50 ms, or until SIGABRT interrupts it.
#ifndef DAQ_RECEIVER_THREAD_LOOP_H
#define DAQ_RECEIVER_THREAD_LOOP_H

#include <sys/time.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdio>

#include "control_message.h"
#include "daq_diag.h"
#include "receiver_body.h"
#include "receiver_lifecycle.h"
#include "receiver_signals.h"
#include "tidewire.h"

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
      PassEnd taken = take_message();
      // A wait for room while taking it was no idleness either.
      idle_since_ = monotonic_ms();
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

 private:
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
    }
    bool room = false;
    PassEnd waited = await_room(&room);
    // Asked to stop with the message in hand: it is neither stored nor acknowledged.
    if (waited != PassEnd::kContinue || !room) return waited;
    if (sl != nullptr) {
      cache_->lock();
      cache_->daq_data_to_cache(sl, 0);
      cache_->unlock();
      return PassEnd::kContinue;
    }
    // An event the conversion refuses (bad data) does not stop the thread; the
    // cache counts it.
    cache_->lock();
    cache_->daq_data_to_cache(ev, nullptr, 0);
    cache_->unlock();
    msg_.take_event(*ev);
    last_event_ = ev->event_number;
    if (handshake_) {
      daq_event_line("We have to send 'READY' flag");
      if (link_->IsLinkActive() && msg_.send(link_) == SendOutcome::kFatal)
        return PassEnd::kFarewell;
    }
    return PassEnd::kContinue;
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
    if (sent == SendOutcome::kSent) receiving_ = false;
    return sent == SendOutcome::kFatal ? PassEnd::kFarewell : PassEnd::kContinue;
  }

  PassEnd hold(int cdepth) {
    timeval now{};
    gettimeofday(&now, nullptr);
    msg_.header.event_number = Gen::kPause;
    // Saturating, so a long hold with a large increment cannot overflow the depth.
    int64_t grown = static_cast<int64_t>(cdepth) + cache_->GetInc();
    cache_->SetDepth(grown > INT_MAX ? INT_MAX : static_cast<int>(grown));
    msg_.header.event_time.timeup = static_cast<uint32_t>(now.tv_sec);
    msg_.header.event_time.timelow = static_cast<uint32_t>(now.tv_usec);
    if (link_->IsLinkActive() && msg_.send(link_) == SendOutcome::kFatal) return PassEnd::kFarewell;
    wait_for_room(kHoldPeriodMs);
    return PassEnd::kContinue;
  }

  // Holds go out every 50 ms while the cache stays full, but the wait ends as soon
  // as the application has made room, so that the resume follows at once instead
  // of stalling the stream for the rest of the period.
  void wait_for_room(int ms) {
    for (int waited = 0; waited < ms && stop_->load() == 0; ++waited) {
      sleep_ms(1);
      if (Gen::count(*cache_, true) < cache_->GetDepth()) break;
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
    if (sent == SendOutcome::kSent) start_receiving();
    return sent == SendOutcome::kFatal ? PassEnd::kFarewell : PassEnd::kContinue;
  }

  void start_receiving() {
    receiving_ = true;
    idle_since_ = monotonic_ms();
  }

  bool idle_bound_passed() const {
    int bound = Body::idle_timeout(*it_);
    return bound > 0 && monotonic_ms() - idle_since_ >= bound;
  }

  static constexpr int kHoldPeriodMs = 50;

  const std::atomic<int>* stop_;
  typename Gen::Receiver* it_;
  DAQEqEvstore* cache_;
  Tidewire* link_;
  const bool handshake_;
  ControlMessage<Gen> msg_;
  bool receiving_ = true;
  // What a resume carries: the last event received, 0 before the first.
  typename Gen::EventNumber last_event_ = 0;
  long long idle_since_;
};

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
  std::fflush(stdout);  // the stream's buffered lines are out once its thread has ended
  task->dlink->Disconnect();
  task->it->set_done(true);
  task->it->reset_thr_id();
  return nullptr;
}

#endif
