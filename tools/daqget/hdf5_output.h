// -f hdf5: the records go through the HDF5 sink into one file, written in
// place while the stream arrives, so a reader can follow it and a killed run
// leaves a file that opens (layout: docs/hdf5-layout.md). The file is created
// before the request is sent; a run that fails before any record leaves it
// without records, its failure in the closing attributes.
#ifndef DAQGET_HDF5_OUTPUT_H
#define DAQGET_HDF5_OUTPUT_H

#include <string>

#include "daq_fetch.h"
#include "daq_hdf5_sink.h"
#include "daqget_options.h"

class Hdf5Output {
 public:
  // Creates the file named by -o. False on success; true with one line in *error.
  bool open(const DaqgetOptions& options, std::string* error);
  // Before the fetch is made from the request: the sink keeps the request and
  // the reply for the file's attributes.
  void attach(DaqFetchRequest& request) { sink_.attach(request); }
  // True when the record could not be stored (said once on standard error).
  bool write(const DaqFetchRecord& record);
  // The fetch's counters and result as attributes, then closes. True (with one
  // line on standard error) when the file could not be completed.
  bool close(const DaqFetch& fetch, int result);

 private:
  bool failed(const char* what);

  DaqHdf5Sink sink_;
  std::string path_;
  bool failed_ = false;
};

#endif
