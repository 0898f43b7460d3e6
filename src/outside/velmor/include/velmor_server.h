// Property server: the server side of the control-system transport
// (docs/control-transport.md). An application registers property names with
// handlers; clients (velmor::EqCall) call them by address through the name
// table (velmor::register_server or VELMOR_NAMES, see velmor.h).
//
// Typical use (a DAQ data server):
//   velmor::PropertyServer server;
//   server.add_property("DAQ.REQ", on_request, nullptr);
//   if (server.start("127.0.0.1", 0)) { ...fail... }
//   velmor::register_server("LUMAR/DAQSRV1", "127.0.0.1", server.port());
//   ... handlers may add and remove "DAQ.REP<n>" while the server runs ...
//   server.stop();  // also done by the destructor
#ifndef VELMOR_SERVER_H
#define VELMOR_SERVER_H

#include <functional>
#include <string>
#include <vector>

#include "velmor.h"
#include "velmor_export.h"

namespace velmor {

// Connections silent between frames for this long are closed (milliseconds).
constexpr int kDefaultIdleTimeoutMs = 60000;
// Open connections allowed from one peer address.
constexpr int kDefaultMaxConnectionsPerPeer = 64;

// Handles one set or get of a property. `property` is the called name, `in` the
// client's input (empty for a get without input), `out` the answer (starts
// empty). Return 0 for success; any other value is the failure code that the
// client sees, with out.error_text() (set_error) as its text when the handler
// set one. A handler that throws fails the call with EQ_ERR_SERVER_FAILURE.
// Handlers run on the connection's thread, several at once for different
// clients, without any server lock held: they may call add_property and
// remove_property, and must guard their own shared state.
using PropertyHandler =
    std::function<int(const std::string& property, const EqData& in, EqData& out)>;

class VELMOR_EXPORT PropertyServer {
 public:
  PropertyServer();
  ~PropertyServer();  // stops the server
  PropertyServer(const PropertyServer&) = delete;
  PropertyServer& operator=(const PropertyServer&) = delete;

  // Listens on host:port (port 0 picks a free one; read it back with port()).
  // host null means "127.0.0.1". Returns false on success; true (with a
  // one-line message) when the address is bad, in use, or already started.
  bool start(const char* host = "127.0.0.1", int port = 0);
  // Closes the listening socket and every connection and joins all threads.
  // Calls in progress end without an answer (their clients see a lost
  // connection). Safe to call twice and from any thread but a handler's.
  void stop();
  int port() const;  // the bound port, 0 before start

  // Registers or replaces a property. A null handler makes that kind of call
  // fail with EQ_ERR_NOT_SUPPORTED. Empty names or names over 255 characters:
  // true, nothing registered. Callable while running, also from a handler.
  bool add_property(const std::string& name, PropertyHandler on_set, PropertyHandler on_get);
  // Removes a property; true when there was none. Calls already dispatched to
  // its handlers finish normally.
  bool remove_property(const std::string& name);
  bool has_property(const std::string& name) const;
  std::vector<std::string> property_names() const;  // in registration order

  // Counters for tests and the debugging tool.
  long calls_served() const;  // requests answered (failures included)
  long connections_accepted() const;
  int open_connections() const;  // connections whose thread still runs
  long bad_frames() const;       // connections ended for a bad frame

  // --- Test hooks (no effect unless armed) ---
  // Every call is answered with `code` and the text "server refuses calls"
  // (0 disarms), as a server that turns everyone away.
  void test_refuse_calls(int code);
  // The next n requests are read and then their connection is closed without
  // an answer, as a server dying mid-call.
  void test_drop_next(int n);
  // Every answer waits this long first (0 disarms); stop() cuts the wait short.
  void test_answer_delay_ms(int ms);

  // --- Limits on what clients may hold (set before start(); a change applies
  // to connections from their next wait on) ---
  // Connections silent between frames for longer than this are closed; 0 = never.
  // A peer that stops mid-frame is cut off after 10 s whatever this says.
  void set_idle_timeout_ms(int ms);  // default kDefaultIdleTimeoutMs
  // At most this many open connections from one peer address; 0 = no per-peer
  // cap. The total stays capped at 256. At either cap the connection idle
  // between frames the longest (from that peer, or from anyone at the total
  // cap) is closed to make room; the newcomer is refused only when none is idle.
  void set_max_connections_per_peer(int n);  // default kDefaultMaxConnectionsPerPeer
  long connections_closed_idle() const;      // closed by the idle bound (or evicted as idle)
  long connections_refused() const;          // refused at a connection cap

  struct State;  // internal

 private:
  State* s_;
};

}  // namespace velmor

#endif
