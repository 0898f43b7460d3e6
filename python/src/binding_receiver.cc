// Receiver: EqDAQdata or EqDAQdata2024, chosen by the reply's event-number mode.
// Every call that can block (connect, start, stop, queries that copy records)
// runs without the GIL, so another Python thread can stop a receiver that one
// thread is waiting on.
#include <chrono>
#include <cstring>
#include <memory>

#include "daqclient.h"

namespace daqclient {

daq_server_reply* reply_of(py::handle reply);

namespace {

// The end-data status of a stream that ended with the server's end mark; its
// text reads like a failure ("... (End of data)"), so a flag says it is not.
constexpr int kEndMarkStatus = -3;

const char* const kDirections[] = {"first", "last", "this", "next", "previous"};
const int kDirectionBits[] = {DAQ_GET_FIRST, DAQ_GET_LAST, DAQ_GET_THIS, DAQ_GET_NEXT,
                              DAQ_GET_PREV};

class Receiver {
 public:
  Receiver(py::handle reply, int depth, int increment) {
    daq_server_reply* r = reply_of(reply);
    if (r->evid64bitmode)
      access_ = std::make_unique<ReceiverOf<Gen2024>>(depth, increment);
    else
      access_ = std::make_unique<ReceiverOf<LegacyGen>>(depth, increment);
    if (access_->set_reply(r))
      raise_error("ReceiverError", 1, "set_reply failed: the reply cannot be copied");
  }

  ~Receiver() {
    py::gil_scoped_release nogil;
    access_->stop_receiver();
  }

  ReceiverAccess& a() { return *access_; }

  void connect() {
    bool failed;
    {
      py::gil_scoped_release nogil;
      failed = access_->connect();
    }
    if (failed) raise_error("ReceiverError", 1, "cannot open the data link named in the reply");
    connected_ = true;
  }

  void start(bool block) {
    if (!connected_) connect();
    bool failed;
    {
      py::gil_scoped_release nogil;
      failed = access_->start_receiver(block);
    }
    if (failed) raise_error("ReceiverError", 1, "cannot start the receiver thread");
    started_ = true;
  }

  bool started() const { return started_; }

  void stop() {
    py::gil_scoped_release nogil;
    access_->stop_receiver();
  }

  // The record query in Python terms: a direction name, an event number or a
  // time, one channel or all, seen mark or removal.
  py::object get(const std::string& direction, py::object event, py::object time,
                 py::object channel, const std::string& by, bool unseen, bool remove) {
    int how = 0;
    for (size_t i = 0; i < sizeof kDirections / sizeof kDirections[0]; ++i)
      if (direction == kDirections[i]) how = kDirectionBits[i];
    if (how == 0)
      raise_error("RequestError", -1, "direction must be first, last, this, next or previous");
    bool ends = how == DAQ_GET_FIRST || how == DAQ_GET_LAST;
    if (ends) {
      if (by == "time")
        how |= EQCACHE_FIND_TIME;
      else if (by == "event")
        how |= EQCACHE_FIND_EVNUM;
      else
        raise_error("RequestError", -1, "by must be time or event");
    }
    if (unseen) how |= EQCACHE_FIND_NOTSEEN;
    uint64_t evnum = 0;
    time_stamp ts{0, 0};
    time_stamp* tm = nullptr;
    if (!ends) {
      if (event.is_none() == time.is_none())
        raise_error("RequestError", -1, direction + " needs exactly one of event and time");
      if (!event.is_none()) {
        evnum = event.cast<uint64_t>();
        if (evnum == 0)
          raise_error("RequestError", -1, "event number 0 cannot be looked up (0 selects by time)");
        if (!access_->is_2024() && evnum > UINT32_MAX)
          raise_error("RequestError", -1, "event number beyond 32 bits for a legacy receiver");
      } else {
        ts = to_time_stamp(time);
      }
      tm = &ts;
    }
    return run_query(evnum, tm, channel, how, remove);
  }

  py::object run_query(uint64_t evnum, time_stamp* tm, py::object channel, int how, bool remove) {
    std::string chan;
    if (!channel.is_none()) {
      chan = channel.cast<std::string>();
      if (chan.size() >= DAQ_GET_CHAN_SIZE)
        raise_error("RequestError", -1, "channel name longer than 255 characters");
    }
    RawRecord raw;
    {
      py::gil_scoped_release nogil;
      raw.q = access_->query(evnum, tm, chan.empty() ? nullptr : chan.c_str(), how, remove);
    }
    last_result_ = raw.q.result;
    if ((raw.q.result & DAQ_MON_BAD_RESULT) != 0)
      raise_error("ReceiverError", raw.q.result, "a record was found but its copy failed");
    if (!raw.delivered()) return py::none();
    return make_record(raw);
  }

  // The earliest record by time, taken out of the cache; None once the stream is
  // over and the cache empty. The GIL is taken back every 100 ms for signals.
  py::object take(py::object timeout) {
    using namespace std::chrono;
    bool forever = timeout.is_none();
    auto until =
        steady_clock::now() +
        duration_cast<microseconds>(duration<double>(forever ? 0.0 : timeout.cast<double>()));
    for (;;) {
      RawRecord raw;
      microseconds slice(100000);
      if (!forever)
        slice = std::min(slice, duration_cast<microseconds>(until - steady_clock::now()));
      if (slice.count() < 0) slice = microseconds(0);
      {
        py::gil_scoped_release nogil;
        raw.q = take_earliest(*access_, slice);
      }
      last_result_ = raw.q.result;
      if (raw.delivered()) return make_record(raw);
      if ((raw.q.result & DAQ_MON_NO_MORE) != 0) return py::none();
      if ((raw.q.result & DAQ_MON_BAD_RESULT) != 0)
        raise_error("ReceiverError", raw.q.result, "a record was found but its copy failed");
      if (PyErr_CheckSignals() != 0) throw py::error_already_set();
      if (!forever && steady_clock::now() >= until) {
        PyErr_SetString(PyExc_TimeoutError, "no record arrived in time");
        throw py::error_already_set();
      }
    }
  }

  int last_result() const { return last_result_; }

 private:
  std::unique_ptr<ReceiverAccess> access_;
  bool connected_ = false;
  bool started_ = false;
  int last_result_ = 0;
};

py::object time_bound(Receiver& r, int how) {
  time_stamp tm{0, 0};
  bool empty;
  {
    py::gil_scoped_release nogil;
    empty = r.a().time_bound(&tm, how);
  }
  if (empty) return py::none();
  return py::make_tuple(tm.timeup, tm.timelow);
}

py::object event_bound(Receiver& r, int how) {
  uint64_t ev = 0;
  bool empty;
  {
    py::gil_scoped_release nogil;
    empty = r.a().event_bound(&ev, how);
  }
  if (empty) return py::none();
  return py::int_(ev);
}

void add_direction(py::class_<Receiver>& c, const char* direction, bool ends) {
  std::string d = direction;
  if (ends) {
    c.def(
        direction,
        [d](Receiver& r, py::object channel, const std::string& by, bool unseen, bool remove) {
          return r.get(d, py::none(), py::none(), channel, by, unseen, remove);
        },
        py::arg("channel") = py::none(), py::arg("by") = "time", py::arg("unseen") = false,
        py::arg("remove") = false);
  } else {
    c.def(
        direction,
        [d](Receiver& r, py::object event, py::object time, py::object channel, bool remove) {
          return r.get(d, event, time, channel, "time", false, remove);
        },
        py::arg("event") = py::none(), py::arg("time") = py::none(),
        py::arg("channel") = py::none(), py::arg("remove") = false);
  }
}

}  // namespace

void register_receiver(py::module_& m) {
  py::class_<Receiver> c(
      m, "Receiver",
      "The data receiver for a Reply: EqDAQdata, or EqDAQdata2024 when the reply "
      "announces 64-bit event numbers");
  c.def(py::init<py::handle, int, int>(), py::arg("reply"), py::arg("depth") = 0,
        py::arg("increment") = 0,
        "depth 0: derived from the reply; increment: growth of a full cache while the server is "
        "paused")
      .def_property_readonly("generation",
                             [](Receiver& r) { return r.a().is_2024() ? "2024" : "legacy"; })
      .def("connect", &Receiver::connect, "Opens the data link to the reply's host and port")
      .def("start", &Receiver::start, py::arg("block") = false,
           "Connects when not yet connected and starts the receiver thread")
      .def("stop", &Receiver::stop,
           "Stops and joins the receiver thread (safe from another thread)")
      .def("__enter__",
           [](py::object self) {
             Receiver& r = self.cast<Receiver&>();
             if (!r.started()) r.start(false);
             return self;
           })
      .def("__exit__",
           [](Receiver& r, py::args) {
             r.stop();
             return false;
           })
      .def_property_readonly("thread_is_over", [](Receiver& r) { return r.a().thread_is_over(); })
      .def_property_readonly("done", [](Receiver& r) { return r.a().done(); })
      .def_property_readonly("end_data_status", [](Receiver& r) { return r.a().end_data_status(); })
      .def_property_readonly("end_data_status_text",
                             [](Receiver& r) { return std::string(r.a().end_data_status_text()); })
      .def_property_readonly(
          "ended_normally", [](Receiver& r) { return r.a().end_data_status() == kEndMarkStatus; },
          "True when the stream ended with the server's end-of-data mark")
      .def(
          "set_idle_timeout",
          [](Receiver& r, double seconds) {
            if (!(seconds >= 0 && seconds <= 2000000))
              raise_error("RequestError", -1,
                          "idle timeout must be 0 (no bound) to 2000000 seconds");
            r.a().set_idle_timeout(static_cast<int>(seconds * 1000 + 0.5));
          },
          py::arg("seconds"),
          "Seconds the data link may stay silent before the stream ends with a failure status "
          "(0: no bound); every record already received is kept")
      .def_property_readonly("idle_timeout",
                             [](Receiver& r) { return r.a().idle_timeout() / 1000.0; })
      .def_property_readonly(
          "dropped_events", [](Receiver& r) { return r.a().dropped_events(); },
          "events the receiver or the conversion had to drop")
      .def_property_readonly(
          "dropped_sub_blocks", [](Receiver& r) { return r.a().dropped_sub_blocks(); },
          "channel sub-blocks dropped from events that were kept")
      .def_property_readonly(
          "link_failure_text", [](Receiver& r) { return std::string(r.a().link_failure_text()); },
          "the data link's own text of a failure status, else the end-data status text")
      .def_property_readonly("depth", [](Receiver& r) { return r.a().depth(); })
      .def_property_readonly("entries", [](Receiver& r) { return r.a().entries(); })
      .def_property_readonly("last_result", &Receiver::last_result,
                             "result bits of the last record query")
      .def("set_cache_depth",
           [](Receiver& r, int d) {
             if (r.a().set_cache_depth(d))
               raise_error("RequestError", -1, "cache depth must be above 0");
           })
      .def(
          "status",
          [](Receiver& r) {
            int n = 0;
            int bits;
            {
              py::gil_scoped_release nogil;
              bits = r.a().status(&n);
            }
            return py::make_tuple(bits, n);
          },
          "(result bits, records in the cache)")
      .def("first_time", [](Receiver& r) { return time_bound(r, 0); })
      .def("last_time", [](Receiver& r) { return time_bound(r, 1); })
      .def("first_event", [](Receiver& r) { return event_bound(r, 0); })
      .def("last_event", [](Receiver& r) { return event_bound(r, 1); })
      .def(
          "clear",
          [](Receiver& r) {
            py::gil_scoped_release nogil;
            r.a().clear_monitor();
          },
          "Empties the cache")
      .def("take", &Receiver::take, py::arg("timeout") = py::none(),
           "The earliest record, removed; None at the end of the stream; TimeoutError after "
           "timeout seconds")
      .def(
          "query",
          [](Receiver& r, int how, uint64_t event, py::object time, py::object channel,
             bool remove) {
            time_stamp ts{0, 0};
            time_stamp* tm = nullptr;
            if (!time.is_none()) {
              ts = to_time_stamp(time);
              tm = &ts;
            } else if (event == 0 && (how & (DAQ_GET_THIS | DAQ_GET_NEXT | DAQ_GET_PREV)) != 0 &&
                       (how & (DAQ_GET_FIRST | DAQ_GET_LAST)) == 0) {
              raise_error("RequestError", -1,
                          "this, next and previous need an event number or a time");
            }
            py::object rec = r.run_query(event, tm, channel, how, remove);
            return py::make_tuple(r.last_result(), rec);
          },
          py::arg("how"), py::arg("event") = 0, py::arg("time") = py::none(),
          py::arg("channel") = py::none(), py::arg("remove") = false,
          "The raw record query: (result bits, Record or None)")
      .def("__iter__", [](py::object self) { return self; })
      .def("__next__", [](Receiver& r) {
        py::object rec = r.take(py::none());
        if (rec.is_none()) throw py::stop_iteration();
        return rec;
      });
  add_direction(c, "first", true);
  add_direction(c, "last", true);
  add_direction(c, "this", false);
  add_direction(c, "next", false);
  add_direction(c, "previous", false);
}

}  // namespace daqclient
