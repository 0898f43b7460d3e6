// The whole road over loopback, for both generations: EqDAQconnect::connect to a
// running DAQ data server, then a receiver with set_reply, connect and
// start_receiver, and an application thread taking every record with
// get_monitor until the stream ends. A small cache makes the receiver pause and
// resume the server on the way.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "daq_data_server.h"
#include "daq_generation.h"
#include "eq_daq_connect.h"
#include "query_release.h"
#include "server_fixture.h"

namespace {

// The generation's mapping with what this test adds: the server's name for it
// and a device of its own.
struct LegacyRoad : LegacyGen {
  static constexpr int kGeneration = DAQ_GENERATION_LEGACY;
  static constexpr const char* kDevice = "WR.LEGACY";
};
struct Road2024 : Gen2024 {
  static constexpr int kGeneration = DAQ_GENERATION_2024;
  static constexpr const char* kDevice = "WR.GEN2024";
};

}  // namespace

template <class G>
class WholeRoad : public testing::Test {};
using Generations = testing::Types<LegacyRoad, Road2024>;
TYPED_TEST_SUITE(WholeRoad, Generations);

TYPED_TEST(WholeRoad, RequestHandshakeStreamAndQueriesToTheEnd) {
  DaqServerOptions o = servertest::options_for(TypeParam::kDevice);
  o.generation = TypeParam::kGeneration;
  DaqDataServer server(o);
  ASSERT_FALSE(server.start());

  velmor::EqCall call;
  EqDAQconnect connection(&call, nullptr);
  servertest::fill_request(connection, 5);
  connection.add_channel("DIAG/TOROID/T1.SPECT");
  connection.add_channel("CAMERA/SCREEN/IMAGE");
  connection.add_channel("SLOW/TEMP/T1");
  ASSERT_EQ(connection.connect(server.entry().c_str()), 0);
  daq_server_reply* reply = connection.get_server_reply();
  ASSERT_EQ(reply->evid64bitmode, TypeParam::kGeneration == DAQ_GENERATION_2024);

  typename TypeParam::Receiver receiver(8, 0);
  ASSERT_FALSE(receiver.set_reply(reply));
  ASSERT_FALSE(receiver.connect());
  ASSERT_FALSE(receiver.start_receiver(false));

  std::vector<long> events;
  int slow_records = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (;;) {
    std::vector<EqData_dtype*>* out = nullptr;
    int rc = receiver.get_monitor(&out, nullptr, nullptr);
    if (out != nullptr) {
      bool slow = !out->empty() && (*out)[0]->slblock != nullptr;
      if (slow) {
        ++slow_records;
      } else if (!out->empty() && (*out)[0]->data != nullptr) {
        events.push_back((*out)[0]->data->get_mpnum());
        EXPECT_EQ(out->size(), 2u);
      }
    }
    release_query_result(out);
    if (out == nullptr && (rc & DAQ_MON_NO_MORE) != 0) break;
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "stream did not end";
    if (out == nullptr) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_EQ(receiver.get_end_data_status(), -3);
  EXPECT_TRUE(receiver.if_thread_is_over());
  receiver.stop_receiver();

  DaqRequestSummary summary;
  ASSERT_TRUE(server.summary(1, &summary));
  ASSERT_EQ(events.size(), 50u);
  for (size_t i = 0; i < events.size(); ++i) {
    EXPECT_EQ(static_cast<uint64_t>(events[i]), summary.first_event + i);
  }
  EXPECT_EQ(slow_records, 5);
  EXPECT_TRUE(server.wait_released(1, 15000));
  ASSERT_TRUE(server.summary(1, &summary));
  EXPECT_EQ(summary.events_sent, 50);
}

TYPED_TEST(WholeRoad, ServerSeesPauseHoldsAndOneResumeFromAnIdleApplication) {
  DaqServerOptions o = servertest::options_for(std::string(TypeParam::kDevice) + ".FLOW");
  o.generation = TypeParam::kGeneration;
  DaqDataServer server(o);
  ASSERT_FALSE(server.start());
  velmor::EqCall call;
  EqDAQconnect connection(&call, nullptr);
  servertest::fill_request(connection, 1);
  connection.add_channel("TIMING/TRIGGER/STAMP");
  ASSERT_EQ(connection.connect(server.entry().c_str()), 0);
  typename TypeParam::Receiver receiver(3, 0);
  ASSERT_FALSE(receiver.set_reply(connection.get_server_reply()));
  ASSERT_FALSE(receiver.connect());
  ASSERT_FALSE(receiver.start_receiver(false));

  // Idle until the receiver has held the server for a while.
  auto holds = [&] {
    int n = 0;
    for (const DaqControlRecord& r : server.control_log(1)) n += r.kind == DAQ_CONTROL_HOLD;
    return n;
  };
  ASSERT_TRUE(servertest::wait_until([&] { return holds() >= 4; }, 10000));
  std::vector<EqData_dtype*>* out = nullptr;
  EXPECT_NE(receiver.get_monitor(&out, nullptr, nullptr) & DAQ_MON_DATA, 0);
  release_query_result(out);
  ASSERT_TRUE(servertest::wait_until(
      [&] {
        for (const DaqControlRecord& r : server.control_log(1)) {
          if (r.kind == DAQ_CONTROL_RESUME) return true;
        }
        return false;
      },
      10000));
  receiver.stop_receiver();

  DaqRequestSummary summary;
  ASSERT_TRUE(server.summary(1, &summary));
  std::vector<DaqControlRecord> log = summary.control;
  ASSERT_GE(log.size(), 6u);
  EXPECT_EQ(log[0].kind, DAQ_CONTROL_PAUSE);
  size_t i = 1;
  while (i < log.size() && log[i].kind == DAQ_CONTROL_HOLD) ++i;
  EXPECT_GE(i, 5u);
  ASSERT_LT(i, log.size());
  EXPECT_EQ(log[i].kind, DAQ_CONTROL_RESUME);
  EXPECT_EQ(static_cast<uint64_t>(log[i].event_number), summary.first_event + 2);
  // Holds carry the receiver's clock, 50 ms apart.
  EXPECT_GT(log[2].seconds, 0u);
}
