// The data stream of one request. The serving thread alternates between taking
// the receiver's control messages (never blocking longer than the link's wake
// period, so stop() is seen quickly) and sending the next event when neither a
// pause nor an outstanding acknowledgment holds it back.
//
// Exactly-once rule: a resume neither rewinds nor skips. Events already sent are
// in the socket on their way to the receiver, which reads them when it resumes,
// so sending them again would duplicate them; its number only says what the
// receiver has.
#include "data_stream.h"

#include <chrono>

#include "daq_diag.h"
#include "event_synth.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kWakeMs = 200;
// A link with no control message for this long after the end of the stream is
// given up (a receiver that is still paused sends holds every 50 ms).
constexpr int kLingerIdleMs = 10000;

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
  int rc = listener_.Listen(host, 0);
  if (rc == 0) port_ = listener_.GetPort();
  return rc;
}

void DataStream::start() { thread_ = std::thread([this] { run(); }); }

void DataStream::stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

std::vector<DaqControlRecord> DataStream::control_log() const {
  DaqLockGuard guard(log_lock_);
  return log_;
}

void DataStream::run() {
  Tidewire* link = nullptr;
  auto deadline = Clock::now() + std::chrono::milliseconds(settings_.accept_timeout_ms);
  while (!stop_ && link == nullptr && Clock::now() < deadline) {
    int rc = listener_.Accept(kWakeMs, &link);
    if (rc != 0) link = nullptr;
  }
  listener_.Close();
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

void DataStream::handle_control(int64_t number, time_stamp time) {
  DaqControlKind kind = DAQ_CONTROL_OTHER;
  if (number == -2) {
    kind = DAQ_CONTROL_FAREWELL;
    farewell_ = true;
  } else if (number == -1) {
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
    if (awaiting_ack_ && number == last_sent_) awaiting_ack_ = false;
  }
  DaqLockGuard guard(log_lock_);
  log_.push_back({number, time.timeup, time.timelow, kind});
}

// Takes the control messages that are there, waiting up to wait_ms for the
// first. False when the stream must end (farewell, link gone, stop).
bool DataStream::take_control(Tidewire* link, int wait_ms) {
  for (;;) {
    int rc = link->ReceiveEvent(nullptr, wait_ms, -1, -1);
    if (rc == TIDEWIRE_AGAIN_TIMEOUT || rc == TIDEWIRE_AGAIN_INTERRUPTED) return !stop_;
    if (rc != 0) return false;
    if (orxa_eventheader* h = link->get_event_header()) {
      handle_control(static_cast<int32_t>(h->event_number), h->event_time);
    } else if (orxa_eventheader_2024* h = link->get_event_header_2024()) {
      handle_control(static_cast<int64_t>(h->event_number), h->event_time);
    } else {
      DaqLockGuard guard(log_lock_);
      log_.push_back({0, 0, 0, DAQ_CONTROL_OTHER});
    }
    if (farewell_) return false;
    wait_ms = 0;
  }
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

void DataStream::serve(Tidewire* link) {
  EventSynth synth(plan_.gen_2024, plan_.event_channels, plan_.slow_channels,
                   server_name_.c_str());
  auto started = Clock::now();
  bool stalled = false;
  while (!stop_) {
    if (!take_control(link, 0)) return;
    if (paused_ || awaiting_ack_) {
      if (!take_control(link, kWakeMs)) return;
      continue;
    }
    if (next_ >= plan_.event_count) break;
    long sent = events_sent_.load();
    if (settings_.drop_after >= 0 && sent >= settings_.drop_after) return;
    if (!stalled && settings_.stall_after >= 0 && sent >= settings_.stall_after) {
      stalled = true;
      auto until = Clock::now() + std::chrono::milliseconds(settings_.stall_ms);
      while (!stop_ && Clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(20));
      continue;
    }
    if (settings_.real_time) {
      auto due = started + std::chrono::microseconds(static_cast<int64_t>(
                               static_cast<double>(next_) * 1e6 / settings_.rate_hz));
      auto now = Clock::now();
      if (now < due) {
        auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(due - now).count();
        if (!pause_for(link, static_cast<int>(wait < 1 ? 1 : wait))) return;
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
      if (data != nullptr && send(link, data, length) < 0) return;
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
    int rc = send(link, data, length);
    while (rc == 1) {
      if (!take_control(link, 10)) return;
      rc = send(link, data, length);
    }
    if (rc < 0) return;
    last_sent_ = static_cast<int64_t>(number);
    ++next_;
    ++events_sent_;
    if (settings_.handshake) awaiting_ack_ = true;
  }
  if (stop_) return;
  size_t length = 0;
  const char* end = synth.end_of_stream(wall_time(), &length);
  int rc = send(link, end, length);
  while (rc == 1) {
    if (!take_control(link, 10)) return;
    rc = send(link, end, length);
  }
  if (rc != 0) return;
  // The receiver closes the link once it has read the end: no loss to report.
  link->ExpectClose();
  linger(link);
}

// After the end of the stream: keep taking control messages until the receiver
// closes, says farewell, or stays silent for kLingerIdleMs.
void DataStream::linger(Tidewire* link) {
  auto quiet_since = Clock::now();
  size_t seen = control_log().size();
  while (!stop_) {
    if (!take_control(link, kWakeMs)) return;
    size_t now_seen = control_log().size();
    if (now_seen != seen) {
      seen = now_seen;
      quiet_since = Clock::now();
    } else if (Clock::now() - quiet_since > std::chrono::milliseconds(kLingerIdleMs)) {
      return;
    }
  }
}
