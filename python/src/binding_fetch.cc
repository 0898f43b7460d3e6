// Fetch (fetch_run.h): the queue between the fetch thread and the Python
// iterator only smooths the hand-over: flow control stays with the receiver's
// cache, since the fetch thread waits while the queue is full and takes nothing
// more out.
#include <chrono>
#include <string>
#include <utility>

#include "eq_daq_connect.h"
#include "eq_daq_data.h"
#include "fetch_run.h"

namespace daqclient {

namespace {

// Records waiting for Python. Enough to keep both threads busy; the cache
// behind the fetch holds the rest.
constexpr size_t kQueueLimit = 16;

// The receiver's own text of an end-data status (0 when none was set).
std::string end_status_text(int status) {
  EqDAQdata texts(1, 0);
  texts.set_end_data_status(status);
  return texts.get_end_data_status_string();
}

std::vector<std::string> names_of(py::object value) {
  std::vector<std::string> out;
  if (py::isinstance<py::str>(value)) {
    out.push_back(value.cast<std::string>());
  } else if (!value.is_none()) {
    for (py::handle s : value) out.push_back(s.cast<std::string>());
  }
  return out;
}

std::unique_ptr<Fetch> make_fetch(py::object channels, int64_t start_sec, int64_t stop_sec,
                                  py::object servers, const std::string& facility,
                                  const std::string& experiment, bool handshake, int depth,
                                  int increment, int connect_timeout_s, int idle_timeout_ms,
                                  int retries, int request_type, bool accept_period_mismatch) {
  check_facility(facility);
  DaqFetchRequest q;
  q.channels = names_of(channels);
  q.start_sec = start_sec;
  q.stop_sec = stop_sec;
  for (const std::string& s : names_of(servers)) q.servers += (q.servers.empty() ? "" : ":") + s;
  q.facility = facility;
  q.experiment = experiment;
  q.comm_mode = handshake ? DAQ_FETCH_HANDSHAKE : DAQ_FETCH_PUSH;
  q.depth = depth;
  q.increment = increment;
  q.connect_timeout_s = connect_timeout_s;
  q.idle_timeout_ms = idle_timeout_ms;
  q.retries = retries;
  q.accept_period_mismatch = accept_period_mismatch;
  if (request_type != 0) {
    q.prepare = [request_type](EqDAQconnect& c) {
      return c.set_request_type(request_type) != 0
                 ? "request type " + std::to_string(request_type) + ": value refused"
                 : std::string();
    };
  }
  return std::make_unique<Fetch>(q);
}

}  // namespace

py::dict counters_dict(const DaqFetchCounters& c) {
  const DaqReceiverCounters& r = c.received;
  py::dict d;
  d["events_received"] = r.events_received;
  d["bytes_received"] = r.bytes_received;
  d["dropped_events"] = r.dropped_events;
  d["dropped_sub_blocks"] = r.dropped_sub_blocks;
  d["records_evicted"] = r.records_evicted;
  d["pause_requests"] = r.pause_requests;
  d["holds_sent"] = r.holds_sent;
  d["resumes_sent"] = r.resumes_sent;
  d["paused_us"] = r.paused_us;
  d["max_depth"] = r.max_depth;
  d["last_event_received"] = r.last_event;
  d["last_seconds_received"] = r.last_seconds;
  d["last_micros_received"] = r.last_micros;
  d["records_delivered"] = c.records_delivered;
  d["duplicates_skipped"] = c.duplicates_skipped;
  d["reconnects"] = c.reconnects;
  d["last_event"] = c.last_event;
  d["last_seconds"] = c.last_seconds;
  d["last_micros"] = c.last_micros;
  d["elapsed_s"] = c.elapsed_s;
  return d;
}

struct Fetch::Waiting {
  RawRecord raw;
  std::vector<std::string> requested;
};

Fetch::Fetch(const DaqFetchRequest& request)
    : request_(request), fetch_(std::make_unique<DaqFetch>(request)) {}

Fetch::~Fetch() {
  py::gil_scoped_release nogil;
  stop();
}

std::unique_ptr<Fetch::Waiting> Fetch::wait_step(bool* over) {
  py::gil_scoped_release nogil;
  std::unique_lock<std::mutex> lock(lock_);
  // Back to Python every 100 ms for its signals.
  ready_.wait_for(lock, std::chrono::milliseconds(100),
                  [this] { return !queue_.empty() || finished_; });
  *over = false;
  if (queue_.empty()) {
    *over = finished_;
    return nullptr;
  }
  std::unique_ptr<Waiting> item = std::move(queue_.front());
  queue_.pop_front();
  space_.notify_one();
  return item;
}

void Fetch::stop_on_signal() {
  {
    py::gil_scoped_release nogil;
    stop();
  }
  throw py::error_already_set();
}

py::object Fetch::next() {
  if (!started_) start([this](DaqFetchRecord& r) { return offer(r); });
  for (;;) {
    bool over = false;
    std::unique_ptr<Waiting> item = wait_step(&over);
    if (item) return make_record(item->raw, &item->requested);
    if (over) {
      join();
      return py::none();
    }
    if (PyErr_CheckSignals() != 0) stop_on_signal();
  }
}

void Fetch::run_into(const std::function<void(DaqFetchRequest&)>& prepare,
                     const std::function<bool(DaqFetchRecord&)>& deliver) {
  if (started_) raise_error("DaqError", -1, "the fetch has already run");
  // The consumer's hooks go into the request before the fetch copies it; the
  // object made by the constructor was never started, so it is simply replaced.
  prepare(request_);
  fetch_ = std::make_unique<DaqFetch>(request_);
  start(deliver);
  for (;;) {
    bool over = false;
    wait_step(&over);
    if (over) break;
    if (PyErr_CheckSignals() != 0) stop_on_signal();
  }
  py::gil_scoped_release nogil;
  join();
}

void Fetch::stop() {
  fetch_->stop();
  {
    std::lock_guard<std::mutex> guard(lock_);
    closing_ = true;
    queue_.clear();
  }
  space_.notify_all();
  join();
}

int Fetch::result() {
  std::lock_guard<std::mutex> guard(lock_);
  return finished_ ? result_ : -1;
}

void Fetch::start(std::function<bool(DaqFetchRecord&)> deliver) {
  started_ = true;
  std::lock_guard<std::mutex> guard(join_lock_);
  worker_ = std::thread([this, deliver = std::move(deliver)] {
    int rc = fetch_->run(deliver);
    std::lock_guard<std::mutex> guard(lock_);
    result_ = rc;
    finished_ = true;
    ready_.notify_all();
  });
}

// On the fetch thread: queues the record, taking its values over.
bool Fetch::offer(DaqFetchRecord& r) {
  auto item = std::make_unique<Waiting>();
  item->raw.q.event_number = r.event;
  item->raw.q.time = time_stamp{r.seconds, r.micros};
  item->raw.q.names = std::move(r.names);
  item->raw.q.out = r.values;
  r.values = nullptr;
  item->requested = std::move(r.requested);
  std::unique_lock<std::mutex> lock(lock_);
  space_.wait(lock, [this] { return queue_.size() < kQueueLimit || closing_; });
  if (closing_) return false;
  queue_.push_back(std::move(item));
  ready_.notify_one();
  return true;
}

// next() and stop() may meet here from two Python threads; the lock also
// keeps a first next() from starting the thread while another joins.
void Fetch::join() {
  std::lock_guard<std::mutex> guard(join_lock_);
  if (worker_.joinable()) worker_.join();
}

void register_fetch(py::module_& m) {
  m.attr("FETCH_OK") = static_cast<int>(DAQ_FETCH_OK);
  m.attr("FETCH_BAD_REQUEST") = static_cast<int>(DAQ_FETCH_BAD_REQUEST);
  m.attr("FETCH_HANDSHAKE_FAILED") = static_cast<int>(DAQ_FETCH_HANDSHAKE_FAILED);
  m.attr("FETCH_NO_STREAM") = static_cast<int>(DAQ_FETCH_NO_STREAM);
  m.attr("FETCH_LINK_FAILED") = static_cast<int>(DAQ_FETCH_LINK_FAILED);
  m.attr("FETCH_STREAM_BROKEN") = static_cast<int>(DAQ_FETCH_STREAM_BROKEN);
  m.attr("FETCH_DROPPED") = static_cast<int>(DAQ_FETCH_DROPPED);
  m.attr("FETCH_STOPPED") = static_cast<int>(DAQ_FETCH_STOPPED);
  m.attr("FETCH_DEFAULT_RETRIES") = static_cast<int>(DAQ_FETCH_DEFAULT_RETRIES);

  py::class_<Fetch>(m, "Fetch",
                    "One acquisition from request to last record (DaqFetch), run on a thread "
                    "of its own; fetch() is its Python face")
      .def(py::init(&make_fetch), py::arg("channels"), py::arg("start_sec"), py::arg("stop_sec"),
           py::arg("servers") = py::none(), py::arg("facility") = "", py::arg("experiment") = "",
           py::arg("handshake") = false, py::arg("depth") = 0, py::arg("increment") = 0,
           py::arg("connect_timeout_s") = 0, py::arg("idle_timeout_ms") = -1,
           py::arg("retries") = static_cast<int>(DAQ_FETCH_DEFAULT_RETRIES),
           py::arg("request_type") = 0, py::arg("accept_period_mismatch") = false)
      .def("next", &Fetch::next,
           "The next record in event order (starts the fetch); None once it has ended")
      .def(
          "stop",
          [](Fetch& f) {
            py::gil_scoped_release nogil;
            f.stop();
          },
          "Ends the fetch and joins its thread (safe from another Python thread)")
      .def_property_readonly("result", &Fetch::result,
                             "the fetch's result code (FETCH_*), -1 while it runs")
      .def_property_readonly("error", [](Fetch& f) { return f.fetch().error(); })
      .def_property_readonly("connect_code", [](Fetch& f) { return f.fetch().connect_code(); })
      .def_property_readonly("end_data_status", [](Fetch& f) { return f.fetch().end_status(); })
      .def_property_readonly("end_data_status_text",
                             [](Fetch& f) { return end_status_text(f.fetch().end_status()); })
      .def_property_readonly("dropped_events", [](Fetch& f) { return f.fetch().dropped_events(); })
      .def_property_readonly("dropped_sub_blocks",
                             [](Fetch& f) { return f.fetch().dropped_sub_blocks(); })
      .def(
          "counters", [](Fetch& f) { return counters_dict(f.fetch().counters()); },
          "What the fetch has done so far, as a dict (any time, also while it runs)");
}

}  // namespace daqclient
