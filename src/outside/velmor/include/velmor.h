// Control-system client library: property addresses (EqAdr), property calls
// (EqCall) and the typed data object (EqData) that carries documents and channel
// values. The server side lives in velmor_server.h; the wire format and the name
// table are described in docs/control-transport.md.
//
// Conventions of this header:
// - Failures are return values; nothing throws across the interface.
// - Operations returning bool return false on success and true on failure.
// - Every storing operation of EqData copies what it is given; pointers handed
//   out by the read side stay valid until the next storing call or init().
#ifndef VELMOR_H
#define VELMOR_H

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "velmor_export.h"

namespace velmor {

// ---------------------------------------------------------------------------
// Data type codes. The four DAQ codes are fixed by the event stream; the
// ordinary ones are this library's own choice and appear on the wire.
enum : int {
  DATA_NULL = 0,
  DATA_INT = 3,     // 64-bit integer (one value)
  DATA_FLOAT = 4,   // float (one value)
  DATA_DOUBLE = 5,  // double (one value)
  DATA_STRING = 7,  // a text
  DATA_XML = 8,     // an XML document (a text)
  DATA_IMAGE = 22,
  DATA_A_INT = 53,     // array of 64-bit integers
  DATA_A_FLOAT = 54,   // array of floats
  DATA_A_DOUBLE = 55,  // array of doubles
  DATA_A_STRING = 57,  // array of texts (also the answer of a names query)
  DATA_A_USTR = 103,
  DATA_A_TS_SPECTRUM = 1013,
  DATA_A_TS_GSPECTRUM = 1015,
};

// Call options; see EqCall::set_option.
enum EqOption : int { EQ_RETRY = 4 };

// Unscoped on purpose: both velmor::no and velmor::PreserveTimestampAndEventId::no work.
enum PreserveTimestampAndEventId : int { no = 0, yes = 1 };

// Error codes that error() reports after a failed call. A property handler's
// own non-zero code is passed through unchanged.
enum : int {
  EQ_OK = 0,
  EQ_ERR_UNKNOWN_SERVER = 101,      // the address names no server in the name table
  EQ_ERR_CONNECTION_REFUSED = 102,  // nobody listens at the server's host:port
  EQ_ERR_TIMEOUT = 103,             // connect or call did not finish in time
  EQ_ERR_PROTOCOL = 104,            // a malformed, oversized or mismatched frame
  EQ_ERR_UNKNOWN_PROPERTY = 105,    // the server has no such property
  EQ_ERR_SERVER_FAILURE = 106,      // the handler failed without a code of its own
  EQ_ERR_BAD_ADDRESS = 107,         // the address text cannot be parsed
  EQ_ERR_CONNECTION_LOST = 108,     // the server closed or reset the connection mid-call
  EQ_ERR_NOT_SUPPORTED = 109,       // the property does not answer this kind of call
  EQ_ERR_INVALID_ARGUMENT = 110,    // null address or data, or an unserialisable object
  EQ_ERR_INJECTED = 111,            // a test hook made this call fail
  EQ_ERR_CONNECT_FAILED = 112,      // connect failed for another reason (no route, ...)
};

// The fixed text of an error code ("unknown error" for codes not listed).
VELMOR_EXPORT const char* error_code_text(int code);

// ---------------------------------------------------------------------------
// Records the system fills before handing them to EqData (fields in order).
struct SPECTRUM {
  struct {
    uint32_t comment_len;  // characters including the NUL, as the producer counts it
    char* comment_val;
  } comment;
  time_t tm;
  float s_start;
  float s_inc;
  uint32_t status;
  struct {
    uint32_t d_spect_array_len;
    float* d_spect_array_val;
  } d_spect_array;
};

struct GSPECTRUM {
  struct {
    uint32_t comment_len;
    char* comment_val;
  } comment;
  uint32_t id;
  time_t tm;
  float s_start;
  float s_inc;
  uint32_t status;
  int groups;
  int group_size;
  float group_inc;
  uint32_t stat_mask;
  float statistics[24];
  int timing_param[8];
  struct {
    uint32_t d_gspect_array_len;
    float* d_gspect_array_val;
  } d_gspect_array;
};

// The image header: 100 bytes, the layout of the DAQ image frame head.
struct IMH {
  int width;
  int height;
  int aoi_width;
  int aoi_height;
  int x_start;
  int y_start;
  int bpp;
  int ebitpp;
  int hbin;
  int vbin;
  int source_format;
  int image_format;
  uint32_t frame;
  uint32_t event;
  float scale_x;
  float scale_y;
  float image_rotation;
  float fspare2;
  float fspare3;
  float fspare4;
  int image_flags;
  int ispare2;
  int ispare3;
  int ispare4;
  int length;  // byte length of the image data
};
static_assert(sizeof(IMH) == 100, "IMH must keep the frame-head layout");

// ---------------------------------------------------------------------------
// Read-side views of stored elements.

// One DATA_A_USTR element: an integer, two floats, a time in seconds, a text.
struct UstrElement {
  int i1 = 0;
  float f1 = 0;
  float f2 = 0;
  long tm = 0;
  std::string str;
};

// One spectrum (set_ts_spect) or group spectrum (set_ts_gspect). The three
// stamp arguments of the setter are kept as ts_seconds / ts_millis / ts_status.
// For a plain spectrum the group fields (id, groups, group_size, group_inc,
// stat_mask, statistics, timing_param) stay zero.
struct SpectrumElement {
  bool group = false;  // true when stored by set_ts_gspect
  unsigned ts_seconds = 0;
  unsigned short ts_millis = 0;
  unsigned short ts_status = 0;
  std::string comment;       // text up to the first NUL, at most comment_len characters
  uint32_t comment_len = 0;  // the producer's own count, kept as given
  uint32_t id = 0;
  int64_t tm = 0;
  float s_start = 0;
  float s_inc = 0;
  uint32_t status = 0;
  int groups = 0;
  int group_size = 0;
  float group_inc = 0;
  uint32_t stat_mask = 0;
  float statistics[24] = {};
  int timing_param[8] = {};
  std::vector<float> data;  // the array; data.data() / data.size()
};

// Largest element index a storing call accepts (and largest element count that
// deserialisation accepts), so that a stray index cannot allocate gigabytes.
constexpr int kMaxElements = 1 << 20;

// Largest serialised object and largest transport frame (64 MB).
constexpr size_t kMaxSerializedSize = 64u * 1024u * 1024u;

// ---------------------------------------------------------------------------
struct EqDataContent;  // the value behind an EqData, internal
struct EqDataAccess;   // the library's own access to it, internal

// The typed data object. Copyable by value as well as with copy_from.
// Not thread-safe: one object is used by one thread at a time.
class VELMOR_EXPORT EqData {
 public:
  EqData();
  ~EqData();
  EqData(const EqData&);
  EqData& operator=(const EqData&);

  // Reset to the empty state: type DATA_NULL, error 0, no time, no elements.
  // Allocated buffers are kept for reuse; destroying the object releases them.
  void init();
  // Deep copy of src (src may be destroyed afterwards). src null: true, unchanged.
  bool copy_from(const EqData* src);

  void set_type(int type);
  int type() const;

  // 0 after a successful call; otherwise the failure code (see the codes above).
  int error() const;
  // The error text of the last failed call ("" when error() is 0).
  const char* error_text() const;
  // Marks the object as the result of a failed call (used by the transport and
  // by property handlers that want their own text to reach the client).
  void set_error(int code, const std::string& text);

  // Copies the object's text into buf (always NUL-terminated, cut to size - 1):
  // after a failed call the error text; for DATA_STRING / DATA_XML the text;
  // for numbers the first value printed; for DATA_A_STRING the first text; for
  // DATA_A_USTR the text of element 0; for spectra the comment of element 0;
  // for images the image comment. Returns buf (null when buf is null or size 0).
  char* get_string(char* buf, unsigned long size) const;

  // XML document: set_xml sets type DATA_XML and copies the text; get_xml returns
  // the object's text NUL-terminated (never null; "" when none), owned by the object.
  // The caller must not write through the pointer.
  void set_xml(const std::string& xml);
  char* get_xml() const;

  // Time stamp and event number (64-bit, stored losslessly).
  void time(long seconds, int microseconds);
  void mpnum(long event_number);
  long get_time_seconds() const;
  int get_time_microseconds() const;
  long get_mpnum() const;

  // Number of elements. length(n) sets it (negative counts as 0, above
  // kMaxElements is cut to it); storing element i raises it to i + 1 when lower.
  void length(int n);
  int get_length() const;

  // DATA_A_USTR element `index`: integer, two floats, time in seconds, text.
  // Index outside [0, kMaxElements): true, nothing stored.
  bool set(int i1, float f1, float f2, long tm, const std::string& str, int index);
  const UstrElement* get_ustr(int index) const;  // null when not stored
  int ustr_count() const;

  // Spectrum / group spectrum `index`: header fields and the array are copied
  // (a null array pointer stores an empty array). Null record or bad index: true.
  bool set_ts_spect(unsigned seconds, unsigned short millis, unsigned short status,
                    SPECTRUM* spectrum, int index);
  bool set_ts_gspect(unsigned seconds, unsigned short millis, unsigned short status,
                     GSPECTRUM* spectrum, int index);
  const SpectrumElement* get_spectrum(int index) const;  // null when not stored
  int spectrum_count() const;

  // Image: copies length bytes and the header (type becomes DATA_IMAGE).
  // PreserveTimestampAndEventId `yes` writes the object's event number (low 32
  // bits) into the stored header's `event`; `no` stores the header as given.
  // The object's own time stamp and event number are never changed here.
  // Null data with length > 0, negative length or null header: true.
  bool set_image(const unsigned char* data, int length, IMH* header,
                 PreserveTimestampAndEventId preserve);
  void set_image_comm(const char* comment);     // null stores ""
  const IMH* get_image_header() const;          // null when no image stored
  const unsigned char* get_image_data() const;  // null when no bytes
  int get_image_length() const;
  const char* get_image_comm() const;  // never null

  // Scalars and arrays. Each setter sets the type and replaces the values.
  void set_int(long value);
  void set_float(float value);
  void set_double(double value);
  void set_string(const std::string& text);  // DATA_STRING
  void set_int_array(const long* values, int count);
  void set_float_array(const float* values, int count);
  void set_double_array(const double* values, int count);
  void set_string_array(const std::vector<std::string>& texts);
  void add_string(const std::string& text);  // appends; type DATA_A_STRING

  // Values converted from whichever numbers the object holds (0 when none).
  long get_int(int index = 0) const;
  float get_float(int index = 0) const;
  double get_double(int index = 0) const;
  // The text (DATA_STRING / DATA_XML, index 0) or text `index` of DATA_A_STRING;
  // never null ("" when absent).
  const char* get_text(int index = 0) const;
  int value_count() const;  // numbers or texts held by the scalar/array forms

  // Serialised form (docs/control-transport.md, "Data objects"). serialize
  // appends to out and returns false on success, true when the object is too
  // large (out unchanged then). deserialize replaces the content; on any
  // malformed, truncated or oversized input it returns true and leaves the
  // object in the init() state. It never reads outside [data, data + length).
  bool serialize(std::string& out) const;
  bool deserialize(const char* data, size_t length);

 private:
  friend struct EqDataAccess;
  EqDataContent* c_;
};

// ---------------------------------------------------------------------------
// A property address: "/FACILITY[/DEVICE[/LOCATION]]/PROPERTY". The leading '/'
// is optional; the last part is the property name (it may contain '.').
class VELMOR_EXPORT EqAdr {
 public:
  EqAdr();
  // Parses the text. Returns false when it has a server part and a property.
  bool adr(const std::string& text);
  const std::string& text() const { return text_; }
  const std::string& facility() const { return facility_; }
  const std::string& device() const { return device_; }
  const std::string& location() const { return location_; }  // "" when absent
  const std::string& property() const { return property_; }
  bool valid() const { return valid_; }

 private:
  std::string text_, facility_, device_, location_, property_;
  bool valid_ = false;
};

// ---------------------------------------------------------------------------
// Name table: how an address finds its server.
//
// 1. In-process registrations (register_server) are asked first.
// 2. Then the environment variable VELMOR_NAMES: either an inline list
//      "FACILITY/DEVICE=host:port;FACILITY/DEVICE/LOCATION=host:port;..."
//    (recognised by containing '='), or the path of a file with one entry per
//    line, "FACILITY/DEVICE host:port" or "FACILITY/DEVICE=host:port", '#'
//    starting a comment. The file is re-read when its modification time changes.
// Keys match case-insensitively; an address tries FACILITY/DEVICE/LOCATION,
// then FACILITY/DEVICE, then FACILITY.

// Registers (or replaces) an entry. port outside 1..65535 or null texts: true.
VELMOR_EXPORT bool register_server(const char* facility_device, const char* host, int port);
// Removes an in-process entry; true when there was none.
VELMOR_EXPORT bool unregister_server(const char* facility_device);
// Resolves an address to host and port; false on success.
VELMOR_EXPORT bool resolve_server(const EqAdr& address, std::string* host, int* port);

// ---------------------------------------------------------------------------
// Property calls over the transport.
//
// Connections are cached per server (host:port) and reused by later calls.
// Timeouts: connect 1000 ms and call 3000 ms by default; the environment
// variables VELMOR_CONNECT_TIMEOUT_MS and VELMOR_CALL_TIMEOUT_MS (read when the
// EqCall is created) and set_timeouts override them. A call that times out
// closes its connection, so a late answer can never be taken for another call.
//
// Threads: one EqCall may be shared by threads; a lock serialises its calls
// (each thread may also use its own EqCall to call in parallel).
//
// Every call reports its result in out: error() 0 and the answer, or the
// failure code with get_string() / error_text() giving the text. A call also
// returns out->error() for convenience.
class VELMOR_EXPORT EqCall {
 public:
  EqCall();
  ~EqCall();
  EqCall(const EqCall&) = delete;
  EqCall& operator=(const EqCall&) = delete;

  // EQ_RETRY arms one reconnect for the next call: when the cached connection
  // turns out broken before any answer arrived (send failed, or the server
  // closed it without answering), a get or names call reconnects once and
  // sends again. A set is never sent twice (the server may have acted on it).
  // Without it such a call fails with EQ_ERR_CONNECTION_LOST. Returns 0; an
  // unknown option returns EQ_ERR_INVALID_ARGUMENT.
  int set_option(EqAdr* address, EqData* in, EqData* out, EqOption option);

  int set(EqAdr* address, EqData* in, EqData* out);
  int get(EqAdr* address, EqData* in, EqData* out);  // in may be null
  // The server's property names as DATA_A_STRING in out.
  int names(EqAdr* address, EqData* out);

  // Timeouts in milliseconds; values below 1 keep the current one.
  void set_timeouts(int connect_ms, int call_ms);
  int connect_timeout_ms() const;
  int call_timeout_ms() const;

  // Closes every cached connection (the next call reconnects).
  void disconnect_all();

  // --- Test hooks (for fault-path tests; no effect unless armed) ---
  // The n-th call from now (1 = the next one) fails with `code` without
  // reaching the server; one armed failure at a time, n < 1 disarms.
  void test_fail_call(int n, int code);
  // The next `times` calls (any kind) to a property of this name are answered
  // with a copy of `answer` (its error() included) without reaching a server.
  void test_script_answer(const std::string& property, const EqData& answer, int times);
  void test_clear_hooks();
  // Calls made through this object, hooked ones included.
  long call_count() const;
  // Connections opened by this object so far (to check reuse).
  long connects_made() const;

 private:
  struct State;
  State* s_;
};

}  // namespace velmor

#endif
