// The receiver thread: takes messages off the data link into the cache and
// regulates the server with control messages.
//
// Flow control: while receiving, a cache holding as many records as its depth
// makes the thread send a pause request and stop receiving; while paused it sends
// a hold every 50 ms (growing the depth by the cache's increment each time) until
// the cache holds fewer records than its depth, then at once a resume carrying the
// number of the last event it has, and receives again. In handshake mode every event is
// answered with a ready acknowledgment carrying the event's own header.
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
#include <cstdio>
#include <cstdint>

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
  explicit ReceiverPass(typename Gen::Task* task)
      : stop_(&task->stop),
        it_(task->it),
        cache_(task->cache),
        link_(task->dlink),
        handshake_(task->reply->request.comm_mode == ORXA_DAQ_COMM_HNDS) {}

  PassEnd run() {
    int cdepth = cache_->GetDepth();
    if (receiving_) {
      int ret = link_->ReceiveEvent(nullptr, -1, -1, -1);
      if (ret == TIDEWIRE_AGAIN_TIMEOUT || ret == TIDEWIRE_AGAIN_INTERRUPTED) {
        sleep_ms(10);
        return PassEnd::kContinue;
      }
      if (ret != 0) {
        it_->set_end_data_status(ret);
        return PassEnd::kFarewell;
      }
      PassEnd taken = take_message();
      if (taken != PassEnd::kContinue) return taken;
    }
    int recs = Gen::count(*cache_, true);
    if (recs == cdepth) return receiving_ ? request_pause() : hold(cdepth);
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
    if (ev != nullptr) {
      int status = 0;
      if (Gen::ends_stream(*ev, &status)) {
        it_->set_end_data_status(status);
        return PassEnd::kEnd;
      }
      // A refused event (full cache, bad data) does not stop the thread.
      cache_->lock();
      cache_->daq_data_to_cache(ev, nullptr, 0);
      cache_->unlock();
      msg_.take_event(*ev);
      if (handshake_) {
        daq_event_line("We have to send 'READY' flag");
        if (link_->IsLinkActive() && msg_.send(link_) == SendOutcome::kFatal)
          return PassEnd::kFarewell;
      }
      return PassEnd::kContinue;
    }
    orxa_daq_slow_data_header* sl = link_->get_slow_data_header();
    if (sl != nullptr) {
      cache_->lock();
      cache_->daq_data_to_cache(sl, 0);
      cache_->unlock();
      return PassEnd::kContinue;
    }
    daq_line("Unknown message from Tidewire ... ignoring");
    return PassEnd::kContinue;
  }

  PassEnd request_pause() {
    old_ = msg_.header.event_number;
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
    // Holds go out every 50 ms while the cache stays full, but the wait ends as
    // soon as the application has made room, so that the resume follows at once
    // instead of stalling the stream for the rest of the period.
    for (int waited = 0; waited < kHoldPeriodMs && stop_->load() == 0; ++waited) {
      sleep_ms(1);
      if (Gen::count(*cache_, true) != cache_->GetDepth()) break;
    }
    return PassEnd::kContinue;
  }

  PassEnd resume() {
    msg_.header.event_number = old_;
    if (!link_->IsLinkActive()) {
      // A dead link would keep a paused thread spinning for ever; receiving again
      // lets the link report the loss, which ends the thread with its code.
      receiving_ = true;
      return PassEnd::kContinue;
    }
    SendOutcome sent = msg_.send(link_);
    if (sent == SendOutcome::kSent) receiving_ = true;
    return sent == SendOutcome::kFatal ? PassEnd::kFarewell : PassEnd::kContinue;
  }

  static constexpr int kHoldPeriodMs = 50;

  const std::atomic<int>* stop_;
  typename Gen::Receiver* it_;
  DAQEqEvstore* cache_;
  Tidewire* link_;
  const bool handshake_;
  ControlMessage<Gen> msg_;
  bool receiving_ = true;
  typename Gen::EventNumber old_ = 0;  // what a resume carries
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
