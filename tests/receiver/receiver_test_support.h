// Helpers for the receiver tests and benchmarks: the test plays the data server
// with the real listening side of the data link and the real event encoders, and
// records the control messages the receiver sends back.
#ifndef RECEIVER_TEST_SUPPORT_H
#define RECEIVER_TEST_SUPPORT_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <initializer_list>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "daq_generation.h"
#include "daq_server_util_def.h"
#include "daq_text.h"
#include "eq_daq_data.h"
#include "eq_daq_data_2024.h"
#include "orxa_event_builder.h"
#include "query_release.h"
#include "socket_send.h"
#include "tidewire.h"
#include "tidewire_listener.h"
#include "velmor.h"

namespace rtest {

using Bytes = std::vector<char>;
using Clock = std::chrono::steady_clock;

// The generations as the tests name them.
using Legacy = ::LegacyGen;
using Gen2024 = ::Gen2024;

// Converts an encoded event straight into the cache, as the receiver thread does.
template <class G>
int convert(DAQEqEvstore& c, const Bytes& ev) {
  return c.daq_data_to_cache(reinterpret_cast<typename G::Header*>(const_cast<char*>(ev.data())),
                             nullptr, 0);
}

// A reply record that cleans itself.
struct Reply {
  daq_server_reply r;
  Reply(int port, int comm_mode = ORXA_DAQ_COMM_PUSH) {
    clean_reply(&r);
    copy_text(r.host, "127.0.0.1");
    r.port = port;
    r.request.comm_mode = comm_mode;
  }
  ~Reply() { clean_reply(&r); }
  Reply(const Reply&) = delete;
  Reply& operator=(const Reply&) = delete;
};

// Time stamps that grow with the event number (10 events per second).
inline time_stamp stamp_of(uint64_t n) {
  return time_stamp{static_cast<uint32_t>(1000000 + n / 10),
                    static_cast<uint32_t>((n % 10) * 100000)};
}

// Events of one generation, built with the real encoder.
class EventMaker {
 public:
  explicit EventMaker(int format) : builder_(format) {}

  // One spectrum channel "SPECTRUM.CH" of nvalues floats (value i = n + i).
  Bytes spectrum(uint64_t n, time_stamp t, int nvalues = 16, const char* name = "SPECTRUM.CH") {
    values_.resize(static_cast<size_t>(nvalues));
    for (int i = 0; i < nvalues; ++i)
      values_[static_cast<size_t>(i)] = static_cast<float>(n % 100000) + i;
    orxa_spect_input in{0.0f, 1.0f, nvalues, 1, 0.0f, values_.data(), nullptr};
    builder_.begin(n, t);
    builder_.add_spectra(name, ORXA_DT_SPECTRUM, &in, 1, false);
    return finish();
  }
  Bytes spectrum(uint64_t n) { return spectrum(n, stamp_of(n)); }

  // One 4-value spectrum per name; channel k of event n holds n * 10 + k.
  Bytes channels(uint64_t n, time_stamp t, std::initializer_list<const char*> names) {
    builder_.begin(n, t);
    float k = 0;
    for (const char* name : names) {
      float v[4] = {static_cast<float>(n * 10) + k, 0, 0, 0};
      orxa_spect_input in{0.0f, 1.0f, 4, 1, 0.0f, v, nullptr};
      builder_.add_spectra(name, ORXA_DT_SPECTRUM, &in, 1, false);
      k += 1;
    }
    return finish();
  }

  // One image channel "IMG" of nbytes bytes.
  Bytes image(uint64_t n, int nbytes) {
    pixels_.resize(static_cast<size_t>(nbytes), static_cast<unsigned char>(n));
    orxa_image_ext_frame_head head{};
    head.width = nbytes;
    head.height = 1;
    head.aoi_width = nbytes;
    head.aoi_height = 1;
    head.bpp = 1;
    head.length = nbytes;
    builder_.begin(n, stamp_of(n));
    builder_.add_image("IMG", ORXA_DT_IMAGE_EXT, head, pixels_.data());
    return finish();
  }

  // An event without channels, as the end of stream is sent.
  Bytes bare(uint64_t n, time_stamp t = time_stamp{0, 0}) {
    builder_.begin(n, t);
    return finish();
  }

 private:
  Bytes finish() {
    size_t length = 0;
    const char* ev = builder_.finish(&length);
    return ev == nullptr ? Bytes() : Bytes(ev, ev + length);
  }
  OrxaEventBuilder builder_;
  std::vector<float> values_;
  std::vector<unsigned char> pixels_;
};

// A control message as the server received it.
struct Control {
  uint64_t number = 0;
  time_stamp time{0, 0};
  uint64_t length = 0;
  Bytes header;  // the whole header as sent
  Clock::time_point at;
};

inline int send_bytes(Tidewire& link, const Bytes& b) {
  iovec v{const_cast<char*>(b.data()), b.size()};
  return link.SendEvent(&v, 1, SendEvent_NOACK);
}

// Reads one control message within timeout_ms. 0 with *out filled, 22 when none
// came, else the link's failure code.
inline int read_control(Tidewire& link, bool is_2024, int timeout_ms, Control* out) {
  int rc = link.ReceiveEvent(nullptr, timeout_ms, -1, -1);
  if (rc == TIDEWIRE_AGAIN_INTERRUPTED) rc = TIDEWIRE_AGAIN_TIMEOUT;
  if (rc != 0) return rc;
  out->at = Clock::now();
  if (is_2024) {
    orxa_eventheader_2024* h = link.get_event_header_2024();
    if (h == nullptr) return TIDEWIRE_ERR_UNKNOWN_KIND;
    out->number = h->event_number;
    out->time = h->event_time;
    out->length = static_cast<uint64_t>(h->event_length);
    out->header.assign(reinterpret_cast<char*>(h), reinterpret_cast<char*>(h) + sizeof *h);
  } else {
    orxa_eventheader* h = link.get_event_header();
    if (h == nullptr) return TIDEWIRE_ERR_UNKNOWN_KIND;
    out->number = h->event_number;
    out->time = h->event_time;
    out->length = h->event_length;
    out->header.assign(reinterpret_cast<char*>(h), reinterpret_cast<char*>(h) + sizeof *h);
  }
  return 0;
}

// The server side of one receiver's data link.
class StreamServer {
 public:
  explicit StreamServer(bool is_2024) : is_2024_(is_2024) { listener_.Listen("127.0.0.1", 0); }

  int port() const { return listener_.GetPort(); }

  // Accepts the receiver while connect() runs (it blocks until the hellos are
  // exchanged). connect returns true on failure, as the receiver's connect does.
  bool Attach(const std::function<bool()>& connect) {
    auto accepted = std::async(std::launch::async, [this] {
      Tidewire* link = nullptr;
      int rc = listener_.Accept(5000, &link);
      return std::make_pair(rc, link);
    });
    bool failed = connect();
    auto result = accepted.get();
    link_.reset(result.second);
    lost = false;
    controls.clear();
    return !failed && result.first == 0 && link_ != nullptr;
  }

  template <class R>
  bool AttachReceiver(R& receiver, int comm_mode = ORXA_DAQ_COMM_PUSH) {
    Reply reply(port(), comm_mode);
    if (receiver.set_reply(&reply.r)) return false;
    return Attach([&receiver] { return receiver.connect(); });
  }

  Tidewire& link() { return *link_; }
  bool attached() const { return link_ != nullptr; }
  void Drop() { link_.reset(); }

  int Send(const Bytes& b) { return send_bytes(*link_, b); }

  // Reads control messages for up to ms milliseconds, stopping early when until
  // (if given) holds for what has arrived or the link is lost. True when until held.
  bool Read(int ms, const std::function<bool(const std::vector<Control>&)>& until = nullptr) {
    auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (!lost) {
      if (until && until(controls)) return true;
      auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) break;
      Control c;
      int rc = read_control(*link_, is_2024_, static_cast<int>(left < 200 ? left : 200), &c);
      if (rc == 0) {
        controls.push_back(c);
      } else if (rc != TIDEWIRE_AGAIN_TIMEOUT) {
        lost = true;
      }
    }
    return until && until(controls);
  }

  std::vector<Control> controls;
  bool lost = false;

 private:
  bool is_2024_;
  TidewireListener listener_;
  std::unique_ptr<Tidewire> link_;
};

// A hand-driven server for bytes no well-behaved sender writes: plain TCP, the
// link's hello written by hand, frames read and written raw.
class RawServer {
 public:
  RawServer() {
    listen_fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        listen(listen_fd_, 4) == 0 &&
        getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &len) == 0)
      port_ = ntohs(a.sin_port);
  }
  ~RawServer() {
    if (fd_ >= 0) close(fd_);
    if (listen_fd_ >= 0) close(listen_fd_);
  }
  RawServer(const RawServer&) = delete;
  RawServer& operator=(const RawServer&) = delete;

  int port() const { return port_; }

  bool Attach(const std::function<bool()>& connect) {
    auto accepted = std::async(std::launch::async, [this] {
      pollfd p{listen_fd_, POLLIN, 0};
      if (poll(&p, 1, 5000) != 1) return false;
      fd_ = accept(listen_fd_, nullptr, nullptr);
      // As the server's listener does: bulk writes are not held back for acks.
      int one = 1;
      if (fd_ >= 0) setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      const uint32_t hello[2] = {0x5457494Bu, 1};
      char peer[8];
      return fd_ >= 0 && Write(hello, sizeof hello) && Read(peer, sizeof peer, 5000);
    });
    bool failed = connect();
    return accepted.get() && !failed;
  }

  bool WriteFrame(const void* message, uint32_t length) {
    return Write(&length, sizeof length) && Write(message, length);
  }

  // Bytes as they are, for frames cut short or sent a piece at a time.
  bool WriteRaw(const void* bytes, size_t n) { return Write(bytes, n); }

  // One whole frame within ms; false on time-out or when the peer closed.
  bool ReadFrame(int ms, Bytes* out) {
    uint32_t length = 0;
    if (!Read(&length, sizeof length, ms) || length > (1u << 20)) return false;
    out->resize(length);
    return Read(out->data(), length, ms);
  }

 private:
  bool Write(const void* p, size_t n) { return send_all_bytes(fd_, p, n); }
  bool Read(void* p, size_t n, int ms) {
    char* c = static_cast<char*>(p);
    auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (n > 0) {
      auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      pollfd pf{fd_, POLLIN, 0};
      if (left <= 0 || poll(&pf, 1, static_cast<int>(left)) != 1) return false;
      ssize_t r = recv(fd_, c, n, 0);
      if (r <= 0) return false;
      c += r;
      n -= static_cast<size_t>(r);
    }
    return true;
  }

  int listen_fd_ = -1;
  int fd_ = -1;
  int port_ = 0;
};

// What a streaming server saw of the receiver's flow control.
struct StreamStats {
  uint64_t sent = 0;
  uint64_t pauses = 0;          // pause requests and holds
  uint64_t pause_requests = 0;  // the pauses that began a pause; the others were holds
  uint64_t resumes = 0;         // other control messages while paused
  uint64_t acks = 0;
  bool farewell = false;
  bool lost = false;
  bool timed_out = false;
};

// Serves events first..first+count-1 (made by make(n)) as a server honouring the control
// messages: a pause request stops sending, holds keep it paused, a resume
// continues; in handshake mode each event waits for its ready acknowledgment.
// Ends with the end-of-stream event (when one is given), then, with to_close, reads
// control messages until the receiver closes the link. Every wait is bounded by timeout_ms.
inline StreamStats serve_stream(Tidewire& link, bool is_2024, uint64_t count,
                                const std::function<const Bytes&(uint64_t)>& make,
                                const Bytes& end_of_stream, bool handshake = false,
                                int timeout_ms = 60000, uint64_t first = 1, bool to_close = false) {
  const uint64_t pause = is_2024 ? Gen2024::kPause : Legacy::kPause;
  const uint64_t farewell = is_2024 ? Gen2024::kFarewell : Legacy::kFarewell;
  StreamStats st;
  bool paused = false;
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  // Takes one control message; false when the stream must end.
  auto take = [&](int wait_ms, bool* got) {
    Control c;
    int rc = read_control(link, is_2024, wait_ms, &c);
    *got = rc == 0;
    if (rc == TIDEWIRE_AGAIN_TIMEOUT) return true;
    if (rc != 0) {
      st.lost = true;
      return false;
    }
    if (c.number == farewell) {
      st.farewell = true;
      return false;
    }
    if (c.number == pause) {
      ++st.pauses;
      if (!paused) ++st.pause_requests;
      paused = true;
    } else if (paused) {
      ++st.resumes;
      paused = false;
    } else {
      ++st.acks;
    }
    return true;
  };
  for (uint64_t n = first; n < first + count;) {
    if (Clock::now() > deadline) {
      st.timed_out = true;
      return st;
    }
    bool got = !handshake;  // in handshake mode the wait for the ack reads them
    while (got) {           // everything already there, without waiting
      if (!take(0, &got)) return st;
    }
    if (paused) {
      if (!take(200, &got)) return st;
      continue;
    }
    int rc = send_bytes(link, make(n));
    if (rc == TIDEWIRE_ERR_BUSY) continue;  // nothing sent: try again
    if (rc != 0 && rc != TIDEWIRE_ERR_TIMEOUT) {
      st.lost = true;
      return st;
    }
    ++n;
    ++st.sent;
    if (handshake) {
      uint64_t acks = st.acks;
      while (st.acks == acks) {
        if (Clock::now() > deadline) {
          st.timed_out = true;
          return st;
        }
        if (!take(200, &got)) return st;
      }
    }
  }
  if (!end_of_stream.empty()) send_bytes(link, end_of_stream);
  bool got = false;
  while (to_close && !st.lost && !st.farewell) {
    if (Clock::now() > deadline) {
      st.timed_out = true;
      break;
    }
    take(200, &got);
  }
  return st;
}

// Waits up to ms for pred to hold, polling every millisecond.
inline bool wait_for(const std::function<bool()>& pred, int ms = 5000) {
  auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  while (!pred()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace rtest

#endif
