// LocalServer: the embeddable DAQ data server, so that fetch(local=True) and the
// tests run the whole road inside one process. Each server registers its own
// entry in the in-process name table; devices are numbered so that several
// servers can live side by side.
#include <atomic>
#include <memory>
#include <string>

#include "daqclient.h"

#include "daq_data_server.h"

namespace daqclient {

namespace {

std::atomic<int> next_device{1};

int generation_of(py::handle g) {
  if (g.is_none()) return DAQ_GENERATION_AUTO;
  if (py::isinstance<py::int_>(g)) {
    int v = g.cast<int>();
    if (v == 2024) return DAQ_GENERATION_2024;
    if (v == 0 || v == 32) return DAQ_GENERATION_LEGACY;
  } else {
    std::string s = g.cast<std::string>();
    if (s == "auto") return DAQ_GENERATION_AUTO;
    if (s == "legacy") return DAQ_GENERATION_LEGACY;
    if (s == "2024") return DAQ_GENERATION_2024;
  }
  raise_error("RequestError", -1, "generation must be auto, legacy or 2024");
}

// Keyword options onto the server's options; an unknown keyword is an error so
// that a misspelt fault option cannot silently run the plain server.
void apply_options(DaqServerOptions& o, const py::kwargs& kw) {
  for (auto item : kw) {
    std::string k = item.first.cast<std::string>();
    py::handle v = item.second;
    if (k == "device")
      o.device = v.cast<std::string>();
    else if (k == "facility")
      o.facility = v.cast<std::string>();
    else if (k == "location")
      o.location = v.cast<std::string>();
    else if (k == "catalog_file")
      o.catalog_file = v.cast<std::string>();
    else if (k == "generation")
      o.generation = generation_of(v);
    else if (k == "rate_hz")
      o.rate_hz = v.cast<double>();
    else if (k == "real_time")
      o.real_time = v.cast<bool>();
    else if (k == "origin_sec")
      o.origin_sec = v.cast<int64_t>();
    else if (k == "max_events")
      o.max_events = v.cast<long>();
    else if (k == "max_requests")
      o.max_requests = v.cast<int>();
    else if (k == "prepare_ms")
      o.prepare_ms = v.cast<int>();
    else if (k == "accept_timeout_ms")
      o.accept_timeout_ms = v.cast<int>();
    else if (k == "reply_timeout_ms")
      o.reply_timeout_ms = v.cast<int>();
    else if (k == "verbose")
      o.verbose = v.cast<bool>();
    else if (k == "busy_times")
      o.busy_times = v.cast<int>();
    else if (k == "error_first")
      o.error_first = v.cast<bool>();
    else if (k == "error_final")
      o.error_final = v.cast<bool>();
    else if (k == "processing_times")
      o.processing_times = v.cast<int>();
    else if (k == "echo_changed")
      o.echo_changed = v.cast<bool>();
    else if (k == "port_zero")
      o.port_zero = v.cast<bool>();
    else if (k == "answer_delay_ms")
      o.answer_delay_ms = v.cast<int>();
    else if (k == "drop_after")
      o.drop_after = v.cast<long>();
    else if (k == "stall_after")
      o.stall_after = v.cast<long>();
    else if (k == "stall_ms")
      o.stall_ms = v.cast<int>();
    else if (k == "malformed_after")
      o.malformed_after = v.cast<long>();
    else
      raise_error("RequestError", -1, "unknown server option " + k);
  }
}

class LocalServer {
 public:
  explicit LocalServer(const py::kwargs& kw) {
    o_.device = "PY.LOCAL" + std::to_string(next_device++);
    apply_options(o_, kw);
    server_ = std::make_unique<DaqDataServer>(o_);
  }
  ~LocalServer() { stop(); }

  void start() {
    if (running_) return;
    bool failed;
    {
      py::gil_scoped_release nogil;
      failed = server_->start();
    }
    if (failed) raise_error("DaqError", 1, "the DAQ data server did not start");
    running_ = true;
  }

  void stop() {
    if (!running_) return;
    py::gil_scoped_release nogil;
    server_->stop();
    running_ = false;
  }

  DaqDataServer& s() { return *server_; }
  bool running() const { return running_; }

 private:
  DaqServerOptions o_;
  std::unique_ptr<DaqDataServer> server_;
  bool running_ = false;
};

py::dict summary_dict(const DaqRequestSummary& s) {
  py::dict d;
  d["number"] = s.number;
  d["reply_reads"] = s.reply_reads;
  d["final_read"] = s.final_read;
  d["released"] = s.released;
  d["receiver_came"] = s.receiver_came;
  d["events_sent"] = s.events_sent;
  d["first_event"] = s.first_event;
  d["event_count"] = s.event_count;
  d["gen_2024"] = s.gen_2024;
  d["data_port"] = s.data_port;
  return d;
}

}  // namespace

void register_server(py::module_& m) {
  py::class_<LocalServer>(m, "LocalServer",
                          "The embedded DAQ data server on loopback; keywords are its options "
                          "(catalog_file, generation, rate_hz, drop_after, ...)")
      .def(py::init<const py::kwargs&>())
      .def("start",
           [](py::object self) {
             self.cast<LocalServer&>().start();
             return self;
           })
      .def("stop", &LocalServer::stop)
      .def("__enter__",
           [](py::object self) {
             self.cast<LocalServer&>().start();
             return self;
           })
      .def("__exit__",
           [](LocalServer& s, py::args) {
             s.stop();
             return false;
           })
      .def_property_readonly("running", &LocalServer::running)
      .def_property_readonly(
          "entry", [](LocalServer& s) { return s.s().entry(); },
          "the server-list entry clients use")
      .def_property_readonly("control_port", [](LocalServer& s) { return s.s().control_port(); })
      .def_property_readonly("requests_accepted",
                             [](LocalServer& s) { return s.s().requests_accepted(); })
      .def_property_readonly("active_requests",
                             [](LocalServer& s) { return s.s().active_requests(); })
      .def(
          "summary",
          [](LocalServer& s, int n) -> py::object {
            DaqRequestSummary sum;
            if (!s.s().summary(n, &sum)) return py::none();
            return summary_dict(sum);
          },
          py::arg("number"))
      .def(
          "wait_released",
          [](LocalServer& s, int n, int timeout_ms) {
            py::gil_scoped_release nogil;
            return s.s().wait_released(n, timeout_ms);
          },
          py::arg("number"), py::arg("timeout_ms") = 15000);
  m.attr("HAS_LOCAL_SERVER") = true;
}

}  // namespace daqclient
