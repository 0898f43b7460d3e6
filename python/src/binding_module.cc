// The daqclient extension module: the request builder and handshake
// (Connection, Reply), the data receivers of both generations (Receiver), the
// values of a record (Record, Channel, Spectrum, Image) and the embedded DAQ data
// server (LocalServer) and the one-call acquisition (Fetch), which the
// pure-Python layer (daqclient/__init__.py) turns into fetch() and, writing
// through the HDF5 sink, fetch_hdf5().
#include "daqclient.h"
#include "eq_daq_data.h"

PYBIND11_MODULE(_daqclient, m) {
  m.doc() = "DAQ client access: requests, receivers and records";
  daqclient::register_values(m);
  daqclient::register_connection(m);
  daqclient::register_receiver(m);
  daqclient::register_server(m);
  daqclient::register_fetch(m);
  daqclient::register_hdf5(m);

  m.attr("GET_FIRST") = static_cast<int>(DAQ_GET_FIRST);
  m.attr("GET_LAST") = static_cast<int>(DAQ_GET_LAST);
  m.attr("GET_THIS") = static_cast<int>(DAQ_GET_THIS);
  m.attr("GET_NEXT") = static_cast<int>(DAQ_GET_NEXT);
  m.attr("GET_PREV") = static_cast<int>(DAQ_GET_PREV);
  m.attr("GET_REMOVE") = static_cast<int>(DAQ_GET_REMOVE);
  m.attr("FIND_TIME") = static_cast<int>(EQCACHE_FIND_TIME);
  m.attr("FIND_EVNUM") = static_cast<int>(EQCACHE_FIND_EVNUM);
  m.attr("FIND_NOTSEEN") = static_cast<int>(EQCACHE_FIND_NOTSEEN);
  m.attr("MON_DATA") = static_cast<int>(DAQ_MON_DATA);
  m.attr("MON_EMPTY") = static_cast<int>(DAQ_MON_EMPTY);
  m.attr("MON_NO_MORE") = static_cast<int>(DAQ_MON_NO_MORE);
  m.attr("MON_FULL") = static_cast<int>(DAQ_MON_FULL);
  m.attr("MON_NO_THREAD") = static_cast<int>(DAQ_MON_NO_THREAD);
  m.attr("MON_DONE") = static_cast<int>(DAQ_MON_DONE);
  m.attr("MON_NOT_FOUND") = static_cast<int>(DAQ_MON_NOT_FOUND);
  m.attr("MON_BAD_RESULT") = static_cast<int>(DAQ_MON_BAD_RESULT);
}
