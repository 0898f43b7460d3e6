// The counters of one receiver, kept beside it in a process-wide table keyed by
// the receiver's address, since the receiver's own layout is fixed.
//
// One writer: the receiver thread, which looks its block up once when it starts
// and keeps it for its life, so counting costs relaxed atomic stores only. Any
// thread reads. set_reply resets the block for a new acquisition; all fields are
// atomic, so a reset racing a running thread loses no more than the counts made
// meanwhile. The block outlives the receiver for a thread still holding it.
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
  void paused(long long now_us);
  // The end of a pause that began at since_us (the thread keeps its own copy, as
  // a reset may clear the block's).
  void unpaused(long long since_us, long long now_us);

  void reset();
  // The counts now; the drop counts are the receiver's and are left to the caller.
  DaqReceiverCounters read(long long now_us) const;

 private:
  // Changes fields that a reader must see together: the last event's number and
  // time, and the pause time with the start of a pause still going.
  template <class Change>
  void change_together(Change change);
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
  std::atomic<uint64_t> max_depth_{0};
  std::atomic<uint64_t> sequence_{0};  // odd while fields that go together change
  std::atomic<uint64_t> paused_us_{0};
  std::atomic<long long> paused_since_us_{0};  // 0 while not paused
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
