// EqCall: property calls over cached TCP connections, one request frame and one
// answer frame per call. A connection that saw a timeout or a protocol error is
// closed at once, so a late or stray answer can never be taken for the next call.
// All state sits behind one lock, which also serialises calls through a shared
// object; the lock is held over the network exchange on purpose.
//
// Only gets and name queries are ever sent twice, unless the server provably
// never read the request (a cached connection it closed as idle while the
// request was on its way): a server that closes after reading a set may
// already have acted on it. Failure texts put the cause and
// host:port first, because callers keep them in 80-byte buffers and the
// address, which the caller knows anyway, is what may be cut.
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>

#include "daq_mutex.h"
#include "decimal_text.h"
#include "frame.h"
#include "frame_receive.h"
#include "socket_io.h"
#include "velmor.h"

namespace velmor {

namespace {

constexpr int kDefaultConnectMs = 1000;
constexpr int kDefaultCallMs = 3000;

int env_ms(const char* name, int fallback) {
  const char* v = std::getenv(name);
  if (v == nullptr || *v == '\0') return fallback;
  char* end = nullptr;
  long ms = std::strtol(v, &end, 10);
  if (*end != '\0' || ms < 1 || ms > 3600 * 1000) return fallback;
  return static_cast<int>(ms);
}

struct Connection {
  int fd = -1;
  SocketReader reader;
};

struct Scripted {
  EqData answer;
  int times = 0;
};

}  // namespace

struct EqCall::State {
  mutable DaqMutex mu;
  std::map<std::string, std::unique_ptr<Connection>> connections GUARDED_BY(mu);
  int connect_ms GUARDED_BY(mu) = kDefaultConnectMs;
  int call_ms GUARDED_BY(mu) = kDefaultCallMs;
  bool retry_armed GUARDED_BY(mu) = false;
  uint32_t next_id GUARDED_BY(mu) = 1;
  long calls GUARDED_BY(mu) = 0;
  long connects GUARDED_BY(mu) = 0;
  int fail_countdown GUARDED_BY(mu) = 0;
  int fail_code GUARDED_BY(mu) = 0;
  std::map<std::string, Scripted> scripted GUARDED_BY(mu);
  std::string frame GUARDED_BY(mu);
  std::string payload GUARDED_BY(mu);

  int call(uint8_t kind, EqAdr* address, const EqData* in, EqData* out) EXCLUDES(mu);
  int call_locked(uint8_t kind, EqAdr* address, const EqData* in, EqData* out) REQUIRES(mu);
  int exchange_locked(const std::string& key, const std::string& host, int port, uint32_t id,
                      bool retry, EqData* out, std::string* why) REQUIRES(mu);
  void drop_locked(const std::string& key) REQUIRES(mu);
  void release_buffers_locked() REQUIRES(mu) {
    std::string().swap(frame);
    std::string().swap(payload);
  }
};

namespace {

int fail(EqData* out, int code, const std::string& detail) {
  out->init();
  std::string text = error_code_text(code);
  if (!detail.empty()) text += ": " + detail;
  out->set_error(code, text);
  return code;
}

// The part of an address the name table looks up: FACILITY/DEVICE[/LOCATION].
std::string server_name(const EqAdr& address) {
  std::string name = address.facility();
  if (!address.device().empty()) name += "/" + address.device();
  if (!address.location().empty()) name += "/" + address.location();
  return name;
}

}  // namespace

void EqCall::State::drop_locked(const std::string& key) {
  auto it = connections.find(key);
  if (it == connections.end()) return;
  close_fd(it->second->fd);
  connections.erase(it);
}

// One request/answer exchange, with at most one reconnect when `retry` is set
// and the connection broke before any answer byte arrived.
int EqCall::State::exchange_locked(const std::string& key, const std::string& host, int port,
                                   uint32_t id, bool retry, EqData* out, std::string* why) {
  Deadline deadline = Deadline::in(call_ms);
  for (int attempt = 0;; ++attempt) {
    auto it = connections.find(key);
    if (it != connections.end() &&
        (it->second->reader.buffered() != 0 || !idle_connection_alive(it->second->fd))) {
      drop_locked(key);  // closed by the server while idle: nothing sent yet, replace it
      it = connections.end();
    }
    bool reused = it != connections.end();
    if (it == connections.end()) {
      int fd = -1;
      // The call's deadline bounds its connect too, so a call never outlasts call_ms.
      int wait_ms = connect_ms;
      int left_ms = deadline.remaining_ms();
      if (left_ms < wait_ms) wait_ms = left_ms > 0 ? left_ms : 1;
      int rc = connect_to(host, port, wait_ms, &fd, why);
      if (rc != 0) return rc;
      ++connects;
      auto conn = std::make_unique<Connection>();
      conn->fd = fd;
      conn->reader.reset(fd);
      it = connections.emplace(key, std::move(conn)).first;
    }
    Connection& c = *it->second;
    int rc = send_all(c.fd, frame.data(), frame.size(), deadline);
    bool not_read = rc == EQ_ERR_CONNECTION_LOST;  // the frame never left whole
    size_t got = 0;
    char head_bytes[kFrameHeadSize];
    // Waiting first saves a recv() that would find nothing on every call.
    if (rc == 0 && c.reader.wait_readable(deadline) == 0) rc = EQ_ERR_TIMEOUT;
    if (rc == 0) {
      rc = c.reader.read(head_bytes, kFrameHeadSize, deadline, &got);
      not_read = rc == EQ_ERR_CONNECTION_LOST && c.reader.peer_reset();
    }
    // A cached connection the server closed as idle while the request was on
    // its way: the server never read it, so even a set goes again at once.
    bool closed_under_us = reused && not_read;
    if (rc == EQ_ERR_CONNECTION_LOST && got == 0 && (retry || closed_under_us) && attempt == 0) {
      drop_locked(key);
      continue;
    }
    if (rc != 0) {
      drop_locked(key);
      *why = rc == EQ_ERR_TIMEOUT ? "timeout, no answer from" : "connection lost, closed by";
      return rc;
    }
    FrameHead head;
    const char* bad = decode_frame_head(head_bytes, &head);
    if (bad == nullptr && head.kind != kFrameAnswer) bad = "answer frame of a request kind";
    if (bad == nullptr && head.id != id && head.id != 0) bad = "answer to another call";
    if (bad == nullptr) {
      bad = receive_answer(c.reader, head.size, deadline, &payload, out, &rc);
      if (rc != 0) {
        drop_locked(key);
        *why = rc == EQ_ERR_TIMEOUT ? "timeout, answer incomplete from"
                                    : "connection lost mid-answer from";
        return rc;
      }
    }
    if (bad == nullptr && head.id == 0 && head.status == 0) bad = "answer without a call id";
    if (bad != nullptr) {
      drop_locked(key);
      *why = std::string("protocol error (") + bad + ") from";
      return EQ_ERR_PROTOCOL;
    }
    if (head.id == 0) drop_locked(key);  // the server's answer to a frame it could not read
    if (head.status != 0) {
      std::string text = out->error_text();
      if (text.empty()) text = error_code_text(head.status);
      out->set_error(head.status, text);
      return head.status;
    }
    out->set_error(0, std::string());
    return 0;
  }
}

int EqCall::State::call_locked(uint8_t kind, EqAdr* address, const EqData* in, EqData* out) {
  ++calls;
  bool retry = retry_armed && kind != kFrameSet;
  retry_armed = false;
  if (fail_countdown > 0 && --fail_countdown == 0) {
    return fail(out, fail_code, "test hook on this call");
  }
  if (address == nullptr) return fail(out, EQ_ERR_INVALID_ARGUMENT, "no address");
  if (!address->valid()) return fail(out, EQ_ERR_BAD_ADDRESS, address->text());
  auto scripted_it = scripted.find(address->property());
  if (scripted_it != scripted.end() && scripted_it->second.times > 0) {
    if (--scripted_it->second.times == 0) {
      out->copy_from(&scripted_it->second.answer);
      scripted.erase(scripted_it);
    } else {
      out->copy_from(&scripted_it->second.answer);
    }
    return out->error();
  }
  std::string host;
  int port = 0;
  if (resolve_server(*address, &host, &port))
    return fail(out, EQ_ERR_UNKNOWN_SERVER, "no name-table entry for " + server_name(*address));

  uint32_t id = next_id++;
  if (next_id == 0) next_id = 1;  // id 0 marks the server's answer to an unreadable frame
  frame.clear();
  if (build_request(frame, kind, id, address->property(), in))
    return fail(out, EQ_ERR_INVALID_ARGUMENT, "property name or input too large for a frame");

  std::string endpoint(host.c_str());
  endpoint += ':';
  append_decimal(endpoint, port);
  std::string why;
  int rc = exchange_locked(endpoint, host, port, id, retry, out, &why);
  // Buffers are kept for the next call over a cached connection only.
  if (connections.find(endpoint) == connections.end()) release_buffers_locked();
  // A transport failure comes with a reason; a server's own failure is already in out.
  if (rc != 0 && !why.empty()) {
    out->init();
    out->set_error(rc, why + " " + endpoint + ": " + address->text());
  }
  return rc;
}

int EqCall::State::call(uint8_t kind, EqAdr* address, const EqData* in, EqData* out) {
  if (out == nullptr) return EQ_ERR_INVALID_ARGUMENT;
  DaqLockGuard lock(mu);
  return call_locked(kind, address, in, out);
}

EqCall::EqCall() : s_(new State) {
  DaqLockGuard lock(s_->mu);
  s_->connect_ms = env_ms("VELMOR_CONNECT_TIMEOUT_MS", kDefaultConnectMs);
  s_->call_ms = env_ms("VELMOR_CALL_TIMEOUT_MS", kDefaultCallMs);
}

EqCall::~EqCall() {
  disconnect_all();
  delete s_;
}

int EqCall::set_option(EqAdr*, EqData*, EqData*, EqOption option) {
  if (option != EQ_RETRY) return EQ_ERR_INVALID_ARGUMENT;
  DaqLockGuard lock(s_->mu);
  s_->retry_armed = true;
  return 0;
}

int EqCall::set(EqAdr* address, EqData* in, EqData* out) {
  return s_->call(kFrameSet, address, in, out);
}
int EqCall::get(EqAdr* address, EqData* in, EqData* out) {
  return s_->call(kFrameGet, address, in, out);
}
int EqCall::names(EqAdr* address, EqData* out) {
  return s_->call(kFrameNames, address, nullptr, out);
}

void EqCall::set_timeouts(int connect_ms, int call_ms) {
  DaqLockGuard lock(s_->mu);
  if (connect_ms >= 1) s_->connect_ms = connect_ms;
  if (call_ms >= 1) s_->call_ms = call_ms;
}

int EqCall::connect_timeout_ms() const {
  DaqLockGuard lock(s_->mu);
  return s_->connect_ms;
}

int EqCall::call_timeout_ms() const {
  DaqLockGuard lock(s_->mu);
  return s_->call_ms;
}

void EqCall::disconnect_all() {
  DaqLockGuard lock(s_->mu);
  for (auto& entry : s_->connections) close_fd(entry.second->fd);
  s_->connections.clear();
  s_->release_buffers_locked();
}

void EqCall::test_fail_call(int n, int code) {
  DaqLockGuard lock(s_->mu);
  s_->fail_countdown = n > 0 ? n : 0;
  s_->fail_code = code != 0 ? code : EQ_ERR_INJECTED;
}

void EqCall::test_script_answer(const std::string& property, const EqData& answer, int times) {
  DaqLockGuard lock(s_->mu);
  if (times < 1) {
    s_->scripted.erase(property);
    return;
  }
  Scripted& s = s_->scripted[property];
  s.answer.copy_from(&answer);
  s.times = times;
}

void EqCall::test_clear_hooks() {
  DaqLockGuard lock(s_->mu);
  s_->fail_countdown = 0;
  s_->scripted.clear();
}

long EqCall::call_count() const {
  DaqLockGuard lock(s_->mu);
  return s_->calls;
}

long EqCall::connects_made() const {
  DaqLockGuard lock(s_->mu);
  return s_->connects;
}

}  // namespace velmor
