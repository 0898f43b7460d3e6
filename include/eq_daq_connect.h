// EqDAQconnect: a client's connection to the DAQ data servers of one facility.
//
// An application creates one with its control-system call object, fills the
// request through the setters and add_channel / add_file, and calls connect(),
// which sends the request to the first server of the list that takes it and
// keeps the server's final reply (host and port of the data stream).
//
// Server list: entries "FACILITY/DEVICE/LOCATION[/]" separated by ':'. The
// environment variable ORXA_DAQ_SERVERS, when set, replaces the facility's list.
//
// Ownership: the connection owns its request, its reply and the channel
// descriptions of a channel-list reply (chanlist); pointers handed out by the
// getters stay valid as long as the connection object and until the next init()
// or connect(). The call object is the caller's.
//
// Threads: one thread owns the object. Another thread may call
// set_connect_cancel() while connect() runs; nothing else is shared.
#ifndef EQ_DAQ_CONNECT_H
#define EQ_DAQ_CONNECT_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "daq_export.h"
#include "daq_server_util_def.h"
#include "velmor.h"

class SAX_Parser_Cache;

struct chan_descr_2010;

// Result codes of EqDAQconnect::connect (texts: get_error). Any other value is
// the code of validate_daq_request.
enum {
  EQ_DAQ_CONNECT_OK = 0,
  EQ_DAQ_CONNECT_SEND_FAILED = 1,   // writing DAQ.REQ failed (sndreqerror says why)
  EQ_DAQ_CONNECT_GET_FAILED = 2,    // reading DAQ.REP<n> failed
  EQ_DAQ_CONNECT_PARSE_FAILED = 3,  // an answer was not a readable reply document
  EQ_DAQ_CONNECT_BAD_REPLY = 4,     // "ERROR", or a negative reply number
  EQ_DAQ_CONNECT_TIMEOUT = 9,       // the connect budget (set_connect_timeout) ran out
  EQ_DAQ_CONNECT_DIFFERENT = 12,    // the echoed request differs from the one sent
  EQ_DAQ_CONNECT_BUSY = 13,         // the server answered "BUSY"
  EQ_DAQ_CONNECT_CANCELED = 14      // set_connect_cancel(true) was seen
};

// Budget of one connect() call in seconds, unless set_connect_timeout says otherwise.
enum { EQ_DAQ_CONNECT_DEFAULT_TIMEOUT_S = 180 };

// Told after every pass over the server list that is followed by another one:
// the 1-based pass, the code noted last in it and a short text of what failed
// (valid during the call only). Runs in the thread of connect().
typedef void (*EqDAQconnectPassObserver)(void* context, int pass, int code, const char* what);

// Size of sndreqerror, NUL included.
enum { EQ_DAQ_SNDREQERROR_SIZE = 80 };

class DAQ_EXPORT EqDAQconnect {
 public:
  // Draws the request identifier and picks the server list of `linac` (null or
  // an unknown name: the LUMAR list) unless ORXA_DAQ_SERVERS is set.
  EqDAQconnect(velmor::EqCall* call, const char* linac);
  ~EqDAQconnect();
  EqDAQconnect(const EqDAQconnect&) = delete;
  EqDAQconnect& operator=(const EqDAQconnect&) = delete;

  // Back to the starting state with the list of `linac`; keeps id and the
  // cancellation flag.
  void init(const char* linac);

  // Setters: 0, or -1 when the value is rejected (nothing stored then).
  int set_start_time(int time);
  int set_stop_time(int time);
  int set_start_time(const char* time);
  int set_stop_time(const char* time);
  int set_experiment(const char* exp);
  int set_data_dir(const char* ddir);
  int set_ctl_dir(const char* cdir);
  int set_conf_file(const char* cfile);
  int set_scan_mode(int md);
  int set_run_first(int run);
  int set_run_last(int run);
  int set_comm_mode(int md);
  int set_request_type(int tp);

  // Files and channels: 0, -1 for a null or empty name, -2 when memory runs out.
  // add_channel(chan) reads "NAME@p1@p2@p3@p4": a part starting with 'T' is a
  // time value (tstart, tlength, tinc), otherwise start, length, inc; the fourth
  // part is func. Parameters not given stay -1 / -1.0.
  int add_file(const char* chan);
  int add_channel(const char* chan);
  int add_channel(const char* chan, int length);
  int add_channel(const char* chan, float length);
  int add_channel(const char* chan, int length, int start);
  int add_channel(const char* chan, float length, float start);
  int add_channel(const char* chan, int length, int start, int inc);
  int add_channel(const char* chan, float length, float start, float inc);
  int add_channel(const char* chan, int length, int start, int inc, int func);
  int add_channel(const char* chan, float length, float start, float inc, int func);

  int get_scan_mode();
  time_t get_start_time();
  time_t get_stop_time();
  // validate_daq_reply on the reply: its result; host points into the reply.
  int get_server_host_port(char** hst, int* port, bool* mode);
  daq_server_reply* get_server_reply();
  daq_server_request* get_server_request();
  bool if_just_get_chan_list();
  // Stores a pointer to chanlist in *vc (when vc is not null); returns its size.
  unsigned get_chan_list(std::vector<chan_descr_2010*>** vc);
  std::vector<char*>* get_file_list();
  std::vector<char*>* get_not_found_file_list();
  std::vector<char*>* get_not_found_chan_list();

  // Cancellation: may be set from another thread while connect() runs; stays
  // set until set_connect_cancel(false).
  bool set_connect_cancel(bool cancel);
  bool get_connect_cancel();

  void print_request();
  void print_reply();

  // The request handshake: 0 when a server accepted the request (reply holds its
  // final answer), else a result code above or a validation code. A non-empty
  // `whom` replaces the server list until init(). The whole call ends within
  // the budget (set_connect_timeout); a pass in which a server said "BUSY"
  // lasts at least a second before the next one starts. When no entry of the
  // list can name a server (not in the name table, or too long), it ends after
  // the first pass with code 1. Channel descriptions of channel-list answers
  // are appended to chanlist, one per channel name within one connect().
  int connect(const char* whom);

  // One property call with up to n retries 300 ms apart. op: 1 set, 2 get,
  // 3 names; another op gives -1. -111 when cancelled, else dst->error().
  // Failures a retry cannot mend (unknown server, bad address, invalid
  // argument) are not retried, nor is a set whose request may have reached the
  // server (timeout, connection lost, protocol error): it must not run twice.
  int reconnect_and_try(velmor::EqCall* call, velmor::EqAdr* addr, velmor::EqData* src,
                        velmor::EqData* dst, int op, int n);

  // The text of a result code of connect(). The text of code 1 includes
  // sndreqerror and lives in storage of the calling thread until its next call.
  const char* get_error(int err);
  // The reason text of the last answer, or of a validation failure.
  char* get_reply_error();

  // Bound of one whole connect() call: every call, retry, pause and poll inside
  // it fits in what is left, and past it connect() returns
  // EQ_DAQ_CONNECT_TIMEOUT. 0, or -1 when seconds < 1 (nothing stored then).
  // The call object's own timeouts are shortened to the time left during a
  // call and restored before connect() returns (a call object shared with
  // other threads sees the shortened ones meanwhile).
  int set_connect_timeout(int seconds);
  int get_connect_timeout();
  // A null observer tells nobody. Kept across init().
  void set_pass_observer(EqDAQconnectPassObserver observer, void* context);
  // True for a facility name with a server list of its own (exact, as init()
  // compares it); any other name falls back to the LUMAR list.
  static bool known_facility(const char* linac);

 private:
  int add_channel_entry(const char* name, size_t name_length, const orxa_chan_prms& prms);
  int send_to_entry(const std::string& entry, int* noted);
  int read_reply_property(const char* address, int* noted);
  int read_answer(int* noted);
  void keep_descriptions(std::vector<chan_descr_2010*>* answer);
  bool budget_spent() const;
  bool pause_ms(int ms);
  void fit_call_timeouts(velmor::EqCall* call);
  std::string what_failed(int noted);

  int id;
  std::string daq_server_names;
  daq_server_request request;
  daq_server_reply reply;
  velmor::EqCall* eq_call;
  velmor::EqAdr equi_addr_c;
  velmor::EqData src_data;
  velmor::EqData dst_data;
  std::vector<chan_descr_2010*> chanlist;
  char sndreqerror[EQ_DAQ_SNDREQERROR_SIZE];
  std::atomic<bool> connect_cancel;
  int connect_timeout_s;
  EqDAQconnectPassObserver pass_observer;
  void* pass_context;
  int64_t connect_deadline_ms;  // monotonic end of the running connect(); -1 outside it
  size_t chanlist_from;         // first description this connect() added to chanlist
  int caller_connect_ms;        // eq_call's own timeouts, restored when connect() ends
  int caller_call_ms;
  std::unique_ptr<SAX_Parser_Cache> parsers;  // kept for the answers of every connect()
};

#endif
