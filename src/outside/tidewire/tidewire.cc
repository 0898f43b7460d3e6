// One end of the data link. The object ties a socket to a frame reader and a
// frame writer; reception and sending keep separate state, so they may run in
// two threads. connected_ and active_ are atomics because IsLinkActive is asked
// by a sending thread while the receiving thread may learn that the peer left.
// Errors of connecting and receiving are printed once, when first seen; send
// results are left to the caller, which has its own messages for them.
#include "tidewire.h"

#include <unistd.h>

#include <new>

#include "tidewire_diag.h"
#include "tidewire_frame.h"
#include "tidewire_reader.h"
#include "tidewire_socket.h"
#include "tidewire_writer.h"

using tidewire::MessageKind;

namespace {
constexpr int kDefaultConnectTimeoutMs = 5000;
std::atomic<int> injected_countdown{0};
std::atomic<int> injected_code{0};

// True when this send is the one the test hook chose to fail.
bool send_fails_by_injection() {
  int left = injected_countdown.load();
  while (left > 0 && !injected_countdown.compare_exchange_weak(left, left - 1)) {
  }
  return left == 1;
}
}  // namespace

Tidewire::Tidewire(bool verbose)
    : no_delay(false),
      owncntr(true),
      verbose_(verbose),
      fd_(-1),
      connect_timeout_ms_(kDefaultConnectTimeoutMs),
      connected_(false),
      active_(false),
      swap_(false),
      reported_(0),
      close_expected_(false),
      reader_(new (std::nothrow) TidewireReader(TIDEWIRE_MAX_MESSAGE)),
      writer_(new (std::nothrow) TidewireWriter()),
      received_messages_(0),
      received_bytes_(0),
      sent_messages_(0),
      sent_bytes_(0) {}

Tidewire::~Tidewire() {
  Disconnect();
  delete reader_;
  delete writer_;
}

void Tidewire::SetNoDelay() {
  no_delay = true;
  owncntr = false;
}

void Tidewire::SetConnectTimeout(int ms) {
  if (ms > 0) connect_timeout_ms_ = ms;
}

void Tidewire::SetSendTimeout(int ms) {
  if (ms > 0 && writer_ != nullptr) writer_->SetTimeout(ms);
}

int Tidewire::Connect(char* host, int port) {
  return Connect(static_cast<const char*>(host), port);
}

int Tidewire::Connect(const char* host, int port) {
  Disconnect();
  // The host comes from a server's reply: shown so that a line stays one line.
  char shown[128];
  tidewire::printable(host ? host : "(null)", shown, sizeof shown);
  if (host == nullptr || host[0] == '\0' || port <= 0 || port > 65535) {
    tidewire::diag("Tidewire::Connect() bad address %s:%d\n", shown, port);
    return TIDEWIRE_ERR_ARGUMENT;
  }
  int fd = -1;
  int rc = tidewire::connect_with_timeout(host, port, connect_timeout_ms_, &fd);
  if (rc != 0) {
    tidewire::diag("Tidewire::Connect() %s:%d: %s\n", shown, port, tidewire::result_text(rc));
    return rc;
  }
  if (no_delay) tidewire::set_no_delay(fd);
  fd_ = fd;
  rc = Handshake(connect_timeout_ms_);
  if (rc != 0) {
    tidewire::diag("Tidewire::Connect() %s:%d: %s\n", shown, port, tidewire::result_text(rc));
    return rc;
  }
  if (verbose_) tidewire::diag("Tidewire::Connect() connected to %s:%d\n", shown, port);
  return 0;
}

int Tidewire::Attach(int fd, int timeout_ms) {
  Disconnect();
  if (fd < 0) return TIDEWIRE_ERR_ARGUMENT;
  fd_ = fd;
  if (!tidewire::set_non_blocking(fd)) {
    Disconnect();
    return TIDEWIRE_ERR_ARGUMENT;
  }
  if (no_delay) tidewire::set_no_delay(fd);
  int rc = Handshake(timeout_ms);
  if (rc != 0) tidewire::diag("Tidewire::Attach() %s\n", tidewire::result_text(rc));
  return rc;
}

int Tidewire::Handshake(int timeout_ms) {
  if (reader_ == nullptr || writer_ == nullptr) {
    Disconnect();
    return TIDEWIRE_ERR_NO_MEMORY;
  }
  reader_->Reset(fd_);
  writer_->Reset(fd_);
  int rc = writer_->SendHello(timeout_ms);
  bool swap = false;
  if (rc == 0) rc = reader_->ReadHello(timeout_ms, &swap);
  if (rc != 0) {
    Disconnect();
    return rc;
  }
  swap_ = swap;
  reported_ = 0;
  connected_ = true;
  active_ = true;
  return 0;
}

int Tidewire::Adopt(int fd, bool swap) {
  Disconnect();
  if (reader_ == nullptr || writer_ == nullptr) {
    close(fd);
    return TIDEWIRE_ERR_NO_MEMORY;
  }
  fd_ = fd;
  if (no_delay) tidewire::set_no_delay(fd);
  reader_->Reset(fd_);
  writer_->Reset(fd_);
  reader_->SetSwap(swap);
  swap_ = swap;
  reported_ = 0;
  connected_ = true;
  active_ = true;
  return 0;
}

bool Tidewire::get_swap() { return swap_; }

int Tidewire::ReceiveEvent(RNG_RingBuffer* rb, int timeout_ms, int, int) {
  if (rb != nullptr) return TIDEWIRE_ERR_ARGUMENT;
  if (!connected_ || reader_ == nullptr) return TIDEWIRE_ERR_NOT_CONNECTED;
  if (timeout_ms < 0 || timeout_ms > TIDEWIRE_WAKE_MS) timeout_ms = TIDEWIRE_WAKE_MS;
  int rc = reader_->Next(timeout_ms);
  if (rc == 0) {
    if (owncntr) {
      received_messages_.fetch_add(1, std::memory_order_relaxed);
      received_bytes_.fetch_add(reader_->length(), std::memory_order_relaxed);
    }
    return 0;
  }
  if (rc == TIDEWIRE_AGAIN_TIMEOUT || rc == TIDEWIRE_AGAIN_INTERRUPTED) return rc;
  if (rc == TIDEWIRE_ERR_LOST || rc == TIDEWIRE_ERR_TRUNCATED) active_ = false;
  // A close that ends a finished stream is its normal end, not a loss to report.
  bool quiet = rc == TIDEWIRE_ERR_LOST && close_expected_;
  if (rc != reported_) {
    reported_ = rc;
    if (!quiet)
      tidewire::diag("Tidewire::ReceiveEvent() %s (code %d)\n", tidewire::result_text(rc), rc);
  }
  return rc;
}

orxa_eventheader* Tidewire::get_event_header() {
  if (reader_ == nullptr || reader_->kind() != MessageKind::kEvent) return nullptr;
  return reinterpret_cast<orxa_eventheader*>(reader_->message());
}

orxa_eventheader_2024* Tidewire::get_event_header_2024() {
  if (reader_ == nullptr || reader_->kind() != MessageKind::kEvent2024) return nullptr;
  return reinterpret_cast<orxa_eventheader_2024*>(reader_->message());
}

orxa_daq_slow_data_header* Tidewire::get_slow_data_header() {
  if (reader_ == nullptr || reader_->kind() != MessageKind::kSlow) return nullptr;
  return reinterpret_cast<orxa_daq_slow_data_header*>(reader_->message());
}

const char* Tidewire::get_message(uint32_t* length) {
  uint32_t have = reader_ == nullptr ? 0 : reader_->length();
  if (length != nullptr) *length = have;
  return have == 0 ? nullptr : reinterpret_cast<const char*>(reader_->message());
}

bool Tidewire::HasBufferedMessage() {
  return connected_ && reader_ != nullptr && reader_->HasWholeFrame();
}

bool Tidewire::IsLinkActive() { return connected_ && active_; }

int Tidewire::SendEvent(iovec* iov, int n, int mode) {
  if (!connected_ || writer_ == nullptr) return TIDEWIRE_ERR_NOT_CONNECTED;
  if (send_fails_by_injection()) return injected_code.load();
  uint64_t bytes = 0;
  int rc = writer_->Send(iov, n, mode, &bytes);
  if (rc == TIDEWIRE_ERR_LOST) active_ = false;
  if (rc == TIDEWIRE_ERR_ARGUMENT || rc == TIDEWIRE_ERR_BAD_MESSAGE)
    tidewire::diag("Tidewire::SendEvent() %s\n", tidewire::result_text(rc));
  if ((rc == 0 || rc == TIDEWIRE_ERR_TIMEOUT) && bytes > 0 && owncntr) {
    sent_messages_.fetch_add(1, std::memory_order_relaxed);
    sent_bytes_.fetch_add(bytes, std::memory_order_relaxed);
  }
  return rc;
}

int Tidewire::Flush() {
  if (!connected_ || writer_ == nullptr) return TIDEWIRE_ERR_NOT_CONNECTED;
  int rc = writer_->Flush();
  if (rc == TIDEWIRE_ERR_LOST) active_ = false;
  return rc;
}

void Tidewire::Disconnect() {
  bool was_connected = connected_.exchange(false);
  active_ = false;
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  if (reader_ != nullptr) reader_->Reset(-1);
  if (writer_ != nullptr) writer_->Reset(-1);
  close_expected_ = false;
  if (was_connected && verbose_) tidewire::diag("Tidewire::Disconnect() link closed\n");
}

void Tidewire::ExpectClose() { close_expected_ = true; }

void Tidewire::InjectSendFailure(int nth, int code) {
  injected_code = code;
  injected_countdown = nth > 0 ? nth : 0;
}

const char* Tidewire::ResultText(int code) { return tidewire::result_text(code); }

uint64_t Tidewire::GetReceivedMessages() const { return received_messages_.load(); }
uint64_t Tidewire::GetReceivedBytes() const { return received_bytes_.load(); }
uint64_t Tidewire::GetSentMessages() const { return sent_messages_.load(); }
uint64_t Tidewire::GetSentBytes() const { return sent_bytes_.load(); }
