// The command line of daqget, read with CLI11. Checks that need more than one
// option (a time or run range or files, the seconds form against the text form)
// are made here so that a wrong call ends before anything is sent.
#include "daqget_options.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <map>

#include "daq_fetch.h"
#include "daq_server_util_def.h"
#include "eq_daq_connect.h"
#include "eq_daq_data.h"
#include "exit_codes.h"
#include "request_time.h"

const char* daqget_exit_code_help() {
  return "Exit codes:\n"
         "  0    every record written, the stream ended normally\n"
         "  2    bad command line or option value\n"
         "  3    request refused before sending (invalid value, validation failed)\n"
         "  4    no server took the request (unreachable, busy, no answer,\n"
         "       --connect-timeout passed)\n"
         "  5    the server answered with an error or an unusable reply\n"
         "  6    the data link could not be opened\n"
         "  7    the stream ended without its end-of-data mark, or data were dropped\n"
         "  8    the output could not be opened or written\n"
         "  9    --local: the embedded server did not start\n"
         "  130  interrupted (SIGINT, SIGTERM)\n"
         "\n"
         "Records go to the output only. When that is standard output, the\n"
         "libraries' own diagnostic lines are sent to standard error, so the\n"
         "records stay machine-readable.\n"
         "\n"
         "Environment: ORXA_DAQ_SERVERS (server list), ORXA_EXP_TIMEZONE (zone of\n"
         "time texts, default CET), VELMOR_NAMES (name table),\n"
         "VELMOR_CONNECT_TIMEOUT_MS, VELMOR_CALL_TIMEOUT_MS.\n";
}

namespace {

// Scan modes by name as well as by number.
int scan_mode_value(const std::string& text) {
  if (text == "all") return 15;
  if (text == "none") return 0;
  char* end = nullptr;
  long v = std::strtol(text.c_str(), &end, 0);
  if (end == text.c_str() || *end != '\0') return -1;
  if ((v >= 0 && v <= 10) || v == 15) return static_cast<int>(v);
  return -1;
}

// HDF5 is a file read by offset, never a stream: no standard output, no
// channel list (which has no records to lay out).
bool output_refused(const DaqgetOptions& o, bool compress_given) {
  bool hdf5 = o.format == OutputFormat::kHdf5;
  const char* why = nullptr;
  if (hdf5 && o.output_file.empty()) {
    why = "-f hdf5 needs -o FILE (HDF5 is not written to standard output)";
  } else if (hdf5 && o.request_type == ORXA_DAQ_REQ_CHANNELS) {
    why = "--list-channels is written as table, csv or jsonl, not hdf5";
  } else if (compress_given && !hdf5) {
    why = "--compress applies to -f hdf5 only";
  } else if (compress_given && (o.compress < 0 || o.compress > 9)) {
    why = "--compress: the level is 0 (none) .. 9";
  }
  if (why != nullptr) std::fprintf(stderr, "daqget: %s\n", why);
  return why != nullptr;
}

}  // namespace

int parse_daqget_options(int argc, char** argv, DaqgetOptions* o) {
  CLI::App app{
      "daqget: asks a DAQ data server for archived data and writes every record as it "
      "arrives.\n\nExamples:\n"
      "  daqget --local --start 2025-01-01T01:00:00 --stop 2025-01-01T01:00:10 \\\n"
      "         -c DIAG/TOROID/T1.SPECT -c SLOW/TEMP/T1\n"
      "  daqget --servers LUMAR.DAQ/DAQ.SERVER1/DAQ.DATA.SVR/ --run 1200 -c NAME -f jsonl\n"
      "  daqget --facility LUMAR --list-channels\n",
      "daqget"};
  app.footer(daqget_exit_code_help());
  app.get_formatter()->column_width(34);

  std::string scan_text, format_text = "table", generation_text = "auto", progress_text = "auto";
  int run = -1;

  auto* req = "Request";
  app.add_option("-s,--start", o->start_text,
                 "start time YEAR-MONTH-DAYTHOUR:MINUTE:SECOND in the experiment's zone "
                 "(ORXA_EXP_TIMEZONE, default CET); a trailing Z means UTC")
      ->group(req);
  app.add_option("-e,--stop", o->stop_text, "stop time, same form (default: now)")->group(req);
  app.add_option("--start-sec", o->start_sec, "start time in seconds since 1970-01-01 UTC")
      ->check(CLI::Range(1L, kLastRequestSecond))
      ->excludes("--start")
      ->group(req);
  app.add_option("--stop-sec", o->stop_sec, "stop time in seconds since 1970-01-01 UTC")
      ->check(CLI::Range(1L, kLastRequestSecond))
      ->excludes("--stop")
      ->group(req);
  app.add_option("--run", run, "one run (0: all runs)")->check(CLI::NonNegativeNumber)->group(req);
  app.add_option("--first-run", o->run_first,
                 "first run of a run range (alone: that one run; 0: all runs)")
      ->check(CLI::NonNegativeNumber)
      ->excludes("--run")
      ->group(req);
  app.add_option("--last-run", o->run_last, "last run of a run range")
      ->check(CLI::NonNegativeNumber)
      ->excludes("--run")
      ->group(req);
  app.add_option("-x,--experiment", o->experiment, "experiment name (default linac)")->group(req);
  app.add_option("--data-dir", o->data_dir, "data directory (default: the data path list)")
      ->group(req);
  app.add_option("--catalog-dir", o->catalog_dir, "run catalog directory")->group(req);
  app.add_option("--config", o->config_file, "request file whose content completes the request")
      ->group(req);
  app.add_option("-c,--channel", o->channels,
                 "channel, repeatable; NAME@p1@p2@p3@p4 gives start, length, increment "
                 "(a part starting with T is a time) and function")
      ->group(req);
  app.add_option("--file", o->files, "data file, repeatable")->group(req);
  app.add_option("--scan-mode", scan_text, "scan mode: 0..10, 15, none or all (default all)")
      ->group(req);
  app.add_flag("--handshake", o->handshake,
               "handshake mode: the server waits for an acknowledgement of every event "
               "(default: push)")
      ->group(req);
  app.add_flag("--push", "push mode (the default)")->excludes("--handshake")->group(req);
  app.add_option("--request-type", o->request_type, "request type 1..3 (default 1, data)")
      ->check(CLI::Range(1, 3))
      ->group(req);
  app.add_flag("-l,--list-channels", o->list_channels,
               "ask for the channel descriptions only and print them with the period they cover")
      ->group(req);

  auto* srv = "Servers";
  app.add_option("--servers", o->servers,
                 "server list FACILITY/DEVICE/LOCATION/[:...] (replaces ORXA_DAQ_SERVERS)")
      ->group(srv);
  app.add_option("--facility", o->facility,
                 "facility whose server list is used: LUMAR (default), NOVIK, VENDA or TARSEN")
      ->group(srv);
  app.add_option("--connect-timeout", o->connect_timeout,
                 "seconds the whole request handshake may take, every server and retry "
                 "included (default " +
                     std::to_string(EQ_DAQ_CONNECT_DEFAULT_TIMEOUT_S) + ")")
      ->check(CLI::Range(1, 86400))
      ->group(srv);
  app.add_flag("--local", o->local,
               "start the embedded DAQ data server on loopback with its built-in catalog "
               "and use it (default range: the first ten seconds of its data)")
      ->excludes("--servers")
      ->excludes("--facility")
      ->group(srv);
  app.add_option("--local-port", o->local_port,
                 "control port of the embedded server (default: a free one)")
      ->check(CLI::Range(1, 65535))
      ->needs("--local")
      ->group(srv);

  auto* rcv = "Receiver";
  app.add_option("--depth", o->depth, "cache depth in records (default: from the reply)")
      ->check(CLI::PositiveNumber)
      ->group(rcv);
  app.add_option("--increment", o->increment,
                 "records the depth grows by while the cache stays full (default 0)")
      ->check(CLI::NonNegativeNumber)
      ->group(rcv);
  app.add_option("--idle-timeout", o->idle_timeout,
                 "seconds the data link may stay silent before the stream counts as broken "
                 "(default " +
                     std::to_string(DAQ_RECEIVER_DEFAULT_IDLE_TIMEOUT_MS / 1000) + "; 0: no bound)")
      ->check(CLI::Range(0.0, 2000000.0))
      ->group(rcv);
  app.add_option("--retries", o->retries,
                 "times a broken stream is asked again from the last event written, before "
                 "giving up (default " +
                     std::to_string(DAQ_FETCH_DEFAULT_RETRIES) + "; 0: never)")
      ->check(CLI::Range(0, 1000))
      ->group(rcv);
  app.add_option("--generation", generation_text,
                 "event-number generation: auto (from the reply), legacy or 2024")
      ->check(CLI::IsMember({"auto", "legacy", "2024"}))
      ->group(rcv);

  auto* out = "Output";
  app.add_option("-f,--format", format_text,
                 "table, csv, jsonl (JSON lines, full values) or hdf5 (needs -o)")
      ->check(CLI::IsMember({"table", "csv", "jsonl", "json", "hdf5"}))
      ->group(out);
  app.add_option("-o,--output", o->output_file, "write the records to this file")->group(out);
  app.add_flag("-v,--show-reply", o->show_reply,
               "print the server's reason and statistics on standard error")
      ->group(out);
  app.add_flag("--show-request", o->show_request, "print the request before sending it")
      ->group(out);
  app.add_option("--progress", progress_text,
                 "progress bar on standard error: auto (when it is a terminal), always, never")
      ->check(CLI::IsMember({"auto", "always", "never"}))
      ->group(out);
  app.add_option("--values", o->max_values, "values shown per spectrum in the table (default 4)")
      ->check(CLI::Range(0, 1000))
      ->group(out);
  app.add_option("--stats", o->stats_file,
                 "write the fetch's counters and the exit code to this file as JSON")
      ->group(out);
  app.add_option("--compress", o->compress, "-f hdf5: gzip level of the datasets, 0 (none) .. 9")
      ->group(out);
  app.add_option("--save-images", o->images_dir,
                 "also write each image as a PNG or TIFF file in this directory (created if "
                 "missing)")
      ->group(out);

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    app.exit(e);
    return DAQGET_OK;
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "daqget: %s (see --help)\n", e.what());
    return DAQGET_USAGE;
  }

  if (run >= 0) {
    o->run_first = run;
    o->run_last = run;
  }
  if (!scan_text.empty()) {
    o->scan_mode = scan_mode_value(scan_text);
    if (o->scan_mode < 0) {
      std::fprintf(stderr, "daqget: --scan-mode %s: not 0..10, 15, none or all\n",
                   scan_text.c_str());
      return DAQGET_USAGE;
    }
  }
  if (format_text == "csv") o->format = OutputFormat::kCsv;
  if (format_text == "jsonl" || format_text == "json") o->format = OutputFormat::kJsonLines;
  if (format_text == "hdf5") o->format = OutputFormat::kHdf5;
  if (generation_text == "legacy") o->generation = Generation::kLegacy;
  if (generation_text == "2024") o->generation = Generation::k2024;
  if (progress_text == "always") o->progress = 1;
  if (progress_text == "never") o->progress = 0;
  if (o->list_channels) o->request_type = ORXA_DAQ_REQ_CHANNELS;
  // Any other name would silently fall back to the LUMAR servers.
  if (!o->facility.empty() && !EqDAQconnect::known_facility(o->facility.c_str())) {
    std::fprintf(stderr,
                 "daqget: --facility %s: unknown facility (known: LUMAR, NOVIK, VENDA, TARSEN)\n",
                 o->facility.c_str());
    return DAQGET_USAGE;
  }
  if (output_refused(*o, app.count("--compress") > 0)) return DAQGET_USAGE;
  if (o->run_last >= 0 && o->run_first < 0) {
    std::fprintf(stderr, "daqget: --last-run needs --first-run\n");
    return DAQGET_USAGE;
  }
  if (o->run_first == 0 && o->run_last > 0) {
    std::fprintf(stderr, "daqget: --first-run 0 means all runs; drop --last-run\n");
    return DAQGET_USAGE;
  }
  bool has_range = !o->start_text.empty() || o->start_sec > 0 || o->run_first >= 0 ||
                   !o->files.empty() || !o->config_file.empty();
  if (!has_range && !o->local && !o->list_channels) {
    std::fprintf(stderr,
                 "daqget: nothing to ask for: give --start, --start-sec, --run, "
                 "--first-run, --file or --config (see --help)\n");
    return DAQGET_USAGE;
  }
  return -1;
}
