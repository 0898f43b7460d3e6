// Connection: the request builder and handshake of EqDAQconnect, one object per
// Python Connection with its own control-system call object. connect() runs
// without the GIL, so another Python thread can cancel it; the flag is the
// connection's own atomic, the only thing the two threads share.
//
// Reply: an independent deep copy (copy_reply) of a server's final answer, which
// a Receiver copies again with set_reply.
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "daq_text.h"
#include "daqclient.h"
#include "eq_daq_connect.h"
#include "orxa_chan_descr.h"

namespace daqclient {

namespace {

std::vector<std::string> texts_of(const std::vector<char*>& list) {
  std::vector<std::string> out;
  for (const char* t : list)
    if (t != nullptr) out.emplace_back(t);
  return out;
}

py::dict request_dict(const daq_server_request& r) {
  py::dict d;
  d["id"] = r.id;
  d["t_start"] = std::string(r.t_start);
  d["t_start_sec"] = r.t_start_sec;
  d["t_stop"] = std::string(r.t_stop);
  d["t_stop_sec"] = r.t_stop_sec;
  d["run_first"] = r.run_first;
  d["run_last"] = r.run_last;
  d["experiment"] = std::string(r.exp);
  d["data_dir"] = r.ddir;
  d["ctl_dir"] = r.cdir;
  d["conf_file"] = std::string(r.conf_file);
  py::list channels;
  for (const daq_channel_entry* c : r.chan_list) {
    if (c == nullptr || c->name == nullptr) continue;
    const orxa_chan_prms& p = c->prms;
    channels.append(py::make_tuple(std::string(c->name), p.start, p.inc, p.length, p.func, p.tstart,
                                   p.tinc, p.tlength));
  }
  d["channels"] = channels;
  d["files"] = texts_of(r.file_list);
  d["scan_mode"] = r.scan_mode;
  d["comm_mode"] = r.comm_mode;
  d["request_type"] = r.req_type;
  return d;
}

// The channel descriptions of a channel-list answer (request type 2); texts are
// read within their fields, as a peer may leave them unterminated.
py::list descriptions(std::vector<chan_descr_2010*>* list) {
  py::list out;
  if (list == nullptr) return out;
  auto text = [](const auto& field) { return std::string(field, field_length(field)); };
  for (const chan_descr_2010* d : *list) {
    if (d == nullptr) continue;
    py::dict e;
    e["prop_name"] = text(d->prop_name);
    e["daq_name"] = text(d->daq_name);
    e["prop_desc"] = text(d->prop_desc);
    e["units"] = text(d->units);
    e["subsystem"] = text(d->subsystem);
    e["dtype"] = d->dtype;
    e["ev_type"] = d->ev_type;
    e["stream"] = d->stream;
    e["count"] = d->count;
    e["max_size"] = d->max_size;
    e["ndims"] = d->ndims;
    out.append(e);
  }
  return out;
}

class Reply {
 public:
  explicit Reply(daq_server_reply* source) {
    clean_reply(&reply_);
    if (copy_reply(&reply_, source)) {
      clean_reply(&reply_);
      throw std::bad_alloc();
    }
  }
  ~Reply() { clean_reply(&reply_); }
  Reply(const Reply&) = delete;
  Reply& operator=(const Reply&) = delete;

  daq_server_reply* get() { return &reply_; }
  const daq_server_reply& r() const { return reply_; }

 private:
  daq_server_reply reply_;
};

class Connection {
 public:
  explicit Connection(const std::string& facility)
      : connection_(&call_, facility.empty() ? nullptr : facility.c_str()) {
    check_facility(facility);
  }

  EqDAQconnect& c() { return connection_; }

  // Result of a setter: -1 means the value was refused and nothing was stored.
  static void check(int rc, const char* what) {
    if (rc != 0) raise_error("RequestError", rc, std::string(what) + " rejected the value");
  }

  // Numbers and datetimes become the request's time text (daqclient._times):
  // the validation reads only the texts. Texts and instants the protocol would
  // misread are refused there with a RequestError.
  void set_time(py::handle value, bool start) {
    py::object times = py::module_::import("daqclient._times");
    const char* what = start ? "start" : "stop";
    const char* convert =
        py::isinstance<py::str>(value) ? "checked_time_text" : "request_time_text";
    std::string t = times.attr(convert)(value, what).cast<std::string>();
    int rc = start ? connection_.set_start_time(t.c_str()) : connection_.set_stop_time(t.c_str());
    check(rc, start ? "set_start_time" : "set_stop_time");
  }

  void add_channel(const std::string& name, py::object length, py::object start, py::object inc,
                   py::object func) {
    const char* n = name.c_str();
    int rc;
    if (length.is_none()) {
      if (!start.is_none() || !inc.is_none() || !func.is_none())
        raise_error("RequestError", -1, "add_channel: start, inc and func need a length");
      rc = connection_.add_channel(n);
    } else {
      bool as_time = py::isinstance<py::float_>(length) || py::isinstance<py::float_>(start) ||
                     py::isinstance<py::float_>(inc);
      if (start.is_none() && (!inc.is_none() || !func.is_none()))
        raise_error("RequestError", -1, "add_channel: inc and func need a start");
      if (inc.is_none() && !func.is_none())
        raise_error("RequestError", -1, "add_channel: func needs an inc");
      if (as_time) {
        float l = length.cast<float>();
        if (start.is_none())
          rc = connection_.add_channel(n, l);
        else if (inc.is_none())
          rc = connection_.add_channel(n, l, start.cast<float>());
        else if (func.is_none())
          rc = connection_.add_channel(n, l, start.cast<float>(), inc.cast<float>());
        else
          rc = connection_.add_channel(n, l, start.cast<float>(), inc.cast<float>(),
                                       func.cast<int>());
      } else {
        int l = length.cast<int>();
        if (start.is_none())
          rc = connection_.add_channel(n, l);
        else if (inc.is_none())
          rc = connection_.add_channel(n, l, start.cast<int>());
        else if (func.is_none())
          rc = connection_.add_channel(n, l, start.cast<int>(), inc.cast<int>());
        else
          rc = connection_.add_channel(n, l, start.cast<int>(), inc.cast<int>(), func.cast<int>());
      }
    }
    if (rc == -2) raise_error("RequestError", rc, "add_channel: out of memory");
    check(rc, "add_channel");
  }

  // connect() runs on a thread of its own while this one waits without the GIL,
  // looking at Python's signals every 100 ms: Ctrl-C cancels the handshake
  // (the flag is cleared again afterwards, as it was before the call).
  int connect_interruptibly(const std::string& whom) {
    std::promise<int> result;
    std::future<int> done = result.get_future();
    std::thread worker(
        [this, &whom, &result] { result.set_value(connection_.connect(whom.c_str())); });
    for (;;) {
      bool ready;
      {
        py::gil_scoped_release nogil;
        ready = done.wait_for(std::chrono::milliseconds(100)) == std::future_status::ready;
      }
      if (ready) break;
      if (PyErr_CheckSignals() != 0) {
        bool was_cancelled = connection_.get_connect_cancel();
        connection_.set_connect_cancel(true);
        {
          py::gil_scoped_release nogil;
          worker.join();
        }
        connection_.set_connect_cancel(was_cancelled);
        throw py::error_already_set();
      }
    }
    worker.join();
    return done.get();
  }

  std::unique_ptr<Reply> connect(py::object servers) {
    std::string whom;
    if (py::isinstance<py::str>(servers)) {
      whom = servers.cast<std::string>();
    } else if (!servers.is_none()) {
      for (py::handle s : servers) {
        if (!whom.empty()) whom += ':';
        whom += s.cast<std::string>();
      }
    }
    int rc = connect_interruptibly(whom);
    if (rc != EQ_DAQ_CONNECT_OK) {
      std::string text = connection_.get_error(rc);
      std::string reason = connection_.get_reply_error();
      if (text == "Unknown") text = "request rejected (validation code " + std::to_string(rc) + ")";
      raise_error("ConnectError", rc, text, reason);
    }
    return std::make_unique<Reply>(connection_.get_server_reply());
  }

 private:
  velmor::EqCall call_;  // before connection_, which keeps a pointer to it
  EqDAQconnect connection_;
};

template <class Setter>
auto int_setter(Setter setter, const char* name) {
  return [setter, name](py::object self, int value) {
    Connection& c = self.cast<Connection&>();
    Connection::check((c.c().*setter)(value), name);
    return self;
  };
}

template <class Setter>
auto text_setter(Setter setter, const char* name) {
  return [setter, name](py::object self, const std::string& value) {
    Connection& c = self.cast<Connection&>();
    Connection::check((c.c().*setter)(value.c_str()), name);
    return self;
  };
}

}  // namespace

// A facility name without a server list of its own would silently fall back to
// the LUMAR servers.
void check_facility(const std::string& facility) {
  if (!facility.empty() && !EqDAQconnect::known_facility(facility.c_str()))
    raise_error("RequestError", -1,
                "unknown facility '" + facility + "' (known: LUMAR, NOVIK, VENDA, TARSEN)");
}

// The deep copy a Receiver takes its reply from.
daq_server_reply* reply_of(py::handle reply) { return reply.cast<Reply&>().get(); }

void register_connection(py::module_& m) {
  py::class_<Reply>(m, "Reply", "A DAQ data server's final answer (a deep copy)")
      .def_property_readonly("host", [](const Reply& r) { return std::string(r.r().host); })
      .def_property_readonly("port", [](const Reply& r) { return r.r().port; })
      .def_property_readonly("evid64bitmode", [](const Reply& r) { return r.r().evid64bitmode; })
      .def_property_readonly("reason", [](const Reply& r) { return std::string(r.r().reason); })
      .def_property_readonly("t_start_sec", [](const Reply& r) { return r.r().stat.t_start_sec; })
      .def_property_readonly("t_stop_sec", [](const Reply& r) { return r.r().stat.t_stop_sec; })
      .def_property_readonly("files", [](const Reply& r) { return r.r().stat.files; })
      .def_property_readonly("fids", [](const Reply& r) { return r.r().stat.fids; })
      .def_property_readonly("events", [](const Reply& r) { return r.r().stat.events; })
      .def_property_readonly("data_loc", [](const Reply& r) { return r.r().stat.data_loc; })
      .def_property_readonly("avail", [](const Reply& r) { return r.r().stat.avail; })
      .def_property_readonly("file_list",
                             [](const Reply& r) { return texts_of(r.r().stat.file_list); })
      .def_property_readonly("not_found_channels",
                             [](const Reply& r) { return texts_of(r.r().stat.nf_chan_list); })
      .def_property_readonly("not_found_files",
                             [](const Reply& r) { return texts_of(r.r().stat.nf_file_list); })
      .def_property_readonly(
          "request", [](const Reply& r) { return request_dict(r.r().request); },
          "the request as the server echoed it")
      .def("__repr__", [](const Reply& r) {
        return "<Reply " + std::string(r.r().host) + ":" + std::to_string(r.r().port) + " \"" +
               r.r().reason + "\">";
      });

  py::class_<Connection>(m, "Connection",
                         "A request to the DAQ data servers of a facility (None: the default list, "
                         "or ORXA_DAQ_SERVERS when set)")
      .def(py::init([](py::object facility) {
             return std::make_unique<Connection>(facility.is_none() ? std::string()
                                                                    : facility.cast<std::string>());
           }),
           py::arg("facility") = py::none())
      .def(
          "init",
          [](py::object self, py::object facility) {
            std::string f = facility.is_none() ? std::string() : facility.cast<std::string>();
            check_facility(f);
            self.cast<Connection&>().c().init(f.empty() ? nullptr : f.c_str());
            return self;
          },
          py::arg("facility") = py::none())
      .def(
          "set_start_time",
          [](py::object self, py::object t) {
            self.cast<Connection&>().set_time(t, true);
            return self;
          },
          py::arg("time"), "text (zone of ORXA_EXP_TIMEZONE), seconds since 1970 or a datetime")
      .def("set_start_seconds",
           int_setter(static_cast<int (EqDAQconnect::*)(int)>(&EqDAQconnect::set_start_time),
                      "set_start_time"))
      .def("set_stop_seconds",
           int_setter(static_cast<int (EqDAQconnect::*)(int)>(&EqDAQconnect::set_stop_time),
                      "set_stop_time"))
      .def(
          "set_stop_time",
          [](py::object self, py::object t) {
            self.cast<Connection&>().set_time(t, false);
            return self;
          },
          py::arg("time"))
      .def("set_experiment", text_setter(&EqDAQconnect::set_experiment, "set_experiment"))
      .def("set_data_dir", text_setter(&EqDAQconnect::set_data_dir, "set_data_dir"))
      .def("set_ctl_dir", text_setter(&EqDAQconnect::set_ctl_dir, "set_ctl_dir"))
      .def("set_conf_file", text_setter(&EqDAQconnect::set_conf_file, "set_conf_file"))
      .def("set_scan_mode", int_setter(&EqDAQconnect::set_scan_mode, "set_scan_mode"))
      .def("set_run_first", int_setter(&EqDAQconnect::set_run_first, "set_run_first"))
      .def("set_run_last", int_setter(&EqDAQconnect::set_run_last, "set_run_last"))
      .def("set_comm_mode", int_setter(&EqDAQconnect::set_comm_mode, "set_comm_mode"))
      .def("set_request_type", int_setter(&EqDAQconnect::set_request_type, "set_request_type"))
      .def("add_file", text_setter(&EqDAQconnect::add_file, "add_file"))
      .def(
          "add_channel",
          [](py::object self, const std::string& name, py::object length, py::object start,
             py::object inc, py::object func) {
            self.cast<Connection&>().add_channel(name, length, start, inc, func);
            return self;
          },
          py::arg("name"), py::arg("length") = py::none(), py::arg("start") = py::none(),
          py::arg("inc") = py::none(), py::arg("func") = py::none(),
          "NAME or NAME@p1@p2@p3@p4; floats select the time form of the parameters")
      .def("connect", &Connection::connect, py::arg("servers") = py::none(),
           "Sends the request with failover; returns the Reply or raises ConnectError")
      .def(
          "set_connect_timeout",
          [](py::object self, int seconds) {
            Connection::check(self.cast<Connection&>().c().set_connect_timeout(seconds),
                              "set_connect_timeout");
            return self;
          },
          py::arg("seconds"),
          "Bound of a whole connect() in seconds (at least 1); past it ConnectError with code 9")
      .def_property_readonly("connect_timeout",
                             [](Connection& c) { return c.c().get_connect_timeout(); })
      .def_static(
          "known_facility",
          [](const std::string& name) { return EqDAQconnect::known_facility(name.c_str()); },
          "True for a facility name with a server list of its own")
      .def(
          "cancel", [](Connection& c) { c.c().set_connect_cancel(true); },
          "Cancels a running connect (safe from another thread)")
      .def("set_connect_cancel", [](Connection& c, bool v) { return c.c().set_connect_cancel(v); })
      .def_property_readonly("cancelled", [](Connection& c) { return c.c().get_connect_cancel(); })
      .def_property_readonly(
          "request", [](Connection& c) { return request_dict(*c.c().get_server_request()); })
      .def_property_readonly(
          "reply", [](Connection& c) { return std::make_unique<Reply>(c.c().get_server_reply()); },
          "a copy of the last answer")
      .def_property_readonly("reason",
                             [](Connection& c) { return std::string(c.c().get_reply_error()); })
      .def_property_readonly(
          "channel_descriptions",
          [](Connection& c) {
            std::vector<chan_descr_2010*>* list = nullptr;
            c.c().get_chan_list(&list);
            return descriptions(list);
          },
          "the descriptions of a channel-list answer (request type 2)")
      .def_property_readonly("scan_mode", [](Connection& c) { return c.c().get_scan_mode(); })
      .def_property_readonly(
          "start_time", [](Connection& c) { return static_cast<long>(c.c().get_start_time()); })
      .def_property_readonly("stop_time",
                             [](Connection& c) { return static_cast<long>(c.c().get_stop_time()); })
      .def_property_readonly("just_channel_list",
                             [](Connection& c) { return c.c().if_just_get_chan_list(); })
      .def("error_text",
           [](Connection& c, int code) { return std::string(c.c().get_error(code)); });
}

}  // namespace daqclient
