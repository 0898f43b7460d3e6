#include "stream_threads.h"

#include <algorithm>
#include <system_error>
#include <utility>

namespace {
// Waiting threads kept beyond those in use; a thread finding this many others
// waiting leaves.
constexpr size_t kMostWaiting = 4;
}  // namespace

StreamThreads::~StreamThreads() {
  std::list<std::thread> all;
  {
    std::lock_guard<std::mutex> guard(lock_);
    ending_ = true;
    all.swap(threads_);
  }
  wake_.notify_all();
  for (std::thread& t : all) t.join();
}

bool StreamThreads::run(std::function<void()> job) {
  std::unique_lock<std::mutex> held(lock_);
  join_departed(held);
  if (waiting_ > jobs_.size()) {
    try {
      jobs_.push_back(std::move(job));
    } catch (...) {
      return false;
    }
    held.unlock();
    wake_.notify_one();
    return true;
  }
  try {
    threads_.emplace_back([this, first = std::move(job)]() mutable {
      first();
      first = nullptr;  // what the job holds goes with it, not when the thread ends
      work();
    });
  } catch (...) {  // std::system_error: no thread; std::bad_alloc
    return false;
  }
  return true;
}

void StreamThreads::work() {
  std::unique_lock<std::mutex> held(lock_);
  for (;;) {
    if (waiting_ >= kMostWaiting) break;
    ++waiting_;
    wake_.wait(held, [this] { return ending_ || !jobs_.empty(); });
    --waiting_;
    if (jobs_.empty()) return;  // ending: the destructor joins
    std::function<void()> job = std::move(jobs_.front());
    jobs_.pop_front();
    held.unlock();
    job();
    job = nullptr;
    held.lock();
  }
  if (ending_) return;
  try {
    departed_.push_back(std::this_thread::get_id());
  } catch (...) {
    // Without room in the list the thread waits for the destructor instead.
    ++waiting_;
    wake_.wait(held, [this] { return ending_; });
    --waiting_;
  }
}

void StreamThreads::join_departed(std::unique_lock<std::mutex>& held) {
  if (departed_.empty()) return;
  std::list<std::thread> leaving;
  for (auto it = threads_.begin(); it != threads_.end();) {
    auto next = std::next(it);
    if (std::find(departed_.begin(), departed_.end(), it->get_id()) != departed_.end())
      leaving.splice(leaving.end(), threads_, it);
    it = next;
  }
  departed_.clear();
  held.unlock();
  for (std::thread& t : leaving) t.join();
  held.lock();
}
