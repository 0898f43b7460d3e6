// Events from a listening side to a Tidewire receiver over loopback, against a
// raw TCP read loop (blocking recv into a 1 MB buffer) taking the same framed
// bytes over a plain socket in the same run. The raw sender writes either one
// send() per event, as a data server does (the limit for the link), or all of a
// batch at once (the ceiling of loopback itself). On a shared machine the load
// drifts, so each iteration measures one batch of each of the three in turn and
// the ratios come from the summed times.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "tidewire.h"
#include "tidewire_listener.h"

namespace {

using Clock = std::chrono::steady_clock;

std::vector<unsigned char> make_event(std::size_t total) {
  std::vector<unsigned char> b(total, 0x5A);
  orxa_eventheader h{};
  h.pattern = ORXA_EVENT_PATTERN;
  h.event_length = static_cast<uint32_t>(total);
  h.num_svr_block = 1;
  std::memcpy(b.data(), &h, sizeof h);
  return b;
}

// A connected pair of plain blocking TCP sockets over loopback.
bool raw_pair(int* reader, int* writer) {
  int lsock = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  bool ok = bind(lsock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
            listen(lsock, 1) == 0 &&
            getsockname(lsock, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
  *reader = ok ? socket(AF_INET, SOCK_STREAM, 0) : -1;
  ok = ok && connect(*reader, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  *writer = ok ? accept(lsock, nullptr, nullptr) : -1;
  close(lsock);
  return ok && *writer >= 0;
}

enum class Sender { kIdle, kTidewire, kRawPerEvent, kRawBulk, kQuit };

// The sending side runs one batch per command, so the three streams never overlap.
class BatchSender {
 public:
  BatchSender(Tidewire* link, int raw_fd, std::size_t size, int batch)
      : link_(link), raw_fd_(raw_fd), event_(make_event(size)), batch_(batch) {
    uint32_t prefix = static_cast<uint32_t>(size);
    framed_.assign(reinterpret_cast<unsigned char*>(&prefix),
                   reinterpret_cast<unsigned char*>(&prefix) + 4);
    framed_.insert(framed_.end(), event_.begin(), event_.end());
    for (int i = 0; i < batch; ++i) bulk_.insert(bulk_.end(), framed_.begin(), framed_.end());
    thread_ = std::thread([this] { Run(); });
  }
  ~BatchSender() {
    Command(Sender::kQuit);
    thread_.join();
  }
  void Command(Sender what) {
    std::unique_lock<std::mutex> lock(m_);
    cv_.wait(lock, [this] { return command_ == Sender::kIdle; });
    command_ = what;
    cv_.notify_all();
  }
  void WaitIdle() {
    std::unique_lock<std::mutex> lock(m_);
    cv_.wait(lock, [this] { return command_ == Sender::kIdle; });
  }
  std::size_t frame_size() const { return framed_.size(); }

 private:
  static void send_all(int fd, const unsigned char* p, std::size_t n) {
    while (n > 0) {
      ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
      if (w <= 0) return;
      p += w;
      n -= static_cast<std::size_t>(w);
    }
  }
  void Run() {
    for (;;) {
      Sender what;
      {
        std::unique_lock<std::mutex> lock(m_);
        cv_.wait(lock, [this] { return command_ != Sender::kIdle; });
        what = command_;
      }
      if (what == Sender::kQuit) return;
      if (what == Sender::kTidewire) {
        iovec v{event_.data(), event_.size()};
        for (int i = 0; i < batch_; ++i) link_->SendEvent(&v, 1, SendEvent_NOACK);
      } else if (what == Sender::kRawPerEvent) {
        for (int i = 0; i < batch_; ++i) send_all(raw_fd_, framed_.data(), framed_.size());
      } else {
        send_all(raw_fd_, bulk_.data(), bulk_.size());
      }
      std::lock_guard<std::mutex> lock(m_);
      command_ = Sender::kIdle;
      cv_.notify_all();
    }
  }

  Tidewire* link_;
  int raw_fd_;
  std::vector<unsigned char> event_, framed_, bulk_;
  int batch_;
  std::mutex m_;
  std::condition_variable cv_;
  Sender command_ = Sender::kIdle;
  std::thread thread_;
};

void BM_LinkAgainstRawTcp(benchmark::State& state) {
  const std::size_t size = static_cast<std::size_t>(state.range(0));
  // About 4 MB per batch: enough to hide the start of a batch, small enough for many rounds.
  const int batch = static_cast<int>(std::max<std::size_t>(4, (4u << 20) / size));

  TidewireListener listener;
  Tidewire* accepted = nullptr;
  Tidewire receiver(false);
  receiver.SetNoDelay();
  int reader = -1, writer = -1;
  // TW_NAGLE=1 measures both sides with Nagle's algorithm left on.
  const bool no_delay = getenv("TW_NAGLE") == nullptr;
  listener.SetNoDelay(no_delay);
  bool ok = listener.Listen("127.0.0.1", 0) == 0;
  std::thread acceptor([&] {
    if (ok) listener.Accept(5000, &accepted);
  });
  ok = ok && receiver.Connect("127.0.0.1", listener.GetPort()) == 0;
  acceptor.join();
  std::unique_ptr<Tidewire> server(accepted);
  if (!ok || server == nullptr || !raw_pair(&reader, &writer)) {
    state.SkipWithError("loopback set-up failed");
    return;
  }
  server->SetSendTimeout(60000);
  if (no_delay) {
    int one = 1;
    setsockopt(writer, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  std::vector<unsigned char> buffer(1u << 20);
  double tidewire_s = 0, per_event_s = 0, bulk_s = 0;
  {
    BatchSender sender(server.get(), writer, size, batch);
    auto read_raw = [&] {
      std::size_t want = sender.frame_size() * static_cast<std::size_t>(batch);
      while (want > 0) {
        ssize_t n = recv(reader, buffer.data(), std::min(buffer.size(), want), 0);
        if (n <= 0) return false;
        want -= static_cast<std::size_t>(n);
      }
      return true;
    };
    for (auto _ : state) {
      auto t0 = Clock::now();
      sender.Command(Sender::kTidewire);
      for (int i = 0; i < batch; ++i) {
        int rc;
        do rc = receiver.ReceiveEvent(nullptr, -1, -1, -1);
        while (rc == TIDEWIRE_AGAIN_TIMEOUT || rc == TIDEWIRE_AGAIN_INTERRUPTED);
        if (rc != 0) {
          state.SkipWithError("receive failed");
          break;
        }
        benchmark::DoNotOptimize(receiver.get_event_header());
      }
      auto t1 = Clock::now();
      sender.WaitIdle();
      sender.Command(Sender::kRawPerEvent);
      bool raw_ok = read_raw();
      auto t2 = Clock::now();
      sender.WaitIdle();
      sender.Command(Sender::kRawBulk);
      raw_ok = raw_ok && read_raw();
      auto t3 = Clock::now();
      sender.WaitIdle();
      if (!raw_ok) {
        state.SkipWithError("raw read failed");
        break;
      }
      tidewire_s += std::chrono::duration<double>(t1 - t0).count();
      per_event_s += std::chrono::duration<double>(t2 - t1).count();
      bulk_s += std::chrono::duration<double>(t3 - t2).count();
    }
  }
  close(reader);
  close(writer);
  if (tidewire_s <= 0) return;
  double events = static_cast<double>(state.iterations()) * batch;
  state.counters["events/s"] = events / tidewire_s;
  state.counters["bytes/s"] = events * static_cast<double>(size) / tidewire_s;
  state.counters["vs_raw_per_event"] = per_event_s / tidewire_s;
  state.counters["vs_raw_bulk"] = bulk_s / tidewire_s;
}

BENCHMARK(BM_LinkAgainstRawTcp)->Arg(64)->Arg(4096)->Arg(1 << 20)->UseRealTime()->MinTime(3.0);

}  // namespace

BENCHMARK_MAIN();
