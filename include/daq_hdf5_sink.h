// DaqHdf5Sink: writes a fetch's records into an HDF5 file while the stream
// arrives, in the layout of docs/hdf5-layout.md (one group per channel, datasets
// extended record by record, chunked, gzip on request).
//
//   DaqFetchRequest q = ...;
//   DaqHdf5Sink sink;
//   if (sink.open("run.h5", DaqHdf5Options{})) fail(sink.error());
//   sink.attach(q);                 // the request's attributes, the reply's statistics
//   DaqFetch fetch(q);
//   int rc = fetch.run([&](DaqFetchRecord& r) { return !sink.write(r); });
//   if (sink.close(&fetch, rc)) fail(sink.error());
//
// Readers may follow the file while it grows (single-writer/multiple-reader
// mode): what was flushed is visible to them, and a writer killed mid-way leaves
// a file that opens with every record up to the last flush.
//
// The file's layout: docs/hdf5-layout.md. Sizes read from the network are
// bounded: an image whose header does not match its bytes is kept as raw bytes.
//
// Threads: one thread uses a sink. Failures are results: true with one line in
// error(); after a failure write() refuses further records.
#ifndef DAQ_HDF5_SINK_H
#define DAQ_HDF5_SINK_H

#include <cstdint>
#include <memory>
#include <string>

#include "daq_export.h"
#include "daq_fetch.h"

struct DaqHdf5Options {
  int compress_level = 0;   // 0: no compression; 1..9: gzip at that level
  int flush_records = 100;  // flush after this many records ...
  int flush_ms = 1000;      // ... or when the last flush is this old
  bool follow = true;       // single-writer/multiple-reader mode
};

class DAQ_EXPORT DaqHdf5Sink {
 public:
  DaqHdf5Sink();
  ~DaqHdf5Sink();  // closes an open file as close(nullptr) would
  DaqHdf5Sink(const DaqHdf5Sink&) = delete;
  DaqHdf5Sink& operator=(const DaqHdf5Sink&) = delete;

  // Creates (or truncates) the file. False on success.
  bool open(const std::string& path, const DaqHdf5Options& options);
  // Keeps the request for the file's attributes and chains the request's
  // `accepted` hook so that the reply's statistics are kept too (a hook set
  // before is still called, and its answer kept). Call before DaqFetch copies
  // the request; the hook refers to this sink, which must outlive the fetch.
  void attach(DaqFetchRequest& request);
  // One record: appended to its channels' datasets. False on success.
  bool write(const DaqFetchRecord& record);
  // Makes what was written visible to readers. False on success.
  bool flush();
  // Writes the fetch's counters, result and error as attributes (fetch may be
  // null) and closes the file. False on success; idempotent.
  bool close(const DaqFetch* fetch);

  const std::string& error() const;
  uint64_t records_written() const;

  // As close(fetch), with the fetch's result code stored too (close(fetch)
  // stores -1: not known).
  bool close(const DaqFetch* fetch, int result);

  struct State;

 private:
  std::unique_ptr<State> s_;
};

#endif
