// daqget: builds a fetch request from its options, runs the fetch and writes
// each record as it arrives; the fetch's hooks add what only daqget asks for
// (request fields it does not carry, the not-found lines, channel lists).
//
// Signals: SIGINT and SIGTERM are blocked before any thread starts (the
// embedded server's, the receiver's) and taken by one watcher thread, which
// stops the fetch (a running handshake is cancelled, the stream ended); the
// run then exits with 130.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "daq_data_server.h"
#include "daq_fetch.h"
#include "daqget_options.h"
#include "eq_daq_connect.h"
#include "exit_codes.h"
#include "fetch_report.h"
#include "fetched_record.h"
#include "hdf5_output.h"
#include "image_files.h"
#include "orxa_chan_descr.h"
#include "output_target.h"
#include "progress_bar.h"
#include "record_writer.h"
#include "request_builder.h"
#include "value_format.h"
#include "warning_tally.h"

namespace {

std::atomic<bool> g_stop{false};
std::atomic<bool> g_quit_watcher{false};
// The running fetch; the lock keeps it alive while the watcher stops it.
std::mutex g_fetch_lock;
DaqFetch* g_fetch = nullptr;

void watch_signals(sigset_t set) {
  timespec tick{0, 100 * 1000 * 1000};
  while (!g_quit_watcher.load()) {
    if (sigtimedwait(&set, nullptr, &tick) > 0) {
      std::lock_guard<std::mutex> guard(g_fetch_lock);
      g_stop.store(true);
      if (g_fetch != nullptr) g_fetch->stop();
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

// The fetch's texts of a refused field, named by daqget's option.
std::string option_error(const std::string& error) {
  static const char* const kFields[][2] = {{"start ", "--start-sec "},
                                           {"stop ", "--stop-sec "},
                                           {"first run ", "--first-run "},
                                           {"last run ", "--last-run "},
                                           {"experiment ", "--experiment "},
                                           {"channel ", "--channel "},
                                           {"connect timeout ", "--connect-timeout "},
                                           {"idle timeout ", "--idle-timeout "}};
  for (const auto& f : kFields) {
    if (error.rfind(f[0], 0) == 0) return "daqget: " + (f[1] + error.substr(std::strlen(f[0])));
  }
  return "daqget: " + error;
}

// The line of a broken stream: daqget's own, with the data link's text, for a
// stream that broke once; the fetch's, which also counts the reconnects, after
// a resume.
std::string broken_line(const std::string& error, long events) {
  const char kOnce[] = "the stream ended early after ";
  size_t at = error.find(" records: ");
  if (error.rfind(kOnce, 0) != 0 || at == std::string::npos) return "daqget: " + error;
  return "daqget: " + (kOnce + std::to_string(events) + " events: ") +
         error.substr(at + std::strlen(" records: "));
}

// What a run leaves behind for main: lines written, and the fetch's counters
// when it got that far.
struct RunOutcome {
  long rows = 0;
  DaqFetchCounters counters;
};

// Everything the fetch's hooks and callback share with the run.
struct Session {
  const DaqgetOptions& o;
  std::unique_ptr<RecordWriter> writer;
  std::unique_ptr<ProgressBar> progress;
  RecordTally tally;
  std::string own_error;  // a refusal of daqget's own, already a whole line
  bool handshakes = false;
  bool listed = false;
  bool streamed = false;
  Hdf5Output* hdf5 = nullptr;    // -f hdf5
  ImageFiles* images = nullptr;  // --save-images
};

std::string prepare(Session& s, EqDAQconnect& c) {
  if (complete_request(s.o, &c, &s.own_error)) return s.own_error;
  if (s.o.show_request && !s.handshakes) c.print_request();
  if (s.o.show_reply || isatty(STDERR_FILENO) == 1) c.set_pass_observer(report_pass, nullptr);
  return "";
}

// A resumed stream answers again with the same reply: told once.
bool accepted(Session& s, EqDAQconnect& c) {
  daq_server_reply* reply = c.get_server_reply();
  if (!s.handshakes) {
    s.handshakes = true;
    report_not_found(reply);
    if (s.o.show_reply) show_reply(reply);
  }
  if (c.if_just_get_chan_list()) {
    std::vector<chan_descr_2010*>* list = nullptr;
    c.get_chan_list(&list);
    if (list != nullptr) {
      s.writer->descriptions(*list, channel_list_period(*reply, *c.get_server_request()));
      s.tally.rows = static_cast<long>(list->size());
    }
    s.listed = true;
    return false;
  }
  if (reply->port > 0 && !s.progress)
    s.progress = std::make_unique<ProgressBar>(progress_wanted(s.o), reply->stat.events);
  s.streamed = s.streamed || reply->port > 0;
  return true;
}

// Lines written, for -v.
void show_tally(const Session& s) {
  if (s.o.show_reply) {
    std::fprintf(stderr, "daqget: %ld events, %ld slow-data blocks, %ld lines written\n",
                 s.tally.events, s.tally.slow_blocks, s.tally.rows);
  }
}

// The closing lines and the exit code of a fetch's result.
int verdict(const Session& s, const DaqFetch& fetch, int rc) {
  if (s.writer->failed()) {
    fail_line("daqget: writing the records failed");
    return DAQGET_OUTPUT_FAILED;
  }
  if (rc == DAQ_FETCH_OK) {
    if (!s.listed) show_tally(s);
    return DAQGET_OK;
  }
  if (rc == DAQ_FETCH_BAD_REQUEST && !s.own_error.empty()) {
    fail_line(s.own_error);
    return DAQGET_BAD_REQUEST;
  }
  if (rc == DAQ_FETCH_STOPPED) {
    if (s.tally.rows == 0 && fetch.connect_code() == EQ_DAQ_CONNECT_CANCELED) {
      fail_line("daqget: " + fetch.error());
    } else {
      std::fprintf(stderr, "daqget: interrupted after %ld events\n", s.tally.events);
    }
    return DAQGET_INTERRUPTED;
  }
  if (rc == DAQ_FETCH_STREAM_BROKEN || rc == DAQ_FETCH_DROPPED) {
    show_tally(s);
    if (rc == DAQ_FETCH_STREAM_BROKEN) fail_line(broken_line(fetch.error(), s.tally.events));
    // Data the receiver had to throw away is a failure even after the end mark.
    unsigned long long events = fetch.dropped_events();
    unsigned long long blocks = fetch.dropped_sub_blocks();
    if (events + blocks > 0) {
      std::fprintf(stderr,
                   "daqget: data were dropped: %llu events and %llu channel sub-blocks "
                   "(malformed, or refused by the cache)\n",
                   events, blocks);
    }
    return DAQGET_STREAM_BROKEN;
  }
  int connect_rc = fetch.connect_code();
  bool field = rc == DAQ_FETCH_BAD_REQUEST && connect_rc == EQ_DAQ_CONNECT_OK;
  fail_line(field ? option_error(fetch.error()) : "daqget: " + fetch.error());
  // Records already written: the stream broke, whatever failed after it.
  if (fetch.records_delivered() > 0) return DAQGET_STREAM_BROKEN;
  switch (rc) {
    case DAQ_FETCH_HANDSHAKE_FAILED:
      return connect_exit_code(connect_rc);
    case DAQ_FETCH_BAD_REQUEST:
      return DAQGET_BAD_REQUEST;
    case DAQ_FETCH_NO_STREAM:
      return DAQGET_REFUSED;
    default:
      return DAQGET_LINK_FAILED;
  }
}

// The run's own clock, for a fetch whose counters carry no duration.
double seconds_since(std::chrono::steady_clock::time_point from) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
}

int run(const DaqgetOptions& o, FILE* output, WarningTally& warnings, RunOutcome* outcome) {
  std::unique_ptr<DaqDataServer> local;
  DaqFetchRequest q;
  std::string error;
  if (build_request(o, &q, &error)) {
    fail_line(error);
    return DAQGET_BAD_REQUEST;
  }
  ImageFiles images;
  if (!o.images_dir.empty() && images.open(o.images_dir, &error)) {
    fail_line(error);
    return DAQGET_OUTPUT_FAILED;
  }
  Hdf5Output hdf5;
  if (o.format == OutputFormat::kHdf5 && hdf5.open(o, &error)) {
    fail_line(error);
    return DAQGET_OUTPUT_FAILED;
  }
  q.servers = o.servers;
  if (o.local) {
    DaqServerOptions so;
    so.device = "DAQ.LOCAL";  // an entry of its own, not one of a facility's real servers
    so.control_port = o.local_port;
    local = std::make_unique<DaqDataServer>(so);
    if (local->start()) {
      fail_line("daqget: the embedded DAQ data server did not start");
      return DAQGET_LOCAL_FAILED;
    }
    q.servers = local->entry();
  }

  Session s{o, make_record_writer(o.format, output, o.max_values), nullptr, {}, {}};
  if (!o.images_dir.empty()) s.images = &images;
  q.prepare = [&s](EqDAQconnect& c) { return prepare(s, c); };
  q.accepted = [&s](EqDAQconnect& c) { return accepted(s, c); };
  if (o.format == OutputFormat::kHdf5) {
    s.hdf5 = &hdf5;
    hdf5.attach(q);  // chains the hook above, so set after it
  }
  DaqFetch fetch(q);
  {
    std::lock_guard<std::mutex> guard(g_fetch_lock);
    g_fetch = &fetch;
    if (g_stop.load()) fetch.stop();
  }
  auto started = std::chrono::steady_clock::now();
  int rc = fetch.run([&s](DaqFetchRecord& r) {
    if (s.images != nullptr) s.images->save(r);
    if (s.hdf5 != nullptr && s.hdf5->write(r)) s.writer->fail();
    write_fetched_record(r, *s.writer, &s.tally);
    if (s.progress) s.progress->update(s.tally.events);
    return !s.writer->failed();
  });
  {
    std::lock_guard<std::mutex> guard(g_fetch_lock);
    g_fetch = nullptr;
  }
  outcome->counters = fetch.counters();
  if (s.hdf5 != nullptr && s.hdf5->close(fetch, rc)) s.writer->fail();
  // The libraries' repeats before daqget's own closing lines, so the line
  // that judges the run stays last.
  warnings.report(stderr);

  // The stream ran: what it carried, before the lines that judge it.
  if (s.streamed && !s.listed && (rc != DAQ_FETCH_LINK_FAILED || fetch.records_delivered() > 0)) {
    if (s.progress) s.progress->done(s.tally.events);
    double took =
        outcome->counters.elapsed_s > 0 ? outcome->counters.elapsed_s : seconds_since(started);
    fail_line(fetch_summary_line(outcome->counters, took,
                                 fetch.dropped_events() + fetch.dropped_sub_blocks()));
  }
  int code = verdict(s, fetch, rc);
  outcome->rows = s.tally.rows;
  if (s.writer->finish() && code == DAQGET_OK) {
    fail_line("daqget: writing the records failed");
    code = DAQGET_OUTPUT_FAILED;
  }
  if (s.images != nullptr) {
    if (o.show_reply) {
      std::fprintf(stderr, "daqget: %ld images saved in %s, %ld skipped\n", images.written(),
                   o.images_dir.c_str(), images.skipped());
    }
    // The file that could not be written was named when it failed.
    if (images.failed() && code == DAQGET_OK) code = DAQGET_OUTPUT_FAILED;
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
  RunOutcome outcome;
  {
    OutputTarget output;
    std::string error;
    // An HDF5 file is written in place by its sink, never through a stream.
    bool lines = options.format != OutputFormat::kHdf5;
    if (!lines) {
      code = run(options, nullptr, warnings, &outcome);
    } else if (output.open(options.output_file, &error)) {
      fail_line(error);
      code = DAQGET_OUTPUT_FAILED;
    } else {
      code = run(options, output.file(), warnings, &outcome);
      long rows = outcome.rows;
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
  if (!options.stats_file.empty()) {
    std::string error;
    if (write_fetch_stats(options.stats_file, outcome.counters, code, &error)) {
      fail_line(error);
      if (code == DAQGET_OK) code = DAQGET_OUTPUT_FAILED;
    }
  }
  return code;
}
