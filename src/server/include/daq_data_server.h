// The DAQ data server: answers the request handshake on the control system's
// property server ("DAQ.REQ", "DAQ.REP<n>") and serves a synthetic event stream
// over the data link for every accepted data request. Behaviour, options and the
// catalog format: docs/daq-server.md.
//
// Embedding (a test or a program):
//   DaqServerOptions o;            // entry LUMAR.DAQ/DAQ.SERVER1/DAQ.DATA.SVR
//   DaqDataServer server(o);
//   if (server.start()) { ...fail... }
//   // clients reach it as server.entry() through the name table
//   server.stop();                 // also done by the destructor
//
// Threads: the handlers run on the property server's threads and each stream on
// a thread of its own; every public call is safe from any thread.
#ifndef DAQ_DATA_SERVER_H
#define DAQ_DATA_SERVER_H

#include <cstdint>
#include <string>
#include <vector>

enum { DAQ_GENERATION_AUTO = -1, DAQ_GENERATION_LEGACY = 0, DAQ_GENERATION_2024 = 1 };

struct DaqServerOptions {
  std::string facility = "LUMAR.DAQ";
  std::string device = "DAQ.SERVER1";
  std::string location = "DAQ.DATA.SVR";
  std::string control_host = "127.0.0.1";
  int control_port = 0;       // 0: a free port
  bool register_name = true;  // register FACILITY/DEVICE in the in-process name table
  std::string names_file;     // daemon: also append "FACILITY/DEVICE host:port" here
  std::string data_host = "127.0.0.1";
  int max_requests = 4;
  std::string catalog_file;  // empty: the built-in catalog
  int generation = DAQ_GENERATION_AUTO;
  double rate_hz = 10.0;
  bool real_time = false;
  int64_t origin_sec = 1735689600;  // 2025-01-01 00:00:00 UTC: event number 0
  long max_events = 10000000;
  int prepare_ms = 0;
  int accept_timeout_ms = 30000;
  int reply_timeout_ms = 60000;
  bool verbose = false;
  // Scripted behaviours.
  int busy_times = 0;
  bool error_first = false;
  bool error_final = false;
  int processing_times = 0;
  bool echo_changed = false;
  bool port_zero = false;
  int answer_delay_ms = 0;
  // Stream faults (-1: off).
  long drop_after = -1;
  long stall_after = -1;
  int stall_ms = 0;
  long malformed_after = -1;
  // Bounds against clients that hold resources (docs/daq-server.md, Limits).
  int idle_timeout_ms = 60000;  // control connections silent this long are closed; 0 = never
  int max_per_peer = 64;        // open control connections from one address; 0 = no cap
  int send_stall_ms = 30000;    // a stream whose receiver makes no progress this long ends
};

// Reads daemon options (argv[1..]) into *options. False on success; true with a
// one-line reason in *error. *help is set for --help.
bool parse_server_options(int argc, char** argv, DaqServerOptions* options, std::string* error,
                          bool* help);
// The option summary printed by --help.
const char* server_usage();

// A control message a stream received, by the meaning the server gave it.
enum DaqControlKind {
  DAQ_CONTROL_READY,     // acknowledgment of an event (handshake mode)
  DAQ_CONTROL_PAUSE,     // -1 while sending
  DAQ_CONTROL_HOLD,      // -1 while paused
  DAQ_CONTROL_RESUME,    // an event number while paused
  DAQ_CONTROL_FAREWELL,  // -2
  DAQ_CONTROL_OTHER
};

// A summary keeps the first and the last control messages only, so a receiver
// that floods cannot grow the server; the counts cover every message.
enum { DAQ_CONTROL_KEPT_FIRST = 32, DAQ_CONTROL_KEPT_LAST = 32 };

struct DaqControlRecord {
  int64_t event_number;
  uint32_t seconds;
  uint32_t micros;
  DaqControlKind kind;
};

// What happened to one accepted request (kept after its resources are freed).
struct DaqRequestSummary {
  int number = 0;           // n of DAQ.REP<n>
  int reply_reads = 0;      // gets of DAQ.REP<n> answered ("Processing" included)
  bool final_read = false;  // the final answer was handed out
  bool released = false;    // DAQ.REP<n> removed, stream ended
  bool receiver_came = false;
  long events_sent = 0;
  uint64_t first_event = 0;
  uint64_t event_count = 0;
  bool gen_2024 = false;
  int data_port = 0;
  // The first DAQ_CONTROL_KEPT_FIRST and the last DAQ_CONTROL_KEPT_LAST control
  // messages, in the order received (all of them while control_total allows).
  std::vector<DaqControlRecord> control;
  long control_total = 0;                           // every control message received
  long control_counts[DAQ_CONTROL_OTHER + 1] = {};  // by DaqControlKind
};

class DaqDataServer {
 public:
  explicit DaqDataServer(const DaqServerOptions& options);
  ~DaqDataServer();
  DaqDataServer(const DaqDataServer&) = delete;
  DaqDataServer& operator=(const DaqDataServer&) = delete;

  // Loads the catalog, starts the property server, registers "DAQ.REQ" (and the
  // name, when asked). False on success; true with a one-line message printed.
  bool start();
  // Ends every stream, removes the properties, stops the property server.
  void stop();

  int control_port() const;
  // "FACILITY/DEVICE/LOCATION/": the entry for a client's server list.
  std::string entry() const;

  int active_requests() const;
  long requests_accepted() const;
  long requests_answered() const;  // sets of DAQ.REQ answered (BUSY and ERROR included)
  // Summary of reply number n (false when no such request was accepted).
  bool summary(int number, DaqRequestSummary* out) const;
  // The kept control messages of request n (see DaqRequestSummary::control).
  std::vector<DaqControlRecord> control_log(int number) const;
  // Waits up to timeout_ms until request n's resources are freed.
  bool wait_released(int number, int timeout_ms) const;
  // True when the last start() failed on the catalog (not on the network).
  bool catalog_refused() const;

  struct State;

 private:
  State* s_;
};

#endif
