// The data stream of one request. The serving thread alternates between taking
// the receiver's control messages (never blocking longer than the link's wake
// period, so stop() is seen quickly) and sending the next event when neither a
// pause nor an outstanding acknowledgment holds it back.
//
// Progress rule: a receiver that holds the stream back (a full link, an
// acknowledgment or a resume that never comes) for longer than the send-stall
// bound loses it. What counts as progress is what a working receiver does: it
// takes messages off the link, acknowledges the event awaited, and while paused
// sends its holds. Stray messages do not count, so a receiver cannot keep a
// stream alive by flooding instead of reading.
//
// Exactly-once rule: a resume neither rewinds nor skips. Events already sent are
// in the socket on their way to the receiver, which reads them when it resumes,
// so sending them again would duplicate them; its number only says what the
// receiver has.
#include "data_stream.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <new>

#include "daq_diag.h"
#include "daq_generation.h"
#include "event_synth.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kWakeMs = 200;
// A link with no control message for this long after the end of the stream is
// given up (a receiver that is still paused sends holds every 50 ms).
constexpr int kLingerIdleMs = 10000;
// Control messages taken in one go, so a flood cannot starve sending or hide stop().
constexpr int kMostControlAtOnce = 256;

time_stamp wall_time() {
  auto now = std::chrono::system_clock::now().time_since_epoch();
  auto us = std::chrono::duration_cast<std::chrono::microseconds>(now).count();
  return {static_cast<uint32_t>(us / 1000000), static_cast<uint32_t>(us % 1000000)};
}

}  // namespace

DataStream::DataStream(const RequestPlan& plan, const StreamSettings& settings,
                       std::string server_name)
    : plan_(plan), settings_(settings), server_name_(std::move(server_name)) {}

DataStream::~DataStream() { stop(); }

int DataStream::open(const char* host) {
  int rc = 0;
  if (settings_.spare != nullptr) {
    listener_ = settings_.spare->take(host, &rc);
  } else {
    listener_.reset(new (std::nothrow) TidewireListener);
    rc = listener_ ? listener_->Listen(host, 0) : -1;
  }
  if (rc == 0) port_ = listener_->GetPort();
  return rc;
}

void DataStream::start(StreamThreads* threads) {
  try {
    auto served = std::make_shared<std::promise<void>>();
    served_ = served->get_future();
    if (threads->run([this, served] {
          run();
          served->set_value();
        }))
      return;
  } catch (...) {  // std::bad_alloc, std::future_error
  }
  served_ = std::future<void>();
  if (listener_) listener_->Close();
  finished_ = true;
}

void DataStream::stop() {
  stop_ = true;
  if (served_.valid()) served_.wait();
}

std::vector<DaqControlRecord> DataStream::control_log() const {
  DaqLockGuard guard(log_lock_);
  std::vector<DaqControlRecord> log = first_;
  long beyond = total_ - static_cast<long>(first_.size());
  long kept = std::min<long>(beyond, DAQ_CONTROL_KEPT_LAST);
  for (long j = beyond - kept; j < beyond; ++j) log.push_back(last_[j % DAQ_CONTROL_KEPT_LAST]);
  return log;
}

void DataStream::control_summary(DaqRequestSummary* out) const {
  out->control = control_log();
  DaqLockGuard guard(log_lock_);
  out->control_total = total_;
  for (int k = 0; k <= DAQ_CONTROL_OTHER; ++k) out->control_counts[k] = counts_[k];
}

void DataStream::record_control(const DaqControlRecord& record) {
  DaqLockGuard guard(log_lock_);
  long beyond = total_ - static_cast<long>(first_.size());
  if (first_.size() < DAQ_CONTROL_KEPT_FIRST) {
    first_.push_back(record);
  } else {
    last_[beyond % DAQ_CONTROL_KEPT_LAST] = record;
  }
  ++total_;
  ++counts_[record.kind];
}

void DataStream::run() {
  if (settings_.spare != nullptr) settings_.spare->refill();
  Tidewire* link = nullptr;
  auto deadline = Clock::now() + std::chrono::milliseconds(settings_.accept_timeout_ms);
  for (auto now = Clock::now(); !stop_ && link == nullptr && now < deadline; now = Clock::now()) {
    // Never past the deadline: a stream nobody comes to frees its thread on time.
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
    int rc = listener_->Accept(static_cast<int>(std::min<int64_t>(kWakeMs, left)), &link);
    if (rc != 0) link = nullptr;
  }
  listener_->Close();
  if (link != nullptr) {
    receiver_came_ = true;
    serve(link);
    delete link;
  } else if (settings_.verbose) {
    daq_print("daq-server: DAQ.REP%d no receiver came\n", settings_.number);
  }
  if (settings_.verbose) {
    daq_print("daq-server: DAQ.REP%d stream ended after %ld events\n", settings_.number,
              events_sent_.load());
  }
  finished_ = true;
}

// The receiver's control values read as signed numbers are the same in both widths.
constexpr int64_t kPauseNumber = static_cast<int32_t>(LegacyGen::kPause);
constexpr int64_t kFarewellNumber = static_cast<int32_t>(LegacyGen::kFarewell);
static_assert(static_cast<int64_t>(Gen2024::kPause) == kPauseNumber &&
                  static_cast<int64_t>(Gen2024::kFarewell) == kFarewellNumber,
              "control values differ between the generations");

void DataStream::handle_control(int64_t number, time_stamp time) {
  DaqControlKind kind = DAQ_CONTROL_OTHER;
  bool progress = true;
  if (number == kFarewellNumber) {
    kind = DAQ_CONTROL_FAREWELL;
    farewell_ = true;
  } else if (number == kPauseNumber) {
    kind = paused_ ? DAQ_CONTROL_HOLD : DAQ_CONTROL_PAUSE;
    paused_ = true;
  } else if (number >= 0 && paused_) {
    // The number is the last event the receiver has (0 before its first): it
    // tells nothing about where to go on, since nothing sent is sent again and
    // nothing unsent is skipped.
    kind = DAQ_CONTROL_RESUME;
    paused_ = false;
    if (number >= last_sent_) awaiting_ack_ = false;
  } else if (number >= 0) {
    kind = DAQ_CONTROL_READY;
    progress = awaiting_ack_ && number == last_sent_;
    if (progress) awaiting_ack_ = false;
  } else {
    progress = false;
  }
  if (progress) progress_at_ = Clock::now();
  record_control({number, time.timeup, time.timelow, kind});
}

// True (and the stream to be ended) when the receiver has made no progress
// within the send-stall bound.
bool DataStream::stalled() {
  if (settings_.send_stall_ms <= 0 ||
      Clock::now() - progress_at_ <= std::chrono::milliseconds(settings_.send_stall_ms)) {
    return false;
  }
  stalled_out_ = true;
  if (settings_.verbose) {
    daq_print("daq-server: DAQ.REP%d receiver made no progress for %d ms, stream ended\n",
              settings_.number, settings_.send_stall_ms);
  }
  return true;
}

// Takes the control messages that are there, waiting up to wait_ms for the
// first. False when the stream must end (farewell, link gone, stop).
bool DataStream::take_control(Tidewire* link, int wait_ms) {
  for (int taken = 0; taken < kMostControlAtOnce; ++taken) {
    int rc = link->ReceiveEvent(nullptr, wait_ms, -1, -1);
    if (rc == TIDEWIRE_AGAIN_TIMEOUT || rc == TIDEWIRE_AGAIN_INTERRUPTED) return !stop_;
    if (rc != 0) return false;
    if (orxa_eventheader* h = link->get_event_header()) {
      handle_control(static_cast<int32_t>(h->event_number), h->event_time);
    } else if (orxa_eventheader_2024* h = link->get_event_header_2024()) {
      handle_control(static_cast<int64_t>(h->event_number), h->event_time);
    } else {
      record_control({0, 0, 0, DAQ_CONTROL_OTHER});
    }
    if (farewell_) return false;
    wait_ms = 0;
  }
  return !stop_;
}

// Waits ms while still taking control messages. False when the stream must end.
bool DataStream::pause_for(Tidewire* link, int ms) {
  auto until = Clock::now() + std::chrono::milliseconds(ms);
  while (Clock::now() < until) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    int wait = static_cast<int>(left.count());
    if (!take_control(link, wait < 1 ? 1 : (wait > kWakeMs ? kWakeMs : wait))) return false;
  }
  return true;
}

// Sends one message: 0 sent (or queued in part, the link finishes it first on
// the next send), 1 try again later, -1 the link is gone.
int DataStream::send(Tidewire* link, const char* data, size_t length) {
  iovec v{const_cast<char*>(data), length};
  int rc = link->SendEvent(&v, 1, SendEvent_NOACK);
  if (rc == 0 || rc == TIDEWIRE_ERR_TIMEOUT) return 0;
  if (rc == TIDEWIRE_ERR_BUSY) return 1;
  return -1;
}

// Sends one message, taking control messages while the link is full. False
// when the stream must end (link gone, farewell, stop, or a stalled receiver).
bool DataStream::send_all(Tidewire* link, const char* data, size_t length) {
  int rc = send(link, data, length);
  while (rc == 1) {
    if (!take_control(link, 10) || stalled()) return false;
    rc = send(link, data, length);
  }
  if (rc < 0) return false;
  progress_at_ = Clock::now();
  return true;
}

void DataStream::serve(Tidewire* link) {
  EventSynth synth(plan_.gen_2024, plan_.event_channels, plan_.slow_channels, server_name_.c_str());
  // Each wait for room is short, so the stall bound and stop() are seen soon.
  link->SetSendTimeout(kWakeMs);
  auto started = Clock::now();
  progress_at_ = started;
  bool fault_stalled = false;
  while (!stop_) {
    if (!take_control(link, 0)) return;
    if (paused_ || awaiting_ack_) {
      if (!take_control(link, kWakeMs) || stalled()) return;
      continue;
    }
    if (next_ >= plan_.event_count) break;
    long sent = events_sent_.load();
    if (settings_.drop_after >= 0 && sent >= settings_.drop_after) return;
    if (!fault_stalled && settings_.stall_after >= 0 && sent >= settings_.stall_after) {
      fault_stalled = true;
      auto until = Clock::now() + std::chrono::milliseconds(settings_.stall_ms);
      while (!stop_ && Clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      progress_at_ = Clock::now();  // the server's own silence, not the receiver's
      continue;
    }
    if (settings_.real_time) {
      auto due = started + std::chrono::microseconds(static_cast<int64_t>(
                               static_cast<double>(next_) * 1e6 / settings_.rate_hz));
      auto now = Clock::now();
      if (now < due) {
        auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(due - now).count();
        if (!pause_for(link, static_cast<int>(wait < 1 ? 1 : wait))) return;
        progress_at_ = Clock::now();  // pacing: the server waited, not the receiver
        continue;
      }
    }
    uint64_t number = plan_.first_event + next_;
    time_stamp time{};
    plan_event_time(plan_, settings_.rate_hz, next_, &time.timeup, &time.timelow);
    size_t length = 0;
    const char* data = nullptr;
    if (time.timelow == 0 && synth.has_slow_channels()) {
      data = synth.slow_block(number, time, &length);
      if (data != nullptr && !send_all(link, data, length)) return;
    }
    if (settings_.malformed_after >= 0 && sent == settings_.malformed_after) {
      data = synth.malformed_event(number, time, &length);
    } else {
      data = synth.event(number, time, &length);
    }
    if (data == nullptr) {
      daq_print("daq-server: DAQ.REP%d event %llu cannot be built\n", settings_.number,
                static_cast<unsigned long long>(number));
      return;
    }
    if (!send_all(link, data, length)) return;
    last_sent_ = static_cast<int64_t>(number);
    ++next_;
    ++events_sent_;
    if (settings_.handshake) awaiting_ack_ = true;
  }
  if (stop_) return;
  size_t length = 0;
  const char* end = synth.end_of_stream(wall_time(), &length);
  if (!send_all(link, end, length)) return;
  // The receiver closes the link once it has read the end: no loss to report.
  link->ExpectClose();
  linger(link);
}

// After the end of the stream: keep taking control messages until the receiver
// closes, says farewell, or makes no progress (a paused one holds) for
// kLingerIdleMs, or for the send-stall bound when that is shorter.
void DataStream::linger(Tidewire* link) {
  int quiet_ms = kLingerIdleMs;
  if (settings_.send_stall_ms > 0 && settings_.send_stall_ms < quiet_ms) {
    quiet_ms = settings_.send_stall_ms;
  }
  progress_at_ = Clock::now();
  while (!stop_) {
    if (!take_control(link, kWakeMs)) return;
    if (Clock::now() - progress_at_ > std::chrono::milliseconds(quiet_ms)) return;
  }
}
