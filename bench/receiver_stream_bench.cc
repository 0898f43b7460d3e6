// The data receiver end to end over loopback: a listening side streams events (one
// 4 KB spectrum channel, or one 1 MB image) honouring the receiver's flow control,
// and the application thread takes every record with DAQ_GET_REMOVE. The limit is
// a raw TCP stream of the same framed bytes into a reader that copies each message
// once; in handshake mode a raw ping-pong of the same sizes with a 40-byte answer.
// Each iteration measures one batch of ours and one batch of the limit in turn, so
// the ratio compares like with like on a loaded machine.
//
// BM_ReceiverIngest feeds small events (the argument: bytes of values) to a
// receiver whose cache holds the whole batch, from a producer that writes the
// batch's frames with a few large sends, and times until the cache holds them
// all. The limit is a raw recv loop taking the same bytes in the same run.
//
// BM_LinkIngest is the link's share of that: the same bulk into a bare link.
//
// BM_ThreeThreadFloor carries the stream's and the handshake's bytes through
// three raw threads, as the receiver's road has them, against the same limit.
//
// BM_ReceiverPeakMemory fills a cache of depth 50 with 1 MB events while the
// application takes nothing, and reports how far the peak resident size grew.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <fstream>
#include <mutex>
#include <string>

#include "raw_tcp_limit.h"
#include "receiver_test_support.h"

namespace {

using namespace rtest;

// ---- the limit: raw TCP ----

bool write_all(int fd, const void* p, size_t n) {
  const char* c = static_cast<const char*>(p);
  while (n > 0) {
    ssize_t w = send(fd, c, n, MSG_NOSIGNAL);
    if (w <= 0) return false;
    c += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

bool read_all(int fd, void* p, size_t n) {
  char* c = static_cast<char*>(p);
  while (n > 0) {
    ssize_t r = recv(fd, c, n, 0);
    if (r <= 0) return false;
    c += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

// The limit's sending side: count framed messages, one send each, each waiting
// for a 44-byte answer with ack.
std::thread start_sender(int writer, const Bytes& framed, int count, bool ack) {
  return std::thread([writer, &framed, count, ack] {
    char answer[44];
    for (int i = 0; i < count; ++i) {
      if (!write_all(writer, framed.data(), framed.size())) return;
      if (ack && !read_all(writer, answer, sizeof answer)) return;
    }
  });
}

// Streams count framed messages (one send each); the reader takes each into its
// buffer and copies it once. With ack, every message waits for a 44-byte answer.
double raw_batch_seconds(int reader, int writer, const Bytes& framed, int count, bool ack) {
  auto t0 = Clock::now();
  std::thread sender = start_sender(writer, framed, count, ack);
  Bytes in(framed.size()), copy(framed.size());
  char answer[44] = {40};
  for (int i = 0; i < count; ++i) {
    uint32_t length = 0;
    if (!read_all(reader, &length, 4) || !read_all(reader, in.data(), length)) break;
    std::memcpy(copy.data(), in.data(), length);
    benchmark::DoNotOptimize(copy.data());
    if (ack) write_all(reader, answer, sizeof answer);
  }
  sender.join();
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// The receiver's shape with nothing of ours in it: a reading thread takes each
// message into a buffer of its own and hands it over under a lock (answering
// each one in handshake mode), and the application's thread polls for it as the
// benchmark's application does, with 20 us sleeps when nothing is there. Against
// raw_batch_seconds it shows what a third thread costs on this machine's cores.
double three_thread_batch_seconds(int reader, int writer, const Bytes& framed, int count,
                                  bool ack) {
  auto t0 = Clock::now();
  std::thread sender = start_sender(writer, framed, count, ack);
  std::mutex lock;
  std::deque<Bytes*> handed;
  std::thread receiving([&] {
    Bytes in(framed.size());
    char answer[44] = {40};
    for (int i = 0; i < count; ++i) {
      uint32_t length = 0;
      if (!read_all(reader, &length, 4) || !read_all(reader, in.data(), length)) break;
      Bytes* held = new Bytes(in.begin(), in.begin() + length);
      {
        std::lock_guard<std::mutex> hold(lock);
        handed.push_back(held);
      }
      if (ack) write_all(reader, answer, sizeof answer);
    }
  });
  int taken = 0;
  auto deadline = Clock::now() + std::chrono::seconds(60);
  while (taken < count && Clock::now() < deadline) {
    Bytes* got = nullptr;
    {
      std::lock_guard<std::mutex> hold(lock);
      if (!handed.empty()) {
        got = handed.front();
        handed.pop_front();
      }
    }
    if (got != nullptr) {
      ++taken;
      delete got;
    } else {
      std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
  }
  receiving.join();
  sender.join();
  for (Bytes* b : handed) delete b;
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

long minor_faults() {
  rusage use{};
  getrusage(RUSAGE_SELF, &use);
  return use.ru_minflt;
}

// ---- ours ----

struct Payload {
  Bytes event;
  size_t number_offset;  // where the header keeps the event number
  bool is_2024;
};

Payload make_payload(int64_t bytes) {
  EventMaker maker(ORXA_FORMAT_2024);
  Payload p{bytes >= (1 << 20) ? maker.image(1, static_cast<int>(bytes))
                               : maker.spectrum(1, stamp_of(1), static_cast<int>(bytes / 4)),
            offsetof(orxa_eventheader_2024, event_number), true};
  return p;
}

class ReceiverRun {
 public:
  ReceiverRun(bool handshake) : server_(true), receiver_(50, 0), handshake_(handshake) {
    ok_ = server_.AttachReceiver(receiver_, handshake ? ORXA_DAQ_COMM_HNDS : ORXA_DAQ_COMM_PUSH) &&
          !receiver_.start_receiver(false);
  }
  ~ReceiverRun() { receiver_.stop_receiver(); }
  bool ok() const { return ok_; }

  // One batch: the server streams count events, the application takes them all.
  double batch_seconds(Payload& p, int count) {
    uint64_t first = next_;
    next_ += static_cast<uint64_t>(count);
    auto t0 = Clock::now();
    std::thread serve([&] {
      StreamStats st = serve_stream(
          server_.link(), true, static_cast<uint64_t>(count),
          [&p](uint64_t n) -> const Bytes& {
            std::memcpy(p.event.data() + p.number_offset, &n, sizeof n);
            return p.event;
          },
          Bytes(), handshake_, 60000, first);
      pauses += st.pauses;
    });
    int taken = 0;
    auto deadline = Clock::now() + std::chrono::seconds(60);
    while (taken < count && Clock::now() < deadline) {
      std::vector<EqData_dtype*>* out = nullptr;
      if (receiver_.get_monitor(&out, nullptr, nullptr) & DAQ_MON_DATA) {
        ++taken;
        release_query_result(out);
      } else {
        std::this_thread::sleep_for(std::chrono::microseconds(20));
      }
    }
    serve.join();
    return taken == count ? std::chrono::duration<double>(Clock::now() - t0).count() : -1.0;
  }

 private:
  StreamServer server_;
  EqDAQdata2024 receiver_;
  bool handshake_;
  bool ok_ = false;
  uint64_t next_ = 1;

 public:
  uint64_t pauses = 0;  // pause requests and holds the server saw
};

// floor_only: the three raw threads in place of ours.
void run_against_limit(benchmark::State& state, bool handshake, bool floor_only = false) {
  Payload payload = make_payload(state.range(0));
  const int batch = static_cast<int>(state.range(1));
  Bytes framed(4 + payload.event.size());
  uint32_t prefix = static_cast<uint32_t>(payload.event.size());
  std::memcpy(framed.data(), &prefix, 4);
  std::memcpy(framed.data() + 4, payload.event.data(), payload.event.size());
  int reader = -1, writer = -1;
  std::unique_ptr<ReceiverRun> run =
      floor_only ? nullptr : std::make_unique<ReceiverRun>(handshake);
  if ((run != nullptr && !run->ok()) || !raw_pair(&reader, &writer)) {
    state.SkipWithError("set-up failed");
    return;
  }
  double ours = 0, raw = 0;
  long faults = 0;  // minor page faults of the process during our batches
  for (auto _ : state) {
    long faults_before = minor_faults();
    double t = run != nullptr
                   ? run->batch_seconds(payload, batch)
                   : three_thread_batch_seconds(reader, writer, framed, batch, handshake);
    faults += minor_faults() - faults_before;
    if (t < 0) {
      state.SkipWithError("stream stalled");
      break;
    }
    ours += t;
    raw += raw_batch_seconds(reader, writer, framed, batch, handshake);
    state.SetIterationTime(t);
  }
  close(reader);
  close(writer);
  double events = static_cast<double>(state.iterations()) * batch;
  state.counters["events_per_s"] = events / ours;
  state.counters["MB_per_s"] = events * static_cast<double>(payload.event.size()) / ours / 1e6;
  state.counters["raw_events_per_s"] = events / raw;
  state.counters["ratio"] = raw / ours;
  state.counters["faults_per_event"] = static_cast<double>(faults) / events;
  if (run != nullptr)
    state.counters["pauses_per_event"] = static_cast<double>(run->pauses) / events;
}

void BM_ReceiverStream(benchmark::State& state) { run_against_limit(state, false); }
void BM_ReceiverHandshake(benchmark::State& state) { run_against_limit(state, true); }

// The floor of the two rows above on this machine: the raw limit against the
// same bytes carried through the receiver's three threads (argument 2: handshake).
void BM_ThreeThreadFloor(benchmark::State& state) {
  run_against_limit(state, state.range(2) != 0, true);
}

// ---- ingest of small events sent in bulk ----

// A 2024 event of one spectrum channel carrying `bytes` bytes of values.
Bytes small_event(EventMaker& maker, uint64_t n, int64_t bytes) {
  return maker.spectrum(n, stamp_of(n), static_cast<int>(bytes / 4));
}

// Frames of events first..first+count-1, back to back as one buffer.
Bytes framed_batch(EventMaker& maker, uint64_t first, int count, int64_t bytes) {
  Bytes out;
  for (uint64_t n = first; n < first + static_cast<uint64_t>(count); ++n) {
    Bytes ev = small_event(maker, n, bytes);
    uint32_t prefix = static_cast<uint32_t>(ev.size());
    out.insert(out.end(), reinterpret_cast<char*>(&prefix), reinterpret_cast<char*>(&prefix) + 4);
    out.insert(out.end(), ev.begin(), ev.end());
  }
  return out;
}

// Starts a producer writing the batch to our side, in the limit's sends.
std::thread produce(RawServer& server, const Bytes& bulk) {
  return std::thread([&server, &bulk] {
    send_in_bulk(bulk, [&server](const char* p, size_t n) { return server.WriteRaw(p, n); });
  });
}

void BM_ReceiverIngest(benchmark::State& state) {
  const int64_t bytes = state.range(0);
  constexpr int batch = 4000;
  EventMaker maker(ORXA_FORMAT_2024);
  RawServer server;
  EqDAQdata2024 receiver(batch + 10, 0);
  Reply reply(server.port());
  int reader = -1, writer = -1;
  if (receiver.set_reply(&reply.r) || !server.Attach([&] { return receiver.connect(); }) ||
      receiver.start_receiver(false) || !raw_pair(&reader, &writer)) {
    state.SkipWithError("set-up failed");
    return;
  }
  uint64_t next = 1;
  double ours = 0, raw = 0;
  size_t event_bytes = small_event(maker, 1, bytes).size();
  for (auto _ : state) {
    Bytes bulk = framed_batch(maker, next, batch, bytes);
    next += static_cast<uint64_t>(batch);
    auto t0 = Clock::now();
    std::thread producer = produce(server, bulk);
    auto deadline = t0 + std::chrono::seconds(30);
    while (receiver.get_number_of_entries() < batch && Clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::microseconds(20));
    double t = std::chrono::duration<double>(Clock::now() - t0).count();
    producer.join();
    if (receiver.get_number_of_entries() < batch) {
      state.SkipWithError("ingest stalled");
      break;
    }
    for (int i = 0; i < batch; ++i) {
      std::vector<EqData_dtype*>* out = nullptr;
      if (receiver.get_monitor(&out, nullptr, nullptr) & DAQ_MON_DATA) release_query_result(out);
    }
    ours += t;
    raw += raw_recv_seconds(reader, writer, bulk);
    state.SetIterationTime(t);
  }
  receiver.stop_receiver();
  close(reader);
  close(writer);
  double events = static_cast<double>(state.iterations()) * batch;
  state.counters["event_bytes"] = static_cast<double>(event_bytes);
  state.counters["events_per_s"] = events / ours;
  state.counters["raw_events_per_s"] = events / raw;
  state.counters["ratio"] = raw / ours;
}

// The link's share of that ingest: the same bulk taken message by message by a
// bare link, as the receiver thread takes it, without the conversion.
void BM_LinkIngest(benchmark::State& state) {
  const int64_t bytes = state.range(0);
  constexpr int batch = 4000;
  EventMaker maker(ORXA_FORMAT_2024);
  RawServer server;
  Tidewire link(false);
  link.SetNoDelay();
  int reader = -1, writer = -1;
  if (!server.Attach([&] { return link.Connect("127.0.0.1", server.port()) != 0; }) ||
      !raw_pair(&reader, &writer)) {
    state.SkipWithError("set-up failed");
    return;
  }
  uint64_t next = 1;
  double ours = 0, raw = 0;
  for (auto _ : state) {
    Bytes bulk = framed_batch(maker, next, batch, bytes);
    next += static_cast<uint64_t>(batch);
    auto t0 = Clock::now();
    std::thread producer = produce(server, bulk);
    int taken = 0;
    while (taken < batch) {
      int rc = link.ReceiveEvent(nullptr, -1, -1, -1);
      if (rc == TIDEWIRE_AGAIN_TIMEOUT || rc == TIDEWIRE_AGAIN_INTERRUPTED) continue;
      orxa_eventheader_2024* h = rc == 0 ? link.get_event_header_2024() : nullptr;
      if (h == nullptr) break;
      benchmark::DoNotOptimize(h->event_number);
      ++taken;
    }
    double t = std::chrono::duration<double>(Clock::now() - t0).count();
    producer.join();
    if (taken < batch) {
      state.SkipWithError("link ingest failed");
      break;
    }
    ours += t;
    raw += raw_recv_seconds(reader, writer, bulk);
    state.SetIterationTime(t);
  }
  close(reader);
  close(writer);
  double events = static_cast<double>(state.iterations()) * batch;
  state.counters["events_per_s"] = events / ours;
  state.counters["raw_events_per_s"] = events / raw;
  state.counters["ratio"] = raw / ours;
}

// ---- memory ----

long status_kb(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  size_t n = std::strlen(field);
  while (std::getline(in, line))
    if (line.compare(0, n, field) == 0) return std::stol(line.substr(n + 1));
  return -1;
}

void BM_ReceiverPeakMemory(benchmark::State& state) {
  constexpr int kDepth = 50;
  Payload payload = make_payload(1 << 20);
  for (auto _ : state) {
    StreamServer server(true);
    auto receiver = std::make_unique<EqDAQdata2024>(kDepth, 0);
    if (!server.AttachReceiver(*receiver)) {
      state.SkipWithError("set-up failed");
      return;
    }
    { std::ofstream("/proc/self/clear_refs") << "5"; }  // peak := current
    long base = status_kb("VmHWM:");
    receiver->start_receiver(false);
    std::thread serve([&] {
      serve_stream(
          server.link(), true, kDepth + 5,
          [&payload](uint64_t n) -> const Bytes& {
            std::memcpy(payload.event.data() + payload.number_offset, &n, sizeof n);
            return payload.event;
          },
          Bytes(), false, 3000);
    });
    wait_for([&] { return receiver->get_number_of_entries() == kDepth; }, 30000);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // holding, paused
    long peak = status_kb("VmHWM:");
    serve.join();
    receiver.reset();
    double grown_mb = (peak - base) / 1024.0;
    state.counters["peak_growth_MB"] = grown_mb;
    state.counters["per_record_MB"] = grown_mb / kDepth;
    state.counters["ratio_to_50MB"] = grown_mb / 50.0;
  }
}
// Memory first: the streams leave large blocks in the data objects' pool, which
// would hide part of the growth.
// Once only: a second run would find the first one's freed memory still resident.
BENCHMARK(BM_ReceiverPeakMemory)->Iterations(1)->Repetitions(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReceiverStream)
    ->Args({4096, 4000})
    ->Args({1 << 20, 60})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReceiverIngest)
    ->Arg(64)
    ->Arg(512)
    ->Arg(4096)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LinkIngest)
    ->Arg(64)
    ->Arg(512)
    ->Arg(4096)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReceiverHandshake)
    ->Args({4096, 1000})
    ->Args({1 << 20, 30})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ThreeThreadFloor)
    ->Args({4096, 4000, 0})
    ->Args({4096, 1000, 1})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
