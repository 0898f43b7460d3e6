// Eight receivers in one process against two servers at once (one of each
// generation), half in push and half in handshake mode, each drained by its
// own application thread through a small cache: every stream complete and in
// order, and nothing left behind when all is over.
#include <gtest/gtest.h>

#include "daq_data_server.h"
#include "fault_support.h"

using namespace faults;

namespace {

constexpr int kReceivers = 8;
constexpr int kSeconds = 50;  // at 100 Hz: 5,000 events a stream
constexpr int kDepth = 20;

struct Outcome {
  int connect_rc = -1;
  bool started = false;
  Drained drained;
  int end_status = 0;
  uint64_t expected = 0;
};

template <class Receiver>
void run_one(const std::string& entry, int mode, Outcome* o) {
  Road<Receiver> road;
  o->started = road.open(entry, kSeconds, mode, kDepth);
  o->connect_rc = road.connect_rc;
  if (!o->started) return;
  o->expected = static_cast<uint64_t>(road.connection.get_server_reply()->stat.events);
  o->drained = drain(*road.receiver, 120000);
  o->end_status = road.receiver->get_end_data_status();
}

std::unique_ptr<DaqDataServer> server(const char* device, int generation) {
  DaqServerOptions o;
  o.device = device;
  o.generation = generation;
  o.rate_hz = 100;
  o.max_requests = kReceivers;
  o.catalog_file = catalog_file();
  auto s = std::make_unique<DaqDataServer>(o);
  return s->start() ? nullptr : std::move(s);
}

}  // namespace

TEST(ManyReceivers, EightAtOnceAgainstTwoServers) {
  Holdings before;
  std::vector<Outcome> outcomes(kReceivers);
  auto started = Clock::now();
  {
    auto legacy = server("MANY.LEGACY", DAQ_GENERATION_LEGACY);
    auto gen2024 = server("MANY.GEN2024", DAQ_GENERATION_2024);
    ASSERT_TRUE(legacy && gen2024);
    std::vector<std::thread> threads;
    for (int i = 0; i < kReceivers; ++i) {
      int mode = i % 2 == 0 ? ORXA_DAQ_COMM_PUSH : ORXA_DAQ_COMM_HNDS;
      Outcome* o = &outcomes[static_cast<size_t>(i)];
      if (i < kReceivers / 2) {
        threads.emplace_back(run_one<EqDAQdata>, legacy->entry(), mode, o);
      } else {
        threads.emplace_back(run_one<EqDAQdata2024>, gen2024->entry(), mode, o);
      }
    }
    for (std::thread& t : threads) t.join();
  }
  double seconds = seconds_since(started);
  for (int i = 0; i < kReceivers; ++i) {
    SCOPED_TRACE(i);
    const Outcome& o = outcomes[static_cast<size_t>(i)];
    ASSERT_TRUE(o.started) << o.connect_rc;
    EXPECT_EQ(o.expected, kSeconds * 100u);
    EXPECT_EQ(o.drained.events, o.expected);
    EXPECT_EQ(o.drained.out_of_order, 0u);
    EXPECT_LE(o.drained.most_records, kDepth);
    EXPECT_EQ(o.end_status, -3);
  }
  Holdings after;
  EXPECT_TRUE(after.back_to(before, 10000)) << change(before, after);
  std::printf("%d receivers against 2 servers: %.1f s; %s\n", kReceivers, seconds,
              change(before, after).c_str());
}
