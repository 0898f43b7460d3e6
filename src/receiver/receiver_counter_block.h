// The counters of one receiver, kept beside it in a process-wide table keyed by
// the receiver's address, since the receiver's own layout is fixed.
//
// One writer: the receiver thread, which looks its block up once when it starts
// and keeps it for its life, so counting costs relaxed atomic stores only. Any
// thread reads. set_reply resets the block for a new acquisition, which begins
// after the last one's thread has ended; a reset racing a running thread is free
// of data races but may leave some counts of the old stream. The block outlives
// the receiver for a thread still holding it.
#ifndef DAQ_RECEIVER_COUNTER_BLOCK_H
#define DAQ_RECEIVER_COUNTER_BLOCK_H

#include <atomic>
#include <cstdint>
#include <memory>

#include "daq_receiver_counters.h"

class ReceiverCounterBlock {
 public:
  // For the receiver thread, the only writer.
  void add_bytes(uint64_t n) { bump(bytes_, n); }
  void event(uint64_t number, uint32_t seconds, uint32_t micros);
  void stored(bool evicted, uint64_t records_held);
  void pause_request_sent() { bump(pause_requests_, 1); }
  void hold_sent() { bump(holds_, 1); }
  void resume_sent() { bump(resumes_, 1); }
  // The thread adds a pause's time as it goes, at each hold and at its end, so
  // the count only grows and a long pause shows while it lasts.
  void add_paused_us(uint64_t us) { bump(paused_us_, us); }

  void reset();
  // The counts now; the drop counts are the receiver's and are left to the caller.
  DaqReceiverCounters read() const;

 private:
  // The last event's number and time change together under a sequence count
  // (odd while they change), so a reader never pairs one event's number with
  // another's time.
  void set_last(uint64_t number, uint64_t time);
  // A single writer needs no read-modify-write.
  static void bump(std::atomic<uint64_t>& c, uint64_t n) {
    c.store(c.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
  }

  std::atomic<uint64_t> events_{0};
  std::atomic<uint64_t> bytes_{0};
  std::atomic<uint64_t> evicted_{0};
  std::atomic<uint64_t> pause_requests_{0};
  std::atomic<uint64_t> holds_{0};
  std::atomic<uint64_t> resumes_{0};
  std::atomic<uint64_t> paused_us_{0};
  std::atomic<uint64_t> max_depth_{0};
  std::atomic<uint64_t> sequence_{0};
  std::atomic<uint64_t> last_event_{0};
  std::atomic<uint64_t> last_time_{0};  // seconds << 32 | microseconds
};

// Microseconds of a clock that wall-clock changes do not move.
long long counter_clock_us();

// The table. create replaces any block left at the address and gives null when
// memory runs out (the receiver then counts nothing); find gives null for an
// address without one.
std::shared_ptr<ReceiverCounterBlock> create_receiver_counters(const void* receiver);
std::shared_ptr<ReceiverCounterBlock> find_receiver_counters(const void* receiver);
void drop_receiver_counters(const void* receiver);

#endif
