// DaqFetch: one acquisition from request to last record, for applications that
// do not want to drive EqDAQconnect and the receivers themselves.
//
//   DaqFetchRequest q;
//   q.channels = {"DIAG/TOROID/T1.SPECT", "VACUUM/UPDATE/PUMPS"};
//   q.start_sec = 1735689600; q.stop_sec = q.start_sec + 10;   // UTC instants
//   DaqFetch fetch(q);
//   int rc = fetch.run([](DaqFetchRecord& r) { ...; return true; });
//   if (rc != DAQ_FETCH_OK) fprintf(stderr, "%s\n", fetch.error().c_str());
//
// The road: the request is filled through EqDAQconnect's setters (so a fetch
// refuses exactly what the connection refuses), the handshake runs with the
// connection's failover over the server list, and the receiver of the
// generation the reply announces (or the one forced) takes the stream. Records
// are handed to the callback in event order, each taken out of the cache as it
// is handed out, so the cache never holds what was already delivered.
//
// Threads: run() is called from one thread and calls the callback on it.
// stop() may be called from any thread at any time, also before run() or after
// it: it cancels a running handshake, ends the stream or the wait before a
// resume; run() then returns DAQ_FETCH_STOPPED with the records delivered so
// far intact. A DaqFetch runs
// once; make a new one for another fetch.
//
// Contract in full: docs/fetch.md.
#ifndef DAQ_FETCH_H
#define DAQ_FETCH_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "daq_export.h"
#include "daq_receiver_counters.h"
#include "eq_evstore.h"

class EqDAQconnect;

// Results of DaqFetch::run; error() holds the one-line text of each failure.
enum {
  DAQ_FETCH_OK = 0,                // the stream ended with its end-of-data mark, nothing dropped
  DAQ_FETCH_BAD_REQUEST = 1,       // a field was refused or the request failed validation
  DAQ_FETCH_HANDSHAKE_FAILED = 2,  // connect() failed: connect_code() holds its code
  DAQ_FETCH_NO_STREAM = 3,         // the server accepted but announced no data stream
  DAQ_FETCH_LINK_FAILED = 4,       // the data link could not be opened or received on
  DAQ_FETCH_STREAM_BROKEN = 5,     // the stream ended without its end-of-data mark
  DAQ_FETCH_DROPPED = 6,           // the receiver threw data away (end mark seen)
  DAQ_FETCH_STOPPED = 7            // stop() was called, or the callback returned false or threw
};

// Resuming a broken stream: consecutive failed attempts allowed, and the wait
// before the first of them, doubling up to the cap.
enum {
  DAQ_FETCH_DEFAULT_RETRIES = 5,
  DAQ_FETCH_DEFAULT_BACKOFF_MS = 500,
  DAQ_FETCH_MAX_BACKOFF_MS = 8000
};

// Which receiver takes the stream.
enum { DAQ_FETCH_GEN_AUTO = 0, DAQ_FETCH_GEN_LEGACY = 1, DAQ_FETCH_GEN_2024 = 2 };

// Communication mode of the stream (the request's CommMode).
enum { DAQ_FETCH_PUSH = 0, DAQ_FETCH_HANDSHAKE = 1 };

struct DaqFetchRequest {
  // "NAME" or "NAME@p1@p2@p3@p4" as EqDAQconnect::add_channel reads them. None:
  // every channel the server has.
  std::vector<std::string> channels;
  // A time range as UTC instants in seconds since the epoch (stop 0: until now),
  // written into the protocol's local texts of the experiment's zone
  // (ORXA_EXP_TIMEZONE, default CET). Used when start_sec > 0.
  int64_t start_sec = 0;
  int64_t stop_sec = 0;
  // A run range instead (first_run > 0; last_run 0: the first run alone).
  int first_run = 0;
  int last_run = 0;
  // Servers "FACILITY/DEVICE/LOCATION[/]" separated by ':' (replace the list),
  // else the facility's list (empty: the default facility).
  std::string servers;
  std::string facility;
  std::string experiment;  // empty: the connection's default
  int comm_mode = DAQ_FETCH_PUSH;
  // Receiver cache depth and its increment (0: the receiver's defaults).
  int depth = 0;
  int increment = 0;
  int connect_timeout_s = 0;  // budget of the handshake (0: the connection's default)
  int idle_timeout_ms = -1;   // receiver's idle bound (-1: the receiver's default)
  int generation = DAQ_FETCH_GEN_AUTO;
  // A stream that breaks (link lost, idle bound passed, end without the
  // end-of-data mark, a data link that would not open) is asked again, with a
  // new handshake, for the rest of the range: from the second of the last
  // delivered record, or the same runs again. Records delivered before are
  // skipped, so each is delivered once, in order. At most `retries` attempts
  // in a row without a record delivered (0: a break ends the fetch); the
  // first waits backoff_ms, each next one twice as long, up to
  // DAQ_FETCH_MAX_BACKOFF_MS. Negative values are refused.
  int retries = DAQ_FETCH_DEFAULT_RETRIES;
  int backoff_ms = DAQ_FETCH_DEFAULT_BACKOFF_MS;
  // The period the reply reports must be the one asked, else the fetch fails
  // (servers whose zone differs from ours); true accepts the reply's.
  bool accept_period_mismatch = false;
  // For an application that needs the connection itself; both optional, both
  // called on run()'s thread before each handshake and after each one that
  // succeeded. prepare may set what the fields above do not cover (files,
  // directories, a request file); a non-empty text it returns fails the fetch
  // with DAQ_FETCH_BAD_REQUEST and that text as error(). accepted sees the
  // reply before the stream opens; false ends the fetch with DAQ_FETCH_OK and
  // no stream (the reply was all the application wanted, a channel list).
  // Neither may throw.
  std::function<std::string(EqDAQconnect&)> prepare;
  std::function<bool(EqDAQconnect&)> accepted;
};

// Everything one fetch has done so far: its receivers' counters summed over
// every stream it opened, and its own.
struct DaqFetchCounters {
  DaqReceiverCounters received;
  uint64_t records_delivered = 0;
  uint64_t duplicates_skipped = 0;  // resent events of a resumed stream, not delivered again
  uint64_t reconnects = 0;          // streams asked again after a break
  uint64_t last_event = 0;          // last delivered event and its time stamp
  uint32_t last_seconds = 0;
  uint32_t last_micros = 0;
  double elapsed_s = 0;  // since run() began; frozen when it returns
};

// One record as handed to the callback. Valid during the call only, except
// `values` when the callback takes it (below).
struct DaqFetchRecord {
  uint64_t event = 0;  // event number (a slow-data block: its first event)
  uint32_t seconds = 0;
  uint32_t micros = 0;
  bool slow = false;  // a slow-data record: each value's slblock holds a block
  // One name per value, as the server named it: a channel with sub-channels or
  // named values comes back under several names (VACUUM/UPDATE/PUMPS as PUMPS.0
  // .. PUMPS.5).
  std::vector<std::string> names;
  // The requested channel each value answers (same index as names), or "" when
  // the request named no channels or no requested channel matches. A value
  // answers the requested channel whose name it equals or extends with '.', '_'
  // or ':', compared whole or by the last part of the requested name (after its
  // last '/'); the longest match wins. Servers name sub-channels by their own
  // rules, so a name matching none of these yields "".
  std::vector<std::string> requested;
  // The values, owned by the fetch and released after the callback returns. A
  // callback that keeps them sets the pointer to null and later releases them
  // with daq_fetch_release_values.
  std::vector<EqData_dtype*>* values = nullptr;
};

// Releases values taken from a DaqFetchRecord (null-safe).
DAQ_EXPORT void daq_fetch_release_values(std::vector<EqData_dtype*>* values);

class DAQ_EXPORT DaqFetch {
 public:
  explicit DaqFetch(const DaqFetchRequest& request);
  ~DaqFetch();
  DaqFetch(const DaqFetch&) = delete;
  DaqFetch& operator=(const DaqFetch&) = delete;

  // Runs the road and hands every record to deliver, in event order; deliver
  // returns false to stop (an exception it throws stops the same way and is
  // not passed on). Returns a DAQ_FETCH_* result. Once per object: a
  // second call returns DAQ_FETCH_BAD_REQUEST.
  int run(const std::function<bool(DaqFetchRecord&)>& deliver);
  // Any thread, any time; idempotent.
  void stop();

  // After run() (values of a run still going are not defined):
  const std::string& error() const;  // one line, empty after DAQ_FETCH_OK
  int connect_code() const;          // the last connect()'s result (0 unless one ran)
  int end_status() const;            // the last receiver's end status (-3: end-of-data mark)
  uint64_t records_delivered() const;
  uint64_t dropped_events() const;
  uint64_t dropped_sub_blocks() const;
  bool stream_2024() const;  // the 2024 receiver took the stream
  // Any thread, while run() goes on and after it.
  DaqFetchCounters counters() const;

  struct State;

 private:
  std::unique_ptr<State> s_;
};

#endif
