#include "fetch_stream.h"

#include <chrono>
#include <string>
#include <thread>

#include "daq_generation.h"
#include "daq_receiver_counters.h"
#include "fetch_state.h"
#include "query_release.h"
#include "record_take.h"

namespace {

enum class LoopEnd { drained, stopped };

// Hands one record out unless it was delivered before or is not wanted;
// false when the fetch is to stop.
bool hand_out(DaqFetch::State& s, DaqFetchRecord& rec, const DaqFetchDeliver& deliver) {
  if (!s.mark.fresh(rec)) {
    s.tally.duplicate();
    return true;
  }
  if (!s.wanted(rec)) return true;
  bool go = false;
  // The callback's exception must not leave the library nor the values behind.
  try {
    go = deliver(rec);
  } catch (...) {
    s.callback_threw = true;
  }
  s.mark.note(rec);
  s.tally.delivered(rec);
  return go;
}

// Takes records out as soon as they are there; idles in short steps so a fast
// stream is kept up with and a stop is seen within milliseconds.
template <class G>
LoopEnd take_all(DaqFetch::State& s, typename G::Receiver& receiver,
                 const DaqFetchDeliver& deliver) {
  int idle_us = 0;
  for (;;) {
    if (s.stop.load()) return LoopEnd::stopped;
    DaqFetchRecord rec;
    int rc = take_record<G>(receiver, s.requested, &rec);
    if (rec.values != nullptr) {
      bool go = hand_out(s, rec, deliver);
      release_query_result(rec.values);
      idle_us = 0;
      if (!go) return LoopEnd::stopped;
      continue;
    }
    if ((rc & DAQ_MON_NO_MORE) != 0) return LoopEnd::drained;
    idle_us = idle_us < 5000 ? idle_us + 250 : 5000;
    std::this_thread::sleep_for(std::chrono::microseconds(idle_us));
  }
}

// The receiver is read by counters() while it lives, and its last figures kept
// once it is stopped; declared after the receiver, so let go before it dies.
struct LiveReceiver {
  template <class Receiver>
  LiveReceiver(FetchTally& tally, Receiver& receiver) : tally(tally) {
    tally.open_receiver([&receiver] { return daq_receiver_counters(receiver); });
  }
  ~LiveReceiver() { tally.close_receiver(); }
  LiveReceiver(const LiveReceiver&) = delete;
  LiveReceiver& operator=(const LiveReceiver&) = delete;
  FetchTally& tally;
};

}  // namespace

std::string stopped_text(const DaqFetch::State& s) {
  return std::string(s.callback_threw ? "the callback threw; " : "") + "stopped after " +
         std::to_string(s.delivered()) + " records";
}

template <class G>
int stream_records(DaqFetch::State& s, daq_server_reply* reply, const DaqFetchDeliver& deliver) {
  s.stream_2024 = G::k2024;
  typename G::Receiver receiver(s.request.depth, s.request.increment);
  LiveReceiver live(s.tally, receiver);
  if (s.request.idle_timeout_ms >= 0 && receiver.set_idle_timeout(s.request.idle_timeout_ms)) {
    s.error = "idle timeout " + std::to_string(s.request.idle_timeout_ms) + ": value refused";
    return DAQ_FETCH_BAD_REQUEST;
  }
  if (receiver.set_reply(reply)) {
    s.error = "the reply cannot be kept (out of memory)";
    s.cause = s.error;
    return DAQ_FETCH_LINK_FAILED;
  }
  if (receiver.connect()) {
    s.error = std::string("cannot open the data link to ") + reply->host + ":" +
              std::to_string(reply->port);
    s.cause = s.error;
    return DAQ_FETCH_LINK_FAILED;
  }
  if (receiver.start_receiver(false)) {
    s.error = "the receiver thread did not start";
    s.cause = s.error;
    return DAQ_FETCH_LINK_FAILED;
  }
  LoopEnd end = take_all<G>(s, receiver, deliver);
  receiver.stop_receiver();
  s.end_status = receiver.get_end_data_status();
  s.dropped_events += receiver.get_dropped_events();
  s.dropped_sub_blocks += receiver.get_dropped_sub_blocks();
  if (end == LoopEnd::stopped) {
    s.error = stopped_text(s);
    return DAQ_FETCH_STOPPED;
  }
  // -3 is the server's end-of-data mark; anything else means the stream broke.
  if (s.end_status != -3) {
    s.cause = std::string(receiver.get_link_failure_string()) + " (status " +
              std::to_string(s.end_status) + ")";
    s.error =
        "the stream ended early after " + std::to_string(s.delivered()) + " records: " + s.cause;
    return DAQ_FETCH_STREAM_BROKEN;
  }
  if (s.dropped_events + s.dropped_sub_blocks > 0) {
    s.error = "data were dropped: " + std::to_string(s.dropped_events) + " events and " +
              std::to_string(s.dropped_sub_blocks) + " channel sub-blocks";
    return DAQ_FETCH_DROPPED;
  }
  return DAQ_FETCH_OK;
}

template int stream_records<LegacyGen>(DaqFetch::State&, daq_server_reply*, const DaqFetchDeliver&);
template int stream_records<Gen2024>(DaqFetch::State&, daq_server_reply*, const DaqFetchDeliver&);
