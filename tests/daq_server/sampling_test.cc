// Sampling parameters over the whole road: a spectrum asked for with start,
// length and increment arrives as those samples of the whole spectrum, with a
// sub-head that says where they lie; what cannot be sampled comes back among
// the not-found channels with the reason.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "daq_data_server.h"
#include "eq_daq_connect.h"
#include "eq_daq_data.h"
#include "query_release.h"
#include "server_fixture.h"

namespace {

// The spectrum of the first event a server streams for these channels.
velmor::SpectrumElement first_spectrum(DaqDataServer& server,
                                       const std::vector<std::string>& channels,
                                       std::vector<std::string>* not_found) {
  velmor::EqCall call;
  EqDAQconnect connection(&call, nullptr);
  servertest::fill_request(connection, 1);
  for (const std::string& c : channels) connection.add_channel(c.c_str());
  EXPECT_EQ(connection.connect(server.entry().c_str()), 0);
  daq_server_reply* reply = connection.get_server_reply();
  for (const char* name : reply->stat.nf_chan_list) not_found->push_back(name);

  EqDAQdata receiver(0, 0);
  velmor::SpectrumElement got;
  if (receiver.set_reply(reply) || receiver.connect() || receiver.start_receiver(false)) {
    ADD_FAILURE() << "receiver did not start";
    return got;
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (;;) {
    std::vector<EqData_dtype*>* out = nullptr;
    int rc = receiver.get_monitor(&out, nullptr, nullptr);
    if (out != nullptr) {
      for (EqData_dtype* d : *out) {
        if (got.data.empty() && d->data != nullptr && d->data->get_spectrum(0) != nullptr) {
          got = *d->data->get_spectrum(0);
        }
      }
      release_query_result(out);
    } else if ((rc & DAQ_MON_NO_MORE) != 0) {
      break;
    } else if (std::chrono::steady_clock::now() > deadline) {
      ADD_FAILURE() << "stream did not end";
      break;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  receiver.stop_receiver();
  return got;
}

}  // namespace

TEST(Sampling, SpectrumArrivesAsAskedAndUnsampleableChannelsAreNamedWithTheReason) {
  DaqServerOptions o = servertest::options_for("SAMPLING");
  o.generation = DAQ_GENERATION_LEGACY;
  DaqDataServer server(o);
  ASSERT_FALSE(server.start());

  std::vector<std::string> not_found;
  velmor::SpectrumElement whole = first_spectrum(server, {"DIAG/TOROID/T1.SPECT"}, &not_found);
  ASSERT_EQ(whole.data.size(), 1024u);
  EXPECT_TRUE(not_found.empty());

  // start 100, length 8, increment 3; the image cannot be sampled.
  velmor::SpectrumElement part = first_spectrum(
      server, {"DIAG/TOROID/T1.SPECT@100@8@3", "CAMERA/SCREEN/IMAGE@0@8"}, &not_found);
  ASSERT_EQ(part.data.size(), 8u);
  EXPECT_FLOAT_EQ(part.s_start, whole.s_start + 100 * whole.s_inc);
  EXPECT_FLOAT_EQ(part.s_inc, 3 * whole.s_inc);
  for (size_t k = 0; k < part.data.size(); ++k) {
    EXPECT_FLOAT_EQ(part.data[k], whole.data[100 + 3 * k]) << k;
  }
  EXPECT_EQ(not_found, std::vector<std::string>{
                           "CAMERA/SCREEN/IMAGE (a channel of kind image has no sample index)"});

  // Clipped at the end of the channel.
  not_found.clear();
  velmor::SpectrumElement tail =
      first_spectrum(server, {"DIAG/TOROID/T1.SPECT@1020@100"}, &not_found);
  ASSERT_EQ(tail.data.size(), 4u);
  EXPECT_FLOAT_EQ(tail.data[3], whole.data[1023]);
}
