// daq-server: the DAQ data server as a daemon. One start-up line says where it
// listens; SIGINT or SIGTERM stop it cleanly. SIGINT and SIGTERM are blocked
// before any thread starts, so only the main thread takes them (with sigwait).
// Standard output carries the start-up line, the --verbose lines and the stop
// line; every error goes to standard error, so a script reading the start-up
// line never mistakes a failure for it.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "daq_data_server.h"
#include "daq_diag.h"

namespace {

// Starts the server with what the libraries print meanwhile (a catalog that
// cannot be loaded, a port that cannot be bound) moved to standard error: at
// start-up they print only failures.
bool start_with_errors_on_stderr(DaqDataServer* server) {
  std::fflush(stdout);
  int saved = dup(1);
  if (saved < 0 || dup2(2, 1) < 0) {
    if (saved >= 0) close(saved);
    return server->start();
  }
  bool failed = server->start();
  std::fflush(stdout);
  dup2(saved, 1);
  close(saved);
  return failed;
}

}  // namespace

int main(int argc, char** argv) {
  DaqServerOptions options;
  options.register_name = false;
  std::string error;
  bool help = false;
  if (parse_server_options(argc, argv, &options, &error, &help)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    std::fputs(server_usage(), stderr);
    return 2;
  }
  if (help) {
    std::fputs(server_usage(), stdout);
    return 0;
  }

  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  DaqDataServer server(options);
  if (start_with_errors_on_stderr(&server)) return server.catalog_refused() ? 2 : 1;

  std::string host = options.control_host.empty() || options.control_host == "0.0.0.0"
                         ? "127.0.0.1"
                         : options.control_host;
  std::string name = options.facility + "/" + options.device;
  std::string where = host + ":" + std::to_string(server.control_port());
  if (!options.names_file.empty()) {
    std::ofstream names(options.names_file, std::ios::app);
    names << name << " " << where << "\n";
    if (!names)
      std::fprintf(stderr, "daq-server: cannot append to %s\n", options.names_file.c_str());
  }
  daq_print("daq-server: %s/%s listening on %s (VELMOR_NAMES=%s=%s)\n", name.c_str(),
            options.location.c_str(), where.c_str(), name.c_str(), where.c_str());

  int signal_number = 0;
  sigwait(&stop_signals, &signal_number);
  server.stop();
  daq_line("daq-server: stopped");
  return 0;
}
