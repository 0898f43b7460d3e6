// Shared declarations of the daqclient extension module: the registration of each
// binding area and the helpers they share (errors, values, time stamps).
//
// Ownership: every EqData and slow-block copy that a record query hands out is
// owned by exactly one Python object from the moment it is converted; NumPy
// arrays over an EqData's storage keep that object alive through a capsule, so
// the bytes are never copied on the way to Python.
#ifndef DAQCLIENT_H
#define DAQCLIENT_H

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <string>
#include <vector>

#include "eq_evstore.h"
#include "query_release.h"
#include "receiver_access.h"

namespace py = pybind11;

namespace daqclient {

void register_values(py::module_& m);
void register_connection(py::module_& m);
void register_receiver(py::module_& m);
void register_server(py::module_& m);
void register_fetch(py::module_& m);
void register_hdf5(py::module_& m);

// Raises the Python exception class `kind` of daqclient._errors ("DaqError",
// "ConnectError", "ReceiverError", "RequestError") carrying code and text, and
// reason when not empty.
[[noreturn]] void raise_error(const char* kind, int code, const std::string& text,
                              const std::string& reason = std::string());

// A query's result that releases its copies unless make_record took them over.
struct RawRecord {
  QueryResult q;

  RawRecord() = default;
  explicit RawRecord(QueryResult&& result) : q(std::move(result)) { result.out = nullptr; }
  RawRecord(const RawRecord&) = delete;
  RawRecord& operator=(const RawRecord&) = delete;
  ~RawRecord();

  bool delivered() const { return q.out != nullptr; }
};

// Turns a delivered record into a daqclient Record; takes the copies over (the
// raw record is empty afterwards). `requested`, when given, names the requested
// channel each value answers (same index as the names). Needs the GIL.
py::object make_record(RawRecord& raw, const std::vector<std::string>* requested = nullptr);

// Raises RequestError for a facility without a server list of its own, which
// the connection would silently replace by the default list.
void check_facility(const std::string& facility);

// A time given as (seconds, microseconds), seconds as a number, or a datetime.
time_stamp to_time_stamp(py::handle value);

}  // namespace daqclient

#endif
