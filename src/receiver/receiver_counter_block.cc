#include "receiver_counter_block.h"

#include <time.h>

#include <mutex>
#include <new>
#include <unordered_map>

// Without fences (the thread sanitizer does not follow them): each field is
// stored with release, so a reader that acquires a new value also sees the odd
// count stored before it, and reads again.
void ReceiverCounterBlock::set_last(uint64_t number, uint64_t time) {
  uint64_t s = sequence_.load(std::memory_order_relaxed);
  sequence_.store(s + 1, std::memory_order_relaxed);
  last_event_.store(number, std::memory_order_release);
  last_time_.store(time, std::memory_order_release);
  sequence_.store(s + 2, std::memory_order_release);
}

void ReceiverCounterBlock::event(uint64_t number, uint32_t seconds, uint32_t micros) {
  bump(events_, 1);
  set_last(number, static_cast<uint64_t>(seconds) << 32 | micros);
}

void ReceiverCounterBlock::stored(bool evicted, uint64_t records_held) {
  if (evicted) bump(evicted_, 1);
  if (records_held > max_depth_.load(std::memory_order_relaxed))
    max_depth_.store(records_held, std::memory_order_relaxed);
}

void ReceiverCounterBlock::reset() {
  for (std::atomic<uint64_t>* c : {&events_, &bytes_, &evicted_, &pause_requests_, &holds_,
                                   &resumes_, &paused_us_, &max_depth_})
    c->store(0, std::memory_order_relaxed);
  set_last(0, 0);
}

DaqReceiverCounters ReceiverCounterBlock::read() const {
  DaqReceiverCounters c;
  c.events_received = events_.load(std::memory_order_relaxed);
  c.bytes_received = bytes_.load(std::memory_order_relaxed);
  c.records_evicted = evicted_.load(std::memory_order_relaxed);
  c.pause_requests = pause_requests_.load(std::memory_order_relaxed);
  c.holds_sent = holds_.load(std::memory_order_relaxed);
  c.resumes_sent = resumes_.load(std::memory_order_relaxed);
  c.max_depth = max_depth_.load(std::memory_order_relaxed);
  c.paused_us = paused_us_.load(std::memory_order_relaxed);
  uint64_t before, after, time;
  do {
    before = sequence_.load(std::memory_order_acquire);
    c.last_event = last_event_.load(std::memory_order_acquire);
    time = last_time_.load(std::memory_order_acquire);
    after = sequence_.load(std::memory_order_relaxed);
  } while (before != after || (before & 1) != 0);
  c.last_seconds = static_cast<uint32_t>(time >> 32);
  c.last_micros = static_cast<uint32_t>(time);
  return c;
}

long long counter_clock_us() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<long long>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

namespace {

struct CounterTable {
  std::mutex lock;
  std::unordered_map<const void*, std::shared_ptr<ReceiverCounterBlock>> blocks;
};

// Never destroyed: receivers with static storage may outlive any other static.
CounterTable& table() {
  static CounterTable* t = new CounterTable();
  return *t;
}

}  // namespace

std::shared_ptr<ReceiverCounterBlock> create_receiver_counters(const void* receiver) {
  CounterTable& t = table();
  std::lock_guard<std::mutex> hold(t.lock);
  try {
    auto block = std::make_shared<ReceiverCounterBlock>();
    t.blocks[receiver] = block;
    return block;
  } catch (const std::bad_alloc&) {
    t.blocks.erase(receiver);  // no stale block of an earlier receiver here
    return nullptr;
  }
}

std::shared_ptr<ReceiverCounterBlock> find_receiver_counters(const void* receiver) {
  CounterTable& t = table();
  std::lock_guard<std::mutex> hold(t.lock);
  auto it = t.blocks.find(receiver);
  return it == t.blocks.end() ? nullptr : it->second;
}

void drop_receiver_counters(const void* receiver) {
  CounterTable& t = table();
  std::lock_guard<std::mutex> hold(t.lock);
  t.blocks.erase(receiver);
}
