// The road of one fetch: request, handshake, stream. The connection is shared
// with stop() only through the state's lock, so a stop from another thread
// reaches a running connect() and never a connection being destroyed.
#include "daq_fetch.h"

#include "daq_generation.h"
#include "eq_daq_connect.h"
#include "fetch_request.h"
#include "fetch_state.h"
#include "fetch_stream.h"
#include "query_release.h"
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
  if (!connect_own_code(rc)) {
    return "invalid request: " + (reason.empty() ? std::string("refused by validation") : reason) +
           " (code " + std::to_string(rc) + ")";
  }
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

}  // namespace

void daq_fetch_release_values(std::vector<EqData_dtype*>* values) { release_query_result(values); }

DaqFetch::DaqFetch(const DaqFetchRequest& request) : s_(new State) {
  s_->request = request;
  for (const std::string& c : request.channels) s_->requested.push_back(requested_name(c));
}

DaqFetch::~DaqFetch() = default;

void DaqFetch::stop() {
  DaqLockGuard guard(s_->connection_lock);
  s_->stop.store(true);
  if (s_->connection != nullptr) s_->connection->set_connect_cancel(true);
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

  velmor::EqCall call;
  const DaqFetchRequest& q = s.request;
  EqDAQconnect connection(&call, q.facility.empty() ? nullptr : q.facility.c_str());
  if (fill_fetch_request(q, &connection, &s.error)) return DAQ_FETCH_BAD_REQUEST;

  // A stop before this point is seen here; one after it cancels connect().
  if (publish(s, &connection)) connection.set_connect_cancel(true);
  int rc = connection.connect(q.servers.empty() ? nullptr : q.servers.c_str());
  publish(s, nullptr);
  s.connect_code = rc;
  if (rc != EQ_DAQ_CONNECT_OK) {
    s.error = connect_failure(connection, rc);
    if (rc == EQ_DAQ_CONNECT_CANCELED) return DAQ_FETCH_STOPPED;
    return connect_own_code(rc) ? DAQ_FETCH_HANDSHAKE_FAILED : DAQ_FETCH_BAD_REQUEST;
  }

  daq_server_reply* reply = connection.get_server_reply();
  if (reply->port <= 0) {
    s.error = std::string("the server announced no data stream: ") + reply->reason;
    return DAQ_FETCH_NO_STREAM;
  }
  bool gen2024 = q.generation == DAQ_FETCH_GEN_AUTO ? reply->evid64bitmode
                                                    : q.generation == DAQ_FETCH_GEN_2024;
  int code = gen2024 ? stream_records<Gen2024>(s, reply, deliver)
                     : stream_records<LegacyGen>(s, reply, deliver);
  if (code == DAQ_FETCH_OK) s.error.clear();
  return code;
}

const std::string& DaqFetch::error() const { return s_->error; }
int DaqFetch::connect_code() const { return s_->connect_code; }
int DaqFetch::end_status() const { return s_->end_status; }
uint64_t DaqFetch::records_delivered() const { return s_->delivered.load(); }
uint64_t DaqFetch::dropped_events() const { return s_->dropped_events; }
uint64_t DaqFetch::dropped_sub_blocks() const { return s_->dropped_sub_blocks; }
bool DaqFetch::stream_2024() const { return s_->stream_2024; }

DaqFetchCounters DaqFetch::counters() const {
  DaqFetchCounters c;
  c.records_delivered = s_->delivered.load();
  return c;
}
