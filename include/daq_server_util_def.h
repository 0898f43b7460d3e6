// Request and reply records of the DAQ request/reply protocol, and the free
// functions that clean, compare, merge, copy, print, write, read and validate them.
//
// Ownership: a record owns every block its vectors point to (each channel entry,
// each entry's name, each file text and each statistics text). Those blocks come
// from malloc/calloc and are released with free by clean_request / clean_reply
// only. The records' destructors release only the vectors' own storage, so every
// holder calls clean_request / clean_reply on a new record before first use (which
// sets the defaults) and again before destroying it.
//
// Failures are return values; diagnostics are single lines on standard output.
#ifndef DAQ_SERVER_UTIL_DEF_H
#define DAQ_SERVER_UTIL_DEF_H

#include <cstdint>
#include <string>
#include <vector>

#include "daq_export.h"

struct chan_descr_2010;  // channel description of the event utility library

// Scan modes of a request (shown in hexadecimal).
enum {
  ORXA_DAQ_SCANM_NONE = 0,
  ORXA_DAQ_SCANM_1 = 1,
  ORXA_DAQ_SCANM_2 = 2,
  ORXA_DAQ_SCANM_3 = 3,
  ORXA_DAQ_SCANM_4 = 4,
  ORXA_DAQ_SCANM_5 = 5,
  ORXA_DAQ_SCANM_6 = 6,
  ORXA_DAQ_SCANM_7 = 7,
  ORXA_DAQ_SCANM_8 = 8,
  ORXA_DAQ_SCANM_9 = 9,
  ORXA_DAQ_SCANM_10 = 10,
  ORXA_DAQ_SCANM_ALL = 15
};

// Communication modes: the server pushes freely, or waits for an acknowledgement
// of every event (handshake).
enum { ORXA_DAQ_COMM_PUSH = 1, ORXA_DAQ_COMM_HNDS = 2 };

// Request types: data, only the channel descriptions (no data stream), or
// passed on to the server as it stands.
enum { ORXA_DAQ_REQ_DATA = 1, ORXA_DAQ_REQ_CHANNELS = 2, ORXA_DAQ_REQ_PASSED_ON = 3 };

// Sampling parameters of one requested channel; -1 / -1.0 means "not given".
struct orxa_chan_prms {
  int start;
  int inc;  // only values above 0 are used
  int length;
  int func;
  float tstart;
  float tinc;  // only values above 0.0 are used
  float tlength;
};

// One requested channel: the name and the entry are two separate malloc'ed blocks.
struct daq_channel_entry {
  char* name;
  orxa_chan_prms prms;
};

// Sizes of the fixed text fields, NUL included.
enum {
  DAQ_TIME_TEXT_SIZE = 32,
  DAQ_EXP_SIZE = 32,
  DAQ_CONF_FILE_SIZE = 1024,
  DAQ_HOST_SIZE = 32,
  DAQ_REASON_SIZE = 1024
};

struct daq_server_request {
  uint32_t id;                       // 0: unset
  char t_start[DAQ_TIME_TEXT_SIZE];  // year-month-dayThour:minute:second
  int t_start_sec;                   // seconds since 1970-01-01 UTC; 0: unset
  char t_stop[DAQ_TIME_TEXT_SIZE];
  int t_stop_sec;
  int run_first;  // -1: request by time; 0: all runs
  int run_last;   // -1: unset; 0 or less: the single run run_first
  char exp[DAQ_EXP_SIZE];
  std::string ddir;  // empty: the default data path list
  std::string cdir;  // empty: the default catalog directory
  char conf_file[DAQ_CONF_FILE_SIZE];
  std::vector<daq_channel_entry*> chan_list;  // owned
  std::vector<char*> file_list;               // owned
  int scan_mode;
  int comm_mode;
  int req_type;  // 1 data, 2 channel descriptions only, 3 passed on
};

struct daq_server_stat {
  int t_start_sec;
  int t_stop_sec;
  int files;
  int fids;
  int events;
  int data_loc;                     // shown in hexadecimal
  std::vector<char*> nf_chan_list;  // owned: channels not found
  std::vector<char*> nf_file_list;  // owned: files not found
  std::vector<char*> file_list;     // owned: files found
  int avail;
};

struct daq_server_reply {
  daq_server_request request;
  daq_server_stat stat;
  int port;  // 0 or less: no data stream
  char host[DAQ_HOST_SIZE];
  bool evid64bitmode;
  char reason[DAQ_REASON_SIZE];
};

// ---- records ----

// Releases everything the record owns and sets the defaults. Null: nothing happens.
DAQ_EXPORT void clean_request(daq_server_request* request);
DAQ_EXPORT void clean_reply(daq_server_reply* reply);

// 1 when the requests are the same, 0 on a null argument, otherwise the negative
// code of the first difference (-2 id ... -17 run_last). Channel and file order
// does not matter; the seconds fields are never compared.
DAQ_EXPORT int same_requests(daq_server_request* req1, daq_server_request* req2);

// Completes orig from from (which is not changed). 0, or -1 when memory runs out
// (what was merged so far stays in orig).
DAQ_EXPORT int merge_daq_request(daq_server_request* orig, daq_server_request* from);

// Makes reply (an initialised record) an independent deep copy of rep. False on
// success, true on a null argument or when memory runs out.
DAQ_EXPORT bool copy_reply(daq_server_reply* reply, daq_server_reply* rep);

DAQ_EXPORT void print_daq_request(daq_server_request* request);
DAQ_EXPORT void print_daq_reply(daq_server_reply* reply);

// ---- request document ----

// Writes the request as a DAQREQ element. how != 0: out is emptied and gets the
// XML declaration first; how == 0: the element is appended to out. Attribute
// values are escaped. Returns out's characters (valid until out changes).
DAQ_EXPORT char* create_xml_daq_request(daq_server_request* request, std::string& out, int how);

// Reads a request document. 1: parser not set up or null record; -1: start
// failed, no DAQREQ, an invalid ReqId/ReqType/CommMode or no memory; otherwise the
// parser's error count (0 for a clean document). Every DAQREQ start cleans the
// record. After a failure the record keeps what was read; the caller cleans it.
DAQ_EXPORT int parse_daq_request(char* xml, daq_server_request* request);

// The same from a file, into an initialised record that is not cleaned (the
// file's elements overwrite fields and append to lists); ConfFile is ignored.
DAQ_EXPORT int parse_daq_request_from_file(char* file, daq_server_request* request);

// Append the empty element <b c="d"/> (and its three-attribute form) plus a line
// end to a; values are escaped.
DAQ_EXPORT void EMPTY_TAG_ATTRN(std::string& a, const char* b, const char* c, const char* d);
DAQ_EXPORT void EMPTY_TAG_3ATTRN(std::string& a, const char* b, const char* c, const char* d,
                                 const char* e, char* f, const char* g, char* h);

// ---- reply document ----

// Writes the full reply document into out (emptied first). ivc, when not null and
// not empty, is written as the channel-description block inside Statistics.
DAQ_EXPORT char* create_xml_daq_reply(daq_server_reply* reply, std::string& out,
                                      std::vector<chan_descr_2010*>* ivc);

// Short replies: the request id (when not 0), rep "0" or the port, and the comment.
DAQ_EXPORT char* get_simple_reply(char* info, std::string& out, unsigned id);
DAQ_EXPORT char* get_simple_reply_with_port(char* info, std::string& out, unsigned id,
                                            unsigned port);

// Reads a reply document. Results as parse_daq_request (no DAQREP gives -1). The
// channel descriptions of the document are appended to vc and belong to the caller
// (release them with clean_chan_desr_list); a failing description block does not
// change the result.
DAQ_EXPORT int parse_daq_reply(char* xml, daq_server_reply* reply,
                               std::vector<chan_descr_2010*>* vc);

// ---- validation ----

// Checks and completes a request in place: merges its configuration file when
// cfg_file is true, and turns the time texts into seconds in the zone named by
// ORXA_EXP_TIMEZONE (default "CET"). 0, a negative code (-1 null, -2 nothing to
// select, -3 no experiment nor file, -5 req_type, -6 comm_mode, -7 t_start,
// -8 t_stop, -9 id or run range, -10 start not before stop), or the unchanged
// non-zero result of reading or merging the configuration file.
//
// Sets the process-wide TZ for the conversion and afterwards restores the value
// (or absence) the process had, reloading the zone state, on every return path.
// A configuration file replaces the experiment only when it names one itself.
// Calls are serialised by a process-wide lock, which validate_daq_reply also
// takes; other local-time conversions in the process (localtime, mktime,
// getenv("TZ") ...) must not run concurrently.
DAQ_EXPORT int validate_daq_request(daq_server_request* request, bool cfg_file);

// Converts the echoed request's time texts in the process's current zone and
// checks its run range. On success stores, for each non-null output, the port, a
// pointer to the reply's own host text (valid as long as the reply) and the
// 64-bit event-number mode. 0, -1 null, -7 t_start, -8 t_stop, -9 run range.
DAQ_EXPORT int validate_daq_reply(daq_server_reply* reply, int* port, char** host, bool* mode);

// f shifted right by 4 bits, keeping the sign (-16 gives -1).
DAQ_EXPORT int GET_EVENT_JUMP(int f);

#endif
