// daqget: builds a DAQ request from its options, runs the handshake, receives
// the stream and writes each record as it arrives.
//
// Signals: SIGINT and SIGTERM are blocked before any thread starts (the
// embedded server's, the receiver's) and taken by one watcher thread, which
// cancels a running handshake and ends the monitor loop; the run then stops the
// receiver cleanly and exits with 130.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "daq_data_server.h"
#include "daqget_options.h"
#include "eq_daq_connect.h"
#include "eq_daq_data.h"
#include "eq_daq_data_2024.h"
#include "exit_codes.h"
#include "orxa_chan_descr.h"
#include "output_target.h"
#include "progress_bar.h"
#include "receive_loop.h"
#include "record_writer.h"
#include "request_builder.h"
#include "value_format.h"
#include "velmor.h"
#include "warning_tally.h"

namespace {

std::atomic<bool> g_stop{false};
std::atomic<bool> g_quit_watcher{false};
std::atomic<EqDAQconnect*> g_connection{nullptr};

void watch_signals(sigset_t set) {
  timespec tick{0, 100 * 1000 * 1000};
  while (!g_quit_watcher.load()) {
    if (sigtimedwait(&set, nullptr, &tick) > 0) {
      g_stop.store(true);
      EqDAQconnect* c = g_connection.load();
      if (c != nullptr) c->set_connect_cancel(true);
    }
  }
}

void fail_line(const std::string& text) { std::fprintf(stderr, "%s\n", text.c_str()); }

int connect_exit_code(int rc) {
  switch (rc) {
    case EQ_DAQ_CONNECT_SEND_FAILED:
    case EQ_DAQ_CONNECT_GET_FAILED:
    case EQ_DAQ_CONNECT_BUSY:
    case EQ_DAQ_CONNECT_TIMEOUT:
      return DAQGET_NO_SERVER;
    case EQ_DAQ_CONNECT_PARSE_FAILED:
    case EQ_DAQ_CONNECT_BAD_REPLY:
    case EQ_DAQ_CONNECT_DIFFERENT:
      return DAQGET_REFUSED;
    case EQ_DAQ_CONNECT_CANCELED:
      return DAQGET_INTERRUPTED;
    default:
      return DAQGET_BAD_REQUEST;  // a validation code
  }
}

void report_not_found(daq_server_reply* reply) {
  for (const char* name : reply->stat.nf_chan_list)
    if (name != nullptr) std::fprintf(stderr, "daqget: channel not found: %s\n", name);
  for (const char* name : reply->stat.nf_file_list)
    if (name != nullptr) std::fprintf(stderr, "daqget: file not found: %s\n", name);
}

void show_reply(daq_server_reply* reply) {
  const daq_server_stat& s = reply->stat;
  std::fprintf(stderr, "daqget: reason: %s\n", reply->reason);
  std::fprintf(stderr,
               "daqget: statistics: events %d, files %d, file ids %d, data location 0x%x, "
               "available services %d\n",
               s.events, s.files, s.fids, static_cast<unsigned>(s.data_loc), s.avail);
  if (s.t_start_sec > 0 && s.t_stop_sec > 0) {
    std::fprintf(stderr, "daqget: data from %s to %s\n",
                 iso_time(static_cast<uint32_t>(s.t_start_sec), 0).c_str(),
                 iso_time(static_cast<uint32_t>(s.t_stop_sec), 0).c_str());
  }
  for (const char* f : s.file_list)
    if (f != nullptr) std::fprintf(stderr, "daqget: file: %s\n", f);
  std::fprintf(stderr, "daqget: data stream %s:%d, %s event numbers\n", reply->host, reply->port,
               reply->evid64bitmode ? "64-bit (2024)" : "32-bit (legacy)");
}

// Passes over the server list that connect() makes at most.
constexpr int kConnectPasses = 30;

void report_pass(void*, int pass, int, const char* what) {
  std::fprintf(stderr, "daqget: pass %d of %d: %s; retrying\n", pass, kConnectPasses,
               what != nullptr ? what : "no server took the request");
}

bool progress_wanted(const DaqgetOptions& o) {
  if (o.progress >= 0) return o.progress == 1;
  return isatty(STDERR_FILENO) == 1;
}

// Receives the stream of the reply with the receiver of generation G.
template <class G>
int receive(const DaqgetOptions& o, daq_server_reply* reply, RecordWriter& writer, long* rows) {
  typename G::Receiver receiver(o.depth, o.increment);
  if (o.idle_timeout >= 0)
    receiver.set_idle_timeout(static_cast<int>(o.idle_timeout * 1000.0 + 0.5));
  if (receiver.set_reply(reply)) {
    fail_line("daqget: the reply cannot be kept (out of memory)");
    return DAQGET_LINK_FAILED;
  }
  if (receiver.connect()) {
    std::fprintf(stderr, "daqget: cannot open the data link to %s:%d\n", reply->host, reply->port);
    return DAQGET_LINK_FAILED;
  }
  if (receiver.start_receiver(false)) {
    fail_line("daqget: the receiver thread did not start");
    return DAQGET_LINK_FAILED;
  }
  ProgressBar progress(progress_wanted(o), reply->stat.events);
  ReceiveTally tally = receive_records<G>(receiver, writer, progress, g_stop);
  receiver.stop_receiver();
  *rows = tally.rows;
  if (tally.output_failed) {
    fail_line("daqget: writing the records failed");
    return DAQGET_OUTPUT_FAILED;
  }
  if (tally.interrupted) {
    std::fprintf(stderr, "daqget: interrupted after %ld events\n", tally.events);
    return DAQGET_INTERRUPTED;
  }
  int status = receiver.get_end_data_status();
  if (o.show_reply) {
    std::fprintf(stderr, "daqget: %ld events, %ld slow-data blocks, %ld lines written\n",
                 tally.events, tally.slow_blocks, tally.rows);
  }
  int code = DAQGET_OK;
  // -3 is the server's end-of-data mark; anything else means the stream broke.
  if (status != -3) {
    std::fprintf(stderr, "daqget: the stream ended early after %ld events: %s (status %d)\n",
                 tally.events, receiver.get_link_failure_string(), status);
    code = DAQGET_STREAM_BROKEN;
  }
  // Data the receiver had to throw away is a failure even after the end mark.
  unsigned long long events = receiver.get_dropped_events();
  unsigned long long blocks = receiver.get_dropped_sub_blocks();
  if (events + blocks > 0) {
    std::fprintf(stderr,
                 "daqget: data were dropped: %llu events and %llu channel sub-blocks "
                 "(malformed, or refused by the cache)\n",
                 events, blocks);
    code = DAQGET_STREAM_BROKEN;
  }
  return code;
}

// *rows: the lines of records written, so the caller knows whether a failed
// run still leaves output worth keeping.
int run(const DaqgetOptions& o, OutputTarget& output, long* rows) {
  std::unique_ptr<DaqDataServer> local;
  std::string whom = o.servers;
  if (o.local) {
    DaqServerOptions so;
    so.device = "DAQ.LOCAL";  // an entry of its own, not one of a facility's real servers
    so.control_port = o.local_port;
    local = std::make_unique<DaqDataServer>(so);
    if (local->start()) {
      fail_line("daqget: the embedded DAQ data server did not start");
      return DAQGET_LOCAL_FAILED;
    }
    whom = local->entry();
  }

  velmor::EqCall call;
  EqDAQconnect connection(&call, o.facility.empty() ? nullptr : o.facility.c_str());
  std::string error;
  if (build_request(o, &connection, &error)) {
    fail_line(error);
    return DAQGET_BAD_REQUEST;
  }
  if (o.show_request) connection.print_request();
  if (check_request(&connection, &error)) {
    fail_line(error);
    return DAQGET_BAD_REQUEST;
  }
  if (o.connect_timeout > 0) connection.set_connect_timeout(o.connect_timeout);
  if (o.show_reply || isatty(STDERR_FILENO) == 1)
    connection.set_pass_observer(report_pass, nullptr);

  g_connection.store(&connection);
  int rc = g_stop.load() ? static_cast<int>(EQ_DAQ_CONNECT_CANCELED)
                         : connection.connect(whom.empty() ? nullptr : whom.c_str());
  g_connection.store(nullptr);
  if (rc != EQ_DAQ_CONNECT_OK) {
    std::string reason = connection.get_reply_error();
    std::string line = std::string("daqget: ") + connection.get_error(rc);
    if (connect_exit_code(rc) == DAQGET_BAD_REQUEST) {
      // get_error knows only connect's own codes; the reason names the validation.
      line = "daqget: " + (reason.empty() ? std::string("invalid request") : reason) + ": " +
             validation_meaning(rc) + " (code " + std::to_string(rc) + ")";
    } else if (!reason.empty() && line.find(reason) == std::string::npos) {
      line += ": " + reason;
    }
    fail_line(line);
    return connect_exit_code(rc);
  }

  daq_server_reply* reply = connection.get_server_reply();
  report_not_found(reply);
  if (o.show_reply) show_reply(reply);

  std::unique_ptr<RecordWriter> writer = make_record_writer(o.format, output.file(), o.max_values);
  int code = DAQGET_OK;
  if (connection.if_just_get_chan_list()) {
    std::vector<chan_descr_2010*>* list = nullptr;
    connection.get_chan_list(&list);
    if (list != nullptr) {
      writer->descriptions(*list, channel_list_period(*reply, *connection.get_server_request()));
      *rows = static_cast<long>(list->size());
    }
  } else if (reply->port <= 0) {
    std::fprintf(stderr, "daqget: the server announced no data stream: %s\n", reply->reason);
    return DAQGET_REFUSED;
  } else {
    bool gen2024 = o.generation == Generation::kAuto ? reply->evid64bitmode
                                                     : o.generation == Generation::k2024;
    code = gen2024 ? receive<Gen2024>(o, reply, *writer, rows)
                   : receive<LegacyGen>(o, reply, *writer, rows);
  }
  if (writer->finish() && code == DAQGET_OK) {
    fail_line("daqget: writing the records failed");
    code = DAQGET_OUTPUT_FAILED;
  }
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  DaqgetOptions options;
  int parsed = parse_daqget_options(argc, argv, &options);
  if (parsed >= 0) return parsed;

  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  std::thread watcher(watch_signals, stop_signals);
  // Library lines repeated per event or per handshake pass are shown once.
  WarningTally warnings;
  warnings.install();

  int code;
  {
    OutputTarget output;
    std::string error;
    if (output.open(options.output_file, &error)) {
      fail_line(error);
      code = DAQGET_OUTPUT_FAILED;
    } else {
      long rows = 0;
      code = run(options, output, &rows);
      if (output.close() && code == DAQGET_OK) {
        fail_line("daqget: writing the records failed");
        code = DAQGET_OUTPUT_FAILED;
      }
      // A run that failed before any record keeps the old file; records that
      // arrived before a broken stream or an interruption are kept as written.
      bool keep = code == DAQGET_OK || (rows > 0 && code != DAQGET_OUTPUT_FAILED);
      if (output.commit(keep, &error)) {
        fail_line(error);
        if (code == DAQGET_OK) code = DAQGET_OUTPUT_FAILED;
      }
    }
  }
  g_quit_watcher.store(true);
  watcher.join();
  warnings.uninstall();
  warnings.report(stderr);
  return code;
}
