// The DAQ data server: the request handshake over the property server, and the
// bookkeeping of accepted requests.
//
// Each accepted request is an ActiveRequest held by shared_ptr, so a handler can
// keep using one while the housekeeper releases it. The server lock guards the
// request table, the summaries and the script counters; it is never held while
// a stream thread is joined or the property server is stopped.
//
// A request holds a slot until its stream is over (the receiver ended it, never
// came within the accept timeout, or stalled), whether or not its final answer
// was read; its reply property stays until that answer was read (or the reply
// timeout), so a client that comes late still learns what became of it. A
// client that retries sends the same document under the same id again; that
// retry takes the place of the earlier request it gave up, so a client's
// retries cannot fill the server.
#include "daq_data_server.h"

#include <unistd.h>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <thread>

#include "cached_readers.h"
#include "channel_catalog.h"
#include "daq_diag.h"
#include "daq_mutex.h"
#include "daq_server_util_def.h"
#include "daq_text.h"
#include "data_stream.h"
#include "decimal_text.h"
#include "orxa_chan_descr.h"
#include "orxa_xml.h"
#include "request_plan.h"
#include "spare_listener.h"
#include "stream_threads.h"
#include "velmor_server.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kHousekeepingMs = 20;
constexpr size_t kKeptSummaries = 1024;

struct ActiveRequest {
  ActiveRequest() { clean_reply(&echo); }
  ~ActiveRequest() { clean_reply(&echo); }
  ActiveRequest(const ActiveRequest&) = delete;
  ActiveRequest& operator=(const ActiveRequest&) = delete;

  int number = 0;
  unsigned id = 0;
  std::vector<char> request_xml;  // as received: a retry is known by its document
  // The request as read, before planning completed it: what every final answer
  // echoes. Without a whole copy the document is read again.
  daq_server_reply echo;
  bool echo_kept = false;
  RequestPlan plan;
  std::unique_ptr<DataStream> stream;
  int processing_left = 0;
  Clock::time_point accepted;
  Clock::time_point ready_at;
  bool final_read = false;
  bool release_now = false;  // the client will not come for the stream
  bool superseded = false;   // a retry took its place: it answers no more
};

std::vector<char> terminated_copy(const char* text) {
  std::vector<char> copy(text, text + std::strlen(text));
  copy.push_back('\0');
  return copy;
}

void answer_simple(velmor::EqData& out, const char* reason, unsigned id, int number) {
  char info[DAQ_REASON_SIZE];
  copy_text(info, reason);
  std::string doc;
  if (number > 0) {
    get_simple_reply_with_port(info, doc, id, static_cast<unsigned>(number));
  } else {
    get_simple_reply(info, doc, id);
  }
  out.set_xml(doc);
}

void push_copy(std::vector<char*>* list, const std::string& text) {
  char* copy = strdup(text.c_str());
  if (copy != nullptr) list->push_back(copy);
}

std::string announced_host(const std::string& host) {
  if (host.empty() || host == "0.0.0.0") return "127.0.0.1";
  return host;
}

}  // namespace

struct DaqDataServer::State {
  DaqServerOptions options;
  ChannelCatalog catalog;
  velmor::PropertyServer server;
  std::string name_key;
  bool registered = false;
  std::atomic<bool> started{false};
  std::atomic<bool> stopping{false};
  bool catalog_refused = false;
  std::thread housekeeper;
  SAX_Parser_Cache parsers;  // shared by the handler threads
  // Before the stream threads, which refill it.
  SpareListener spare_listener;
  // Before the requests: their streams end before its threads do.
  StreamThreads stream_threads;

  mutable DaqMutex lock;
  std::map<int, std::shared_ptr<ActiveRequest>> active GUARDED_BY(lock);
  std::map<int, DaqRequestSummary> summaries GUARDED_BY(lock);
  int busy_left GUARDED_BY(lock) = 0;
  int last_number GUARDED_BY(lock) = 0;
  long accepted GUARDED_BY(lock) = 0;
  long answered GUARDED_BY(lock) = 0;

  std::string entry() const {
    return options.facility + "/" + options.device + "/" + options.location + "/";
  }
  void delay_answer() const;
  int on_request(const velmor::EqData& in, velmor::EqData& out);
  int on_reply(int number, velmor::EqData& out);
  std::string final_reply(const ActiveRequest& r);
  bool accept_locked(daq_server_reply* parsed, std::string* reason, int* number) REQUIRES(lock);
  int held_locked() const REQUIRES(lock);
  std::vector<int> supersede_locked(unsigned id, const std::vector<char>& xml) REQUIRES(lock);
  void housekeeping();
  void release(const std::shared_ptr<ActiveRequest>& r);
};

// Requests that count against max_requests: those about to be released and
// those whose stream is over do not.
int DaqDataServer::State::held_locked() const {
  int n = 0;
  for (const auto& kv : active) {
    const ActiveRequest& r = *kv.second;
    n += r.release_now || (r.stream && r.stream->finished()) ? 0 : 1;
  }
  return n;
}

// Marks for release the requests that a retry (same non-zero id, same document)
// replaces; their numbers. Ids are not unique (two connections made in the same
// second of one process share one), so only a request that nobody can be using
// is replaced: its receiver has not come, and its final answer was not handed
// out or was one the client cannot go on with. The housekeeper releases them,
// so the retry's answer does not wait for a stream thread to end.
std::vector<int> DaqDataServer::State::supersede_locked(unsigned id, const std::vector<char>& xml) {
  std::vector<int> numbers;
  if (id == 0) return numbers;
  for (auto& kv : active) {
    ActiveRequest& r = *kv.second;
    if (r.release_now || r.id != id || r.request_xml != xml) continue;
    if (r.stream && r.stream->receiver_came()) continue;
    if (r.final_read) continue;
    r.release_now = true;
    r.superseded = true;
    numbers.push_back(r.number);
  }
  return numbers;
}

void DaqDataServer::State::delay_answer() const {
  auto until = Clock::now() + std::chrono::milliseconds(options.answer_delay_ms);
  while (!stopping && Clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

// Plans and registers an accepted request; false with *reason when it cannot be served.
bool DaqDataServer::State::accept_locked(daq_server_reply* parsed, std::string* reason,
                                         int* number) {
  daq_server_request* request = &parsed->request;
  PlanSettings settings;
  settings.rate_hz = options.rate_hz;
  settings.origin_sec = options.origin_sec;
  settings.now_sec = static_cast<int64_t>(std::time(nullptr));
  settings.max_events = options.max_events;
  settings.generation = options.generation;
  auto r = std::make_shared<ActiveRequest>();
  r->echo_kept = !copy_reply(&r->echo, parsed);
  r->plan = plan_request(request, catalog, settings);
  if (!r->plan.error.empty()) {
    *reason = r->plan.error;
    return false;
  }
  r->number = last_number + 1;
  if (!r->plan.channel_list_only) {
    StreamSettings s;
    s.rate_hz = options.rate_hz;
    s.real_time = options.real_time;
    s.handshake = request->comm_mode == ORXA_DAQ_COMM_HNDS;
    s.accept_timeout_ms = options.accept_timeout_ms;
    s.drop_after = options.drop_after;
    s.stall_after = options.stall_after;
    s.stall_ms = options.stall_ms;
    s.malformed_after = options.malformed_after;
    s.verbose = options.verbose;
    s.number = r->number;
    s.send_stall_ms = options.send_stall_ms;
    s.spare = &spare_listener;
    r->stream = std::make_unique<DataStream>(r->plan, s, entry());
    if (r->stream->open(options.data_host.c_str()) != 0) {
      *reason = "ERROR: cannot open a data link";
      return false;
    }
  }
  char property[32];
  std::snprintf(property, sizeof property, "DAQ.REP%d", r->number);
  int n = r->number;
  server.add_property(property, nullptr,
                      [this, n](const std::string&, const velmor::EqData&, velmor::EqData& out) {
                        return on_reply(n, out);
                      });
  last_number = n;
  ++accepted;
  r->processing_left = options.processing_times;
  r->accepted = Clock::now();
  r->ready_at = r->accepted + std::chrono::milliseconds(options.prepare_ms);
  if (r->stream) r->stream->start(&stream_threads);
  DaqRequestSummary summary;
  summary.number = n;
  summary.first_event = r->plan.first_event;
  summary.event_count = r->plan.event_count;
  summary.gen_2024 = r->plan.gen_2024;
  summary.data_port = r->stream ? r->stream->port() : 0;
  summaries[n] = summary;
  if (summaries.size() > kKeptSummaries) summaries.erase(summaries.begin());
  active[n] = r;
  *number = n;
  if (options.verbose) {
    daq_print("daq-server: DAQ.REP%d accepted: %llu events from %llu, data port %d\n", n,
              static_cast<unsigned long long>(r->plan.event_count),
              static_cast<unsigned long long>(r->plan.first_event), summary.data_port);
  }
  return true;
}

int DaqDataServer::State::on_request(const velmor::EqData& in, velmor::EqData& out) {
  delay_answer();
  std::vector<char> xml = terminated_copy(in.get_xml());
  daq_server_reply parsed;  // only its request is used
  clean_reply(&parsed);
  int rc = parse_daq_request(xml.data(), &parsed.request, &parsers);
  unsigned id = parsed.request.id;
  std::string reason;
  int number = 0;
  std::vector<int> replaced;
  {
    DaqLockGuard guard(lock);
    ++answered;
    if (rc == 0 && busy_left == 0) replaced = supersede_locked(id, xml);
    if (rc != 0) {
      reason = "ERROR: the request document cannot be read";
    } else if (busy_left > 0) {
      --busy_left;
      reason = "BUSY";
    } else if (held_locked() >= options.max_requests) {
      reason = "BUSY";
    } else if (options.error_first) {
      reason = "ERROR: this server is set to refuse every request";
    } else if (accept_locked(&parsed, &reason, &number)) {
      active[number]->request_xml = std::move(xml);
      active[number]->id = id;
    }
  }
  clean_reply(&parsed);
  for (int n : replaced) {
    if (options.verbose)
      daq_print("daq-server: DAQ.REP%d replaced by a retry of the same request\n", n);
  }
  answer_simple(out, number > 0 ? "Request accepted" : reason.c_str(), id, number);
  return 0;
}

std::string DaqDataServer::State::final_reply(const ActiveRequest& r) {
  daq_server_reply reply;
  clean_reply(&reply);
  if (!r.echo_kept || copy_reply(&reply, const_cast<daq_server_reply*>(&r.echo))) {
    clean_reply(&reply);
    std::vector<char> xml = r.request_xml;
    parse_daq_request(xml.data(), &reply.request, &parsers);
  }
  if (options.echo_changed) copy_text(reply.request.exp, "changed-by-server");
  const RequestPlan& plan = r.plan;
  reply.stat.t_start_sec = plan.t_start;
  reply.stat.t_stop_sec = plan.t_stop;
  reply.stat.files = plan.runs;
  reply.stat.fids = plan.runs;
  reply.stat.events =
      static_cast<int>(std::min<uint64_t>(plan.event_count, static_cast<uint64_t>(INT_MAX)));
  reply.stat.data_loc = 0x1;
  for (const std::string& f : plan.found_files) push_copy(&reply.stat.file_list, f);
  for (const std::string& c : plan.nf_channels) push_copy(&reply.stat.nf_chan_list, c);
  for (const std::string& f : plan.nf_files) push_copy(&reply.stat.nf_file_list, f);
  {
    DaqLockGuard guard(lock);
    reply.stat.avail = std::max(0, options.max_requests - held_locked());
  }
  if (r.stream && !options.port_zero) {
    reply.port = r.stream->port();
    copy_text(reply.host, announced_host(options.data_host).c_str());
  }
  reply.evid64bitmode = plan.gen_2024;
  if (options.error_final) {
    copy_text(reply.reason, "ERROR: this server is set to fail the final answer");
  } else {
    // Put together without printf, which cost as much as the rest of this answer.
    std::string reason = "OK: ";
    append_decimal(reason, static_cast<unsigned long long>(plan.event_count));
    reason += " events, ";
    append_decimal(reason, plan.event_channels.size() + plan.slow_channels.size());
    reason += " channels";
    copy_text(reply.reason, reason.c_str());
  }
  std::vector<chan_descr_2010*> descriptions;
  if (plan.channel_list_only) {
    std::vector<const CatalogChannel*> all = plan.event_channels;
    all.insert(all.end(), plan.slow_channels.begin(), plan.slow_channels.end());
    ChannelCatalog::describe(all, &descriptions);
  }
  std::string doc;
  create_xml_daq_reply(&reply, doc, descriptions.empty() ? nullptr : &descriptions);
  clean_chan_desr_list(&descriptions);
  clean_reply(&reply);
  return doc;
}

int DaqDataServer::State::on_reply(int number, velmor::EqData& out) {
  delay_answer();
  std::shared_ptr<ActiveRequest> r;
  unsigned id = 0;
  bool found = false;
  {
    DaqLockGuard guard(lock);
    auto it = active.find(number);
    // A replaced request must not hand out its port: a receiver would come to a
    // stream about to be ended.
    if (it != active.end() && !it->second->superseded) r = it->second;
    if (r) ++summaries[number].reply_reads;
    if (r) {
      found = true;
      id = r->id;
      if (r->processing_left > 0 || Clock::now() < r->ready_at) {
        if (r->processing_left > 0) --r->processing_left;
        r.reset();
      } else {
        r->final_read = true;  // from here on no retry replaces it
      }
    }
  }
  if (!r) {
    if (!found) {
      out.set_error(velmor::EQ_ERR_UNKNOWN_PROPERTY, "no such reply");
      return velmor::EQ_ERR_UNKNOWN_PROPERTY;
    }
    answer_simple(out, "Processing", id, 0);
    return 0;
  }
  out.set_xml(final_reply(*r));
  DaqLockGuard guard(lock);
  if (!r->stream || options.port_zero || options.error_final || options.echo_changed) {
    r->release_now = true;
  }
  summaries[number].final_read = true;
  return 0;
}

void DaqDataServer::State::release(const std::shared_ptr<ActiveRequest>& r) {
  char property[32];
  std::snprintf(property, sizeof property, "DAQ.REP%d", r->number);
  server.remove_property(property);
  if (r->stream) r->stream->stop();
  DaqLockGuard guard(lock);
  auto it = summaries.find(r->number);
  if (it == summaries.end()) return;
  it->second.released = true;
  if (r->stream) {
    it->second.receiver_came = r->stream->receiver_came();
    it->second.events_sent = r->stream->events_sent();
    r->stream->control_summary(&it->second);
  }
}

void DaqDataServer::State::housekeeping() {
  while (!stopping) {
    std::vector<std::shared_ptr<ActiveRequest>> done;
    {
      DaqLockGuard guard(lock);
      auto now = Clock::now();
      for (auto it = active.begin(); it != active.end();) {
        const ActiveRequest& r = *it->second;
        bool stream_over = !r.stream || r.stream->finished();
        bool expired =
            !r.final_read && now - r.accepted > std::chrono::milliseconds(options.reply_timeout_ms);
        if (r.release_now || (r.final_read && stream_over) || expired) {
          done.push_back(it->second);
          it = active.erase(it);
        } else {
          ++it;
        }
      }
    }
    // Every stream is told first, so their threads end side by side.
    for (const auto& r : done) {
      if (r->stream) r->stream->request_stop();
    }
    for (const auto& r : done) release(r);
#ifdef __GLIBC__
    // Streams free their buffers in many small pieces; give the pages back, so
    // the server shrinks again after a burst of requests.
    if (!done.empty()) malloc_trim(0);
#endif
    std::this_thread::sleep_for(std::chrono::milliseconds(kHousekeepingMs));
  }
}

DaqDataServer::DaqDataServer(const DaqServerOptions& options) : s_(new State) {
  s_->options = options;
  DaqLockGuard guard(s_->lock);
  s_->busy_left = options.busy_times;
}

DaqDataServer::~DaqDataServer() {
  stop();
  delete s_;
}

bool DaqDataServer::start() {
  if (s_->started) return true;
  s_->catalog_refused = false;
  if (s_->options.catalog_file.empty()) {
    s_->catalog = ChannelCatalog::builtin();
  } else {
    std::string error;
    if (s_->catalog.load_file(s_->options.catalog_file, &error)) {
      daq_line(error.c_str());
      s_->catalog_refused = true;
      return true;
    }
  }
  State* s = s_;
  s_->server.add_property(
      "DAQ.REQ",
      [s](const std::string&, const velmor::EqData& in, velmor::EqData& out) {
        return s->on_request(in, out);
      },
      nullptr);
  s_->server.set_idle_timeout_ms(s_->options.idle_timeout_ms);
  s_->server.set_max_connections_per_peer(s_->options.max_per_peer);
  if (s_->server.start(s_->options.control_host.c_str(), s_->options.control_port)) return true;
  if (s_->options.register_name) {
    s_->name_key = s_->options.facility + "/" + s_->options.device;
    s_->registered = !velmor::register_server(
        s_->name_key.c_str(), announced_host(s_->options.control_host).c_str(), s_->server.port());
  }
  s_->stopping = false;
  s_->started = true;
  s_->housekeeper = std::thread([s] { s->housekeeping(); });
  return false;
}

void DaqDataServer::stop() {
  if (!s_->started) return;
  s_->stopping = true;
  if (s_->housekeeper.joinable()) s_->housekeeper.join();
  std::vector<std::shared_ptr<ActiveRequest>> left;
  {
    DaqLockGuard guard(s_->lock);
    for (auto& kv : s_->active) left.push_back(kv.second);
    s_->active.clear();
  }
  for (const auto& r : left) {
    if (r->stream) r->stream->request_stop();
  }
  for (const auto& r : left) s_->release(r);
  // Every stream has ended, so no thread refills it any more.
  s_->spare_listener.clear();
  s_->server.remove_property("DAQ.REQ");
  s_->server.stop();
  if (s_->registered) velmor::unregister_server(s_->name_key.c_str());
  s_->registered = false;
  s_->started = false;
}

bool DaqDataServer::catalog_refused() const { return s_->catalog_refused; }

int DaqDataServer::control_port() const { return s_->server.port(); }

std::string DaqDataServer::entry() const { return s_->entry(); }

int DaqDataServer::active_requests() const {
  DaqLockGuard guard(s_->lock);
  return static_cast<int>(s_->active.size());
}

long DaqDataServer::requests_accepted() const {
  DaqLockGuard guard(s_->lock);
  return s_->accepted;
}

long DaqDataServer::requests_answered() const {
  DaqLockGuard guard(s_->lock);
  return s_->answered;
}

bool DaqDataServer::summary(int number, DaqRequestSummary* out) const {
  DaqLockGuard guard(s_->lock);
  auto it = s_->summaries.find(number);
  if (it == s_->summaries.end()) return false;
  *out = it->second;
  auto live = s_->active.find(number);
  if (live != s_->active.end() && live->second->stream) {
    const DataStream& stream = *live->second->stream;
    out->receiver_came = stream.receiver_came();
    out->events_sent = stream.events_sent();
    stream.control_summary(out);
  }
  return true;
}

std::vector<DaqControlRecord> DaqDataServer::control_log(int number) const {
  DaqRequestSummary s;
  if (!summary(number, &s)) return {};
  return s.control;
}

bool DaqDataServer::wait_released(int number, int timeout_ms) const {
  auto until = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    DaqRequestSummary s;
    if (summary(number, &s) && s.released) return true;
    if (Clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}
