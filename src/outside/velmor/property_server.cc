// PropertyServer: one accept thread and one thread per connection. The
// property table is guarded by the server lock; a call copies the handler out
// under the lock and runs it without, so handlers may add or remove properties
// and slow handlers never block other clients. stop() wakes the accept thread
// through a pipe and every connection thread by shutting its socket down; a
// connection thread closes its own fd only after leaving the table, so no fd
// number is ever shut down after being reused.
//
// What a client can make the server hold is bounded: buffers grow only with
// bytes that have arrived and are released once a connection rests; a
// connection silent between frames is closed after the idle bound; and at the
// total or per-peer cap the longest-idle connection makes room, so idle
// connections cannot lock out a client that has work to do.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <list>
#include <memory>
#include <thread>

#include "daq_diag.h"
#include "daq_mutex.h"
#include "frame.h"
#include "frame_receive.h"
#include "socket_io.h"
#include "velmor_server.h"

namespace velmor {

namespace {

constexpr int kMaxConnections = 256;
// Buffers survive this long between frames, so back-to-back calls reuse them.
constexpr int kReleaseBuffersAfterMs = 1000;

struct Property {
  std::string name;
  PropertyHandler on_set;
  PropertyHandler on_get;
};

struct ConnectionSlot {
  int fd = -1;
  std::thread thread;
  bool done = false;
  std::string peer;           // numeric address of the client
  int64_t idle_since_ms = 0;  // when it began waiting between frames; 0 while busy
  bool evicted = false;       // closed to make room at a cap
};

}  // namespace

struct PropertyServer::State {
  mutable DaqMutex mu;
  std::vector<Property> properties GUARDED_BY(mu);
  std::list<ConnectionSlot> connections GUARDED_BY(mu);
  bool running GUARDED_BY(mu) = false;
  bool stopping GUARDED_BY(mu) = false;
  pthread_cond_t stop_cond;  // signalled by stop() to cut test delays short
  int listen_fd = -1;
  int wake[2] = {-1, -1};
  int port = 0;
  std::thread acceptor;

  std::atomic<long> calls{0};
  std::atomic<long> accepted{0};
  std::atomic<long> bad_frames{0};
  std::atomic<int> open{0};
  std::atomic<int> refuse_code{0};
  std::atomic<int> drop_next{0};
  std::atomic<int> delay_ms{0};
  std::atomic<int> idle_timeout_ms{kDefaultIdleTimeoutMs};
  std::atomic<int> max_per_peer{kDefaultMaxConnectionsPerPeer};
  std::atomic<long> closed_idle{0};
  std::atomic<long> refused{0};

  State() { pthread_cond_init(&stop_cond, nullptr); }
  ~State() { pthread_cond_destroy(&stop_cond); }

  void accept_loop();
  void serve(ConnectionSlot* slot);
  int dispatch(uint8_t kind, const std::string& property, const EqData& in, EqData& out);
  void reap_finished_locked() REQUIRES(mu);
  bool make_room_locked(const std::string& peer) REQUIRES(mu);
  int wait_between_frames(ConnectionSlot* slot, SocketReader* reader, std::string* payload,
                          std::string* answer, std::vector<WirePiece>* refs,
                          std::unique_ptr<EqData>* in, std::unique_ptr<EqData>* out);
  bool wait_delay();
};

namespace {

// Best-effort answer to a frame that cannot be read, then the connection ends.
void answer_bad_frame(int fd, const char* why) {
  EqData failure;
  std::string text = std::string(error_code_text(EQ_ERR_PROTOCOL)) + ": " + why;
  failure.set_error(EQ_ERR_PROTOCOL, text);
  std::string frame;
  build_answer(frame, 0, EQ_ERR_PROTOCOL, failure);
  send_all(fd, frame.data(), frame.size(), Deadline::in(1000));
}

}  // namespace

int PropertyServer::State::dispatch(uint8_t kind, const std::string& property, const EqData& in,
                                    EqData& out) {
  PropertyHandler handler;
  {
    DaqLockGuard lock(mu);
    if (kind == kFrameNames) {
      for (const Property& p : properties) out.add_string(p.name);
      if (properties.empty()) out.set_string_array({});
      return 0;
    }
    const Property* found = nullptr;
    for (const Property& p : properties)
      if (p.name == property) found = &p;
    if (found == nullptr) {
      out.set_error(EQ_ERR_UNKNOWN_PROPERTY,
                    std::string(error_code_text(EQ_ERR_UNKNOWN_PROPERTY)) + ": " + property);
      return EQ_ERR_UNKNOWN_PROPERTY;
    }
    handler = kind == kFrameSet ? found->on_set : found->on_get;
  }
  if (!handler) {
    out.set_error(EQ_ERR_NOT_SUPPORTED, std::string(error_code_text(EQ_ERR_NOT_SUPPORTED)) + ": " +
                                            (kind == kFrameSet ? "set of " : "get of ") + property);
    return EQ_ERR_NOT_SUPPORTED;
  }
  int rc;
  try {
    rc = handler(property, in, out);
  } catch (...) {
    out.init();
    rc = EQ_ERR_SERVER_FAILURE;
  }
  if (rc == 0 && out.error() != 0) rc = out.error();
  if (rc != 0 && out.error_text()[0] == '\0')
    out.set_error(rc, std::string(error_code_text(EQ_ERR_SERVER_FAILURE)) + ": " + property);
  else if (rc != 0)
    out.set_error(rc, out.error_text());
  return rc;
}

bool PropertyServer::State::wait_delay() {
  int ms = delay_ms.load();
  if (ms <= 0) return false;
  struct timespec until;
  clock_gettime(CLOCK_REALTIME, &until);
  until.tv_sec += ms / 1000;
  until.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (until.tv_nsec >= 1000000000L) {
    until.tv_sec += 1;
    until.tv_nsec -= 1000000000L;
  }
  DaqLockGuard lock(mu);
  while (!stopping) {
    if (pthread_cond_timedwait(&stop_cond, mu.native(), &until) == ETIMEDOUT) break;
  }
  return stopping;
}

// Waits for the next frame: 1 when it starts arriving, 0 when the connection
// is to end (idle bound, eviction, peer gone or stop).
int PropertyServer::State::wait_between_frames(ConnectionSlot* slot, SocketReader* reader,
                                               std::string* payload, std::string* answer,
                                               std::vector<WirePiece>* refs,
                                               std::unique_ptr<EqData>* in,
                                               std::unique_ptr<EqData>* out) {
  {
    DaqLockGuard lock(mu);
    // Idle since its last frame ended, or since it was accepted: the accept
    // stamp stays so that the order of eviction is the order of arrival.
    if (slot->idle_since_ms == 0) slot->idle_since_ms = monotonic_ms();
  }
  int idle_ms = idle_timeout_ms.load();
  Deadline idle_end = idle_ms > 0 ? Deadline::in(idle_ms) : Deadline::never();
  Deadline release_at = Deadline::in(kReleaseBuffersAfterMs);
  bool keep = idle_ms <= 0 || release_at.at_ms < idle_end.at_ms;
  int ready = reader->wait_readable(keep ? release_at : idle_end);
  if (ready == 0 && keep) {
    // A resting connection gives back what its largest frame made it hold.
    std::string().swap(*payload);
    std::string().swap(*answer);
    std::vector<WirePiece>().swap(*refs);
    *in = std::make_unique<EqData>();
    *out = std::make_unique<EqData>();
    ready = reader->wait_readable(idle_end);
  }
  DaqLockGuard lock(mu);
  if (slot->evicted) return 0;  // counted where it was chosen
  if (ready == 0) closed_idle++;
  slot->idle_since_ms = 0;
  return ready > 0 ? 1 : 0;
}

void PropertyServer::State::serve(ConnectionSlot* slot) {
  int fd = slot->fd;
  auto reader = std::make_unique<SocketReader>(fd);
  std::string property;
  std::string payload;
  std::string answer;
  std::vector<WirePiece> refs;
  auto in = std::make_unique<EqData>();
  auto out = std::make_unique<EqData>();
  for (;;) {
    // Idle between frames up to the idle bound; once a frame starts it must finish in time.
    if (wait_between_frames(slot, reader.get(), &payload, &answer, &refs, &in, &out) == 0) break;
    char head_bytes[kFrameHeadSize];
    size_t got = 0;
    int rc = reader->read(head_bytes, kFrameHeadSize, Deadline::in(kFrameStallMs), &got);
    if (rc != 0) {
      if (got != 0) bad_frames++;
      break;
    }
    FrameHead head;
    const char* bad = decode_frame_head(head_bytes, &head);
    if (bad == nullptr && head.kind == kFrameAnswer) bad = "answer frame sent to a server";
    if (bad == nullptr) {
      bad = receive_request(*reader, head.size, Deadline::in(kFrameStallMs), &payload, &property,
                            in.get(), &rc);
      if (rc != 0) bad = "frame shorter than its size";
    }
    if (bad != nullptr) {
      bad_frames++;
      daq_print("velmor server: closing connection: %s\n", bad);
      answer_bad_frame(fd, bad);
      break;
    }
    int drop = drop_next.load();
    while (drop > 0 && !drop_next.compare_exchange_weak(drop, drop - 1)) {
    }
    if (drop > 0) break;
    if (wait_delay()) break;

    out->init();
    int status = refuse_code.load();
    if (status != 0)
      out->set_error(status, "server refuses calls");
    else
      status = dispatch(head.kind, property, *in, *out);
    answer.clear();
    refs.clear();
    build_answer(answer, head.id, status, *out, &refs);
    calls++;
    if (send_gathered(fd, answer, refs, Deadline::in(kFrameStallMs)) != 0) break;
  }
  DaqLockGuard lock(mu);
  slot->done = true;
  slot->fd = -1;
  close_fd(fd);
  open--;
}

void PropertyServer::State::reap_finished_locked() {
  for (auto it = connections.begin(); it != connections.end();) {
    if (it->done) {
      it->thread.join();  // finished: returns at once
      it = connections.erase(it);
    } else {
      ++it;
    }
  }
}

// Makes room for a newcomer from `peer` at the per-peer and the total cap by
// closing the longest-idle connection in the way; true when one of the caps is
// full of busy connections and the newcomer must be refused. A connection
// with bytes waiting is not idle, even if its thread has not read them yet:
// its request must not be lost. Connections already evicted still run until
// their thread notices, but no longer count.
bool PropertyServer::State::make_room_locked(const std::string& peer) {
  int per_peer_cap = max_per_peer.load();
  for (int pass = 0; pass < 2; ++pass) {
    bool same_peer_only = pass == 0;
    if (same_peer_only && per_peer_cap <= 0) continue;
    int cap = same_peer_only ? per_peer_cap : kMaxConnections;
    int count = 0;
    ConnectionSlot* idlest = nullptr;
    for (ConnectionSlot& c : connections) {
      if (c.done || c.evicted || (same_peer_only && c.peer != peer)) continue;
      ++count;
      if (c.idle_since_ms != 0 && (idlest == nullptr || c.idle_since_ms < idlest->idle_since_ms) &&
          !bytes_waiting(c.fd))
        idlest = &c;
    }
    if (count < cap) continue;
    if (idlest == nullptr) return true;
    idlest->evicted = true;
    shutdown(idlest->fd, SHUT_RDWR);  // wakes its thread, which closes the fd
    closed_idle++;
  }
  return false;
}

void PropertyServer::State::accept_loop() {
  for (;;) {
    struct pollfd p[2] = {{listen_fd, POLLIN, 0}, {wake[0], POLLIN, 0}};
    int rc = poll(p, 2, -1);
    if (rc < 0 && errno == EINTR) continue;
    if (rc < 0 || (p[1].revents & POLLIN)) return;
    std::string peer;
    int fd = accept_connection(listen_fd, &peer);
    if (fd < 0) continue;
    DaqLockGuard lock(mu);
    if (stopping) {
      close_fd(fd);
      return;
    }
    reap_finished_locked();
    if (make_room_locked(peer)) {
      refused++;
      close_fd(fd);
      continue;
    }
    accepted++;
    open++;
    connections.emplace_back();
    ConnectionSlot* slot = &connections.back();
    slot->fd = fd;
    slot->peer = peer;
    slot->idle_since_ms =
        monotonic_ms();  // idle from the start: it may make room before its thread runs
    slot->thread = std::thread([this, slot] { serve(slot); });
  }
}

PropertyServer::PropertyServer() : s_(new State) {}

PropertyServer::~PropertyServer() {
  stop();
  delete s_;
}

bool PropertyServer::start(const char* host, int port) {
  {
    DaqLockGuard lock(s_->mu);
    if (s_->running) {
      daq_line("velmor server: already started");
      return true;
    }
  }
  std::string why;
  int fd = -1;
  int bound = 0;
  if (listen_on(host != nullptr ? host : "127.0.0.1", port, &fd, &bound, &why)) {
    daq_print("velmor server: cannot listen: %s\n", why.c_str());
    return true;
  }
  if (pipe2(s_->wake, O_CLOEXEC) != 0) {
    close_fd(fd);
    daq_line("velmor server: cannot create wake-up pipe");
    return true;
  }
  s_->listen_fd = fd;
  s_->port = bound;
  {
    DaqLockGuard lock(s_->mu);
    s_->running = true;
    s_->stopping = false;
  }
  s_->acceptor = std::thread([this] { s_->accept_loop(); });
  return false;
}

void PropertyServer::stop() {
  {
    DaqLockGuard lock(s_->mu);
    if (!s_->running) return;
    s_->stopping = true;
    pthread_cond_broadcast(&s_->stop_cond);
  }
  char byte = 1;
  ssize_t ignored = write(s_->wake[1], &byte, 1);
  (void)ignored;
  s_->acceptor.join();
  std::list<ConnectionSlot> slots;
  {
    DaqLockGuard lock(s_->mu);
    for (ConnectionSlot& c : s_->connections)
      if (!c.done) shutdown(c.fd, SHUT_RDWR);
    slots.splice(slots.end(), s_->connections);
  }
  for (ConnectionSlot& c : slots) c.thread.join();
  close_fd(s_->listen_fd);
  close_fd(s_->wake[0]);
  close_fd(s_->wake[1]);
  s_->listen_fd = s_->wake[0] = s_->wake[1] = -1;
  DaqLockGuard lock(s_->mu);
  s_->running = false;
}

int PropertyServer::port() const { return s_->port; }

bool PropertyServer::add_property(const std::string& name, PropertyHandler on_set,
                                  PropertyHandler on_get) {
  if (name.empty() || name.size() > kMaxPropertyName) return true;
  DaqLockGuard lock(s_->mu);
  for (Property& p : s_->properties) {
    if (p.name == name) {
      p.on_set = std::move(on_set);
      p.on_get = std::move(on_get);
      return false;
    }
  }
  s_->properties.push_back(Property{name, std::move(on_set), std::move(on_get)});
  return false;
}

bool PropertyServer::remove_property(const std::string& name) {
  DaqLockGuard lock(s_->mu);
  for (auto it = s_->properties.begin(); it != s_->properties.end(); ++it) {
    if (it->name == name) {
      s_->properties.erase(it);
      return false;
    }
  }
  return true;
}

bool PropertyServer::has_property(const std::string& name) const {
  DaqLockGuard lock(s_->mu);
  for (const Property& p : s_->properties)
    if (p.name == name) return true;
  return false;
}

std::vector<std::string> PropertyServer::property_names() const {
  DaqLockGuard lock(s_->mu);
  std::vector<std::string> names;
  for (const Property& p : s_->properties) names.push_back(p.name);
  return names;
}

long PropertyServer::calls_served() const { return s_->calls.load(); }
long PropertyServer::connections_accepted() const { return s_->accepted.load(); }
int PropertyServer::open_connections() const { return s_->open.load(); }
long PropertyServer::bad_frames() const { return s_->bad_frames.load(); }

void PropertyServer::set_idle_timeout_ms(int ms) { s_->idle_timeout_ms.store(ms > 0 ? ms : 0); }
void PropertyServer::set_max_connections_per_peer(int n) { s_->max_per_peer.store(n > 0 ? n : 0); }
long PropertyServer::connections_closed_idle() const { return s_->closed_idle.load(); }
long PropertyServer::connections_refused() const { return s_->refused.load(); }

void PropertyServer::test_refuse_calls(int code) { s_->refuse_code.store(code); }
void PropertyServer::test_drop_next(int n) { s_->drop_next.store(n > 0 ? n : 0); }
void PropertyServer::test_answer_delay_ms(int ms) { s_->delay_ms.store(ms > 0 ? ms : 0); }

}  // namespace velmor
