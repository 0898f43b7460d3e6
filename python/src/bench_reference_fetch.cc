// The C++ road that the Python fetch benchmark measures against: the same
// request, handshake and receiver through the C++ API, taking every record with
// get_monitor (earliest by time, removed) and touching each image's bytes once,
// as a C++ application would. Built as a small module so that both roads run in
// one process against one server.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "eq_daq_connect.h"
#include "eq_daq_data.h"
#include "eq_daq_data_2024.h"
#include "query_release.h"

namespace py = pybind11;

namespace {

struct Totals {
  long records = 0;
  long long bytes = 0;
  unsigned long checksum = 0;
};

void take_values(std::vector<EqData_dtype*>* out, Totals& t) {
  for (EqData_dtype* d : *out) {
    if (d->data != nullptr) {
      const unsigned char* p = d->data->get_image_data();
      int n = d->data->get_image_length();
      if (p != nullptr && n > 0) {
        t.bytes += n;
        t.checksum += p[0] + p[n - 1];
      }
    }
  }
  release_query_result(out);
}

// The same wait as the binding's: poll with a backoff from 50 us to 2 ms.
template <class R>
bool drain(R& receiver, Totals& t) {
  std::chrono::microseconds pause(50);
  for (;;) {
    std::vector<EqData_dtype*>* out = nullptr;
    int rc = receiver.get_monitor(&out, nullptr, nullptr);
    if (out != nullptr) {
      ++t.records;
      take_values(out, t);
      pause = std::chrono::microseconds(50);
      continue;
    }
    if ((rc & DAQ_MON_NO_MORE) != 0) return receiver.get_end_data_status() == -3;
    std::this_thread::sleep_for(pause);
    if (pause < std::chrono::microseconds(2000)) pause *= 2;
  }
}

template <class R>
bool receive(daq_server_reply* reply, int depth, Totals& t) {
  R receiver(depth, 0);
  if (receiver.set_reply(reply) || receiver.connect() || receiver.start_receiver(false))
    return false;
  bool ok = drain(receiver, t);
  receiver.stop_receiver();
  return ok;
}

py::tuple fetch(const std::string& entry, const std::vector<std::string>& channels,
                const std::string& start, const std::string& stop, int depth) {
  Totals t;
  bool ok = false;
  {
    py::gil_scoped_release nogil;
    velmor::EqCall call;
    EqDAQconnect connection(&call, nullptr);
    connection.set_start_time(start.c_str());
    connection.set_stop_time(stop.c_str());
    for (const std::string& c : channels) connection.add_channel(c.c_str());
    if (connection.connect(entry.c_str()) == 0) {
      daq_server_reply* reply = connection.get_server_reply();
      ok = reply->evid64bitmode ? receive<EqDAQdata2024>(reply, depth, t)
                                : receive<EqDAQdata>(reply, depth, t);
    }
  }
  if (!ok) throw std::runtime_error("the C++ reference fetch failed");
  return py::make_tuple(t.records, t.bytes, t.checksum);
}

}  // namespace

PYBIND11_MODULE(_daqclient_bench, m) {
  m.def("fetch", &fetch, py::arg("entry"), py::arg("channels"), py::arg("start"), py::arg("stop"),
        py::arg("depth") = 0,
        "(records, image bytes, checksum) of a whole-road fetch through the C++ API");
}
