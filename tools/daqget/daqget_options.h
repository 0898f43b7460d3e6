// What the command line of daqget asks for. Every field of a DAQ request has an
// option; the rest choose the servers, the receiver and the output.
#ifndef DAQGET_OPTIONS_H
#define DAQGET_OPTIONS_H

#include <string>
#include <vector>

enum class OutputFormat { kTable, kCsv, kJsonLines, kHdf5 };
enum class Generation { kAuto, kLegacy, k2024 };

struct DaqgetOptions {
  // Request fields; empty / -1 / 0 mean "not given".
  std::string start_text, stop_text;
  long start_sec = 0, stop_sec = 0;
  int run_first = -1, run_last = -1;
  std::string experiment;
  std::string data_dir, catalog_dir, config_file;
  std::vector<std::string> channels;  // NAME or NAME@p1@p2@p3@p4
  std::vector<std::string> files;
  int scan_mode = -1;  // -1: the library default (all)
  bool handshake = false;
  int request_type = 0;  // 0: data, or channel list with --list-channels
  bool list_channels = false;

  // Servers.
  std::string servers;   // a server list, replaces ORXA_DAQ_SERVERS and the facility list
  std::string facility;  // the facility whose list is used
  bool local = false;
  int local_port = 0;       // control port of the embedded server; 0: a free one
  int connect_timeout = 0;  // seconds for the whole handshake; 0: the library's default

  // Receiver.
  int depth = 0;  // 0: derived from the reply
  int increment = 0;
  Generation generation = Generation::kAuto;
  double idle_timeout =
      -1;  // seconds the link may stay silent; -1: the receiver's default, 0: none

  // Output.
  OutputFormat format = OutputFormat::kTable;
  std::string output_file;  // empty: standard output
  bool show_reply = false;
  bool show_request = false;
  int progress = -1;   // -1: when standard error is a terminal, 0 never, 1 always
  int max_values = 4;  // values shown in a table summary

  // Resuming a broken stream: -1 leaves the fetch's default.
  int retries = -1;
  std::string stats_file;  // the fetch's counters as JSON; empty: none

  // -f hdf5: gzip level of the datasets, 0 (none) .. 9; -1: not given.
  int compress = -1;
  std::string images_dir;  // each image record also as a picture file here; empty: none
};

// Reads argv into *options. Returns -1 to go on, else the exit code to end with
// (0 after --help, DAQGET_USAGE after a bad option, the message already printed
// on standard error).
int parse_daqget_options(int argc, char** argv, DaqgetOptions* options);

#endif
