// The road of one fetch: request, handshake, stream, and the same again for the
// rest of the range when the stream breaks. The connection is shared with
// stop() only through the state's lock, so a stop from another thread reaches
// a running connect() and never a connection being destroyed.
#include "daq_fetch.h"

#include <chrono>
#include <mutex>

#include "daq_generation.h"
#include "eq_daq_connect.h"
#include "fetch_period.h"
#include "fetch_request.h"
#include "fetch_resume.h"
#include "fetch_state.h"
#include "fetch_stream.h"
#include "query_release.h"
#include "validation_meaning.h"
#include "velmor.h"

namespace {

bool connect_own_code(int rc) {
  switch (rc) {
    case EQ_DAQ_CONNECT_SEND_FAILED:
    case EQ_DAQ_CONNECT_GET_FAILED:
    case EQ_DAQ_CONNECT_PARSE_FAILED:
    case EQ_DAQ_CONNECT_BAD_REPLY:
    case EQ_DAQ_CONNECT_TIMEOUT:
    case EQ_DAQ_CONNECT_DIFFERENT:
    case EQ_DAQ_CONNECT_BUSY:
    case EQ_DAQ_CONNECT_CANCELED:
      return true;
    default:
      return false;
  }
}

// The line of a failed connect(): the connection's text of its own codes, the
// validation's reason for the others, and the server's reason when it adds one.
std::string connect_failure(EqDAQconnect& c, int rc) {
  const char* why = c.get_reply_error();
  std::string reason = why != nullptr ? why : "";
  if (!connect_own_code(rc))
    return std::string("invalid request: ") + validation_meaning(rc) + " (code " +
           std::to_string(rc) + ")";
  std::string line = c.get_error(rc);
  if (!reason.empty() && line.find(reason) == std::string::npos) line += ": " + reason;
  return line;
}

// Makes the connection reachable by stop(), or says the fetch is already stopped.
bool publish(DaqFetch::State& s, EqDAQconnect* c) {
  DaqLockGuard guard(s.connection_lock);
  s.connection = c;
  return c != nullptr && s.stop.load();
}

// One attempt of the road: a handshake of its own, then the stream.
int attempt(DaqFetch::State& s, const DaqFetchRequest& q, const DaqFetchDeliver& deliver) {
  velmor::EqCall call;
  EqDAQconnect connection(&call, q.facility.empty() ? nullptr : q.facility.c_str());
  if (fill_fetch_request(q, &connection, &s.error)) return DAQ_FETCH_BAD_REQUEST;
  if (q.prepare && !(s.error = q.prepare(connection)).empty()) return DAQ_FETCH_BAD_REQUEST;

  // A stop before this point is seen here; one after it cancels connect().
  if (publish(s, &connection)) connection.set_connect_cancel(true);
  int rc = connection.connect(q.servers.empty() ? nullptr : q.servers.c_str());
  publish(s, nullptr);
  s.connect_code = rc;
  if (rc != EQ_DAQ_CONNECT_OK) {
    s.error = connect_failure(connection, rc);
    s.cause = s.error;
    if (rc == EQ_DAQ_CONNECT_CANCELED) return DAQ_FETCH_STOPPED;
    return connect_own_code(rc) ? DAQ_FETCH_HANDSHAKE_FAILED : DAQ_FETCH_BAD_REQUEST;
  }

  daq_server_reply* reply = connection.get_server_reply();
  if (period_mismatch(q, *reply, &s.error)) return DAQ_FETCH_BAD_REQUEST;
  if (q.accepted && !q.accepted(connection)) return DAQ_FETCH_OK;
  if (reply->port <= 0) {
    s.error = std::string("the server announced no data stream: ") + reply->reason;
    return DAQ_FETCH_NO_STREAM;
  }
  bool gen2024 = q.generation == DAQ_FETCH_GEN_AUTO ? reply->evid64bitmode
                                                    : q.generation == DAQ_FETCH_GEN_2024;
  return gen2024 ? stream_records<Gen2024>(s, reply, deliver)
                 : stream_records<LegacyGen>(s, reply, deliver);
}

// A broken stream, and a link that would not open after a good handshake, are
// asked again; so is a failed handshake once the fetch is resuming (the
// server may be restarting). A refusal is the server's answer and stays.
bool worth_asking_again(int code, bool resuming) {
  return code == DAQ_FETCH_STREAM_BROKEN || code == DAQ_FETCH_LINK_FAILED ||
         (resuming && code == DAQ_FETCH_HANDSHAKE_FAILED);
}

// Waits ms, or less when stop() comes; true when stopped.
bool wait_unless_stopped(DaqFetch::State& s, int ms) {
  std::unique_lock<std::mutex> lock(s.wake_lock);
  return s.wake.wait_for(lock, std::chrono::milliseconds(ms), [&] { return s.stop.load(); });
}

// Attempts until one ends for good or `retries` attempts in a row delivered
// nothing. Records delivered stay delivered whatever the end.
int attempts(DaqFetch::State& s, const DaqFetchDeliver& deliver) {
  const DaqFetchRequest& asked = s.request;
  DaqFetchRequest q = asked;
  int failures = 0;  // attempts in a row that ended in a break without a record
  for (bool resuming = false;; resuming = true) {
    uint64_t before = s.delivered();
    int code = attempt(s, q, deliver);
    if (!worth_asking_again(code, resuming)) return code;
    failures = s.delivered() > before ? 1 : failures + 1;
    if (failures > asked.retries) {
      // Without retries the stream's own line stays as it always was.
      if (asked.retries > 0)
        s.error = "the stream broke after " + std::to_string(s.delivered()) + " records and " +
                  std::to_string(s.tally.now().reconnects) + " reconnects: " + s.cause;
      return code;
    }
    if (wait_unless_stopped(s, backoff_wait_ms(asked.backoff_ms, failures))) {
      s.error = stopped_text(s);
      return DAQ_FETCH_STOPPED;
    }
    s.tally.reconnect();
    q = rest_of_range(asked, s.mark);
  }
}

}  // namespace

void daq_fetch_release_values(std::vector<EqData_dtype*>* values) { release_query_result(values); }

DaqFetch::DaqFetch(const DaqFetchRequest& request) : s_(new State) {
  s_->request = request;
  for (const std::string& c : request.channels) s_->requested.push_back(requested_name(c));
}

DaqFetch::~DaqFetch() = default;

void DaqFetch::stop() {
  {
    DaqLockGuard guard(s_->connection_lock);
    s_->stop.store(true);
    if (s_->connection != nullptr) s_->connection->set_connect_cancel(true);
  }
  std::lock_guard<std::mutex> lock(s_->wake_lock);
  s_->wake.notify_all();
}

int DaqFetch::run(const std::function<bool(DaqFetchRecord&)>& deliver) {
  State& s = *s_;
  if (s.ran) {
    s.error = "a fetch runs once";
    return DAQ_FETCH_BAD_REQUEST;
  }
  s.ran = true;
  s.error.clear();
  if (!deliver) {
    s.error = "no callback to deliver records to";
    return DAQ_FETCH_BAD_REQUEST;
  }
  if (s.request.retries < 0 || s.request.backoff_ms < 0) {
    bool retries = s.request.retries < 0;
    s.error = std::string(retries ? "retries " : "backoff ") +
              std::to_string(retries ? s.request.retries : s.request.backoff_ms) +
              ": value refused";
    return DAQ_FETCH_BAD_REQUEST;
  }
  // The connection would silently take the default facility's servers instead.
  if (!s.request.facility.empty() && !EqDAQconnect::known_facility(s.request.facility.c_str())) {
    s.error = "unknown facility '" + s.request.facility + "'";
    return DAQ_FETCH_BAD_REQUEST;
  }
  s.narrow = period_widened(s.request);
  s.tally.begin();
  int code = attempts(s, deliver);
  s.tally.end();
  if (code == DAQ_FETCH_OK) s.error.clear();
  return code;
}

const std::string& DaqFetch::error() const { return s_->error; }
int DaqFetch::connect_code() const { return s_->connect_code; }
int DaqFetch::end_status() const { return s_->end_status; }
uint64_t DaqFetch::records_delivered() const { return s_->delivered(); }
uint64_t DaqFetch::dropped_events() const { return s_->dropped_events; }
uint64_t DaqFetch::dropped_sub_blocks() const { return s_->dropped_sub_blocks; }
bool DaqFetch::stream_2024() const { return s_->stream_2024; }
DaqFetchCounters DaqFetch::counters() const { return s_->tally.now(); }
