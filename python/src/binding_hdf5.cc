// fetch_hdf5: a Fetch whose records go straight into an HDF5 file through
// DaqHdf5Sink, on the fetch's own thread, so no record becomes a Python object.
// The file is closed on every path (also after Ctrl-C), with the fetch's result
// and counters as attributes, so what arrived is kept and readable.
#include <string>

#include "daq_hdf5_sink.h"
#include "daqclient.h"
#include "fetch_run.h"

namespace daqclient {

namespace {

// Returns the sink's failure ("" when none); the fetch's own outcome stays on
// `run` for the caller to judge as fetch() does.
std::string fetch_hdf5(Fetch& run, const std::string& path, int compress) {
  if (compress < 0 || compress > 9)
    raise_error("RequestError", -1,
                "compress must be 0 (none) to 9 (gzip level), got " + std::to_string(compress));
  DaqHdf5Sink sink;
  DaqHdf5Options options;
  options.compress_level = compress;
  bool failed = false;
  {
    py::gil_scoped_release nogil;
    failed = sink.open(path, options);
  }
  if (failed) raise_error("DaqError", -1, sink.error());
  auto close = [&] {
    py::gil_scoped_release nogil;
    return sink.close(&run.fetch(), run.result());
  };
  try {
    run.run_into([&sink](DaqFetchRequest& q) { sink.attach(q); },
                 [&sink, &failed](DaqFetchRecord& r) { return !(failed = sink.write(r)); });
  } catch (...) {
    close();
    throw;
  }
  // A write that failed stopped the fetch; its line is the one to tell.
  bool close_failed = close();
  return failed || close_failed ? sink.error() : std::string();
}

}  // namespace

void register_hdf5(py::module_& m) {
  m.def("fetch_hdf5", &fetch_hdf5, py::arg("run"), py::arg("path"), py::arg("compress") = 0,
        "Runs the Fetch `run` with its records written into the HDF5 file `path` (gzip at "
        "level `compress`, 0: none); returns the file's failure line, \"\" when none");
}

}  // namespace daqclient
