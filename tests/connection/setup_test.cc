// EqDAQconnect without a server: server lists, identifiers, setters, channel
// texts, getters and the result texts.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "eq_daq_connect.h"
#include "facility_lists.h"

namespace {

class ServersVariable {
 public:
  explicit ServersVariable(const char* value) {
    const char* old = std::getenv("ORXA_DAQ_SERVERS");
    had_ = old != nullptr;
    if (had_) old_ = old;
    if (value != nullptr)
      setenv("ORXA_DAQ_SERVERS", value, 1);
    else
      unsetenv("ORXA_DAQ_SERVERS");
  }
  ~ServersVariable() {
    if (had_)
      setenv("ORXA_DAQ_SERVERS", old_.c_str(), 1);
    else
      unsetenv("ORXA_DAQ_SERVERS");
  }

 private:
  bool had_ = false;
  std::string old_;
};

daq_channel_entry* last_channel(EqDAQconnect& c) {
  return c.get_server_request()->chan_list.back();
}

}  // namespace

TEST(FacilityLists, ExactNamesPickTheirListAndAnythingElseLumar) {
  EXPECT_EQ(std::string(facility_server_list("NOVIK")).rfind("NOVIK.DAQ/DAQ.SERVER1/", 0), 0u);
  EXPECT_EQ(std::string(facility_server_list("VENDA")).rfind("VENDA.DAQ/DAQ.SERVER1/", 0), 0u);
  EXPECT_EQ(std::string(facility_server_list("TARSEN")).rfind("TARSEN.DAQ/", 0), 0u);
  EXPECT_EQ(std::string(facility_server_list("novik")).rfind("LUMAR.DAQ/", 0), 0u);
  EXPECT_EQ(std::string(facility_server_list(nullptr)).rfind("LUMAR.DAQ/", 0), 0u);
  auto lumar = server_list_entries(facility_server_list(nullptr));
  ASSERT_EQ(lumar.size(), 6u);
  EXPECT_EQ(lumar[1], "LUMAR.DAQ/DAQ.SERVER3/DAQ.DATA.SVR/");
  EXPECT_EQ(lumar[3], "LUMAR.DAQ/DAQ.SERVER2/DAQ.DATA.SVR/");
  EXPECT_EQ(server_list_entries(facility_server_list("VENDA")).size(), 4u);
}

TEST(FacilityLists, AnEmptyEntryEndsTheList) {
  EXPECT_TRUE(server_list_entries("").empty());
  EXPECT_TRUE(server_list_entries(":A/B/C").empty());
  EXPECT_EQ(server_list_entries("A/B/C:").size(), 1u);
  auto e = server_list_entries("A/B/C::D/E/F");
  ASSERT_EQ(e.size(), 1u);
  EXPECT_EQ(e[0], "A/B/C");
}

TEST(PropertyAddress, SeparatorOnlyWhenMissingAndNeverCut) {
  char buf[DAQ_ADDRESS_SIZE];
  EXPECT_FALSE(compose_property_address(buf, "F/D/L", "DAQ.REQ", -1));
  EXPECT_STREQ(buf, "F/D/L/DAQ.REQ");
  EXPECT_FALSE(compose_property_address(buf, "F/D/L/", "DAQ.REP", 5));
  EXPECT_STREQ(buf, "F/D/L/DAQ.REP5");
  std::string fits(79 - 8, 'x');  // + "/DAQ.REQ" is exactly 79 characters
  EXPECT_FALSE(compose_property_address(buf, fits, "DAQ.REQ", -1));
  EXPECT_EQ(std::strlen(buf), 79u);
  EXPECT_TRUE(compose_property_address(buf, fits + "y", "DAQ.REQ", -1));
  EXPECT_STREQ(buf, "");
}

TEST(EqDAQconnectSetup, EnvironmentListWinsAndAnEmptyListFails) {
  velmor::EqCall call;
  for (const char* list : {"", ":NOVIK.DAQ/DAQ.SERVER1/DAQ.DATA.SVR/"}) {
    ServersVariable env(list);
    EqDAQconnect c(&call, "NOVIK");
    c.set_start_time("2025-03-01T10:00:00");
    c.set_stop_time("2025-03-01T10:00:10");
    // No server is asked: a failure, never a success.
    EXPECT_EQ(c.connect(nullptr), EQ_DAQ_CONNECT_SEND_FAILED) << list;
    EXPECT_STREQ(c.get_error(1), "Failed to send request the server list holds no DAQ data server");
    EXPECT_EQ(call.call_count(), 0);
  }
}

TEST(EqDAQconnectSetup, IdentifiersOfOneSecondAreEqual) {
  ServersVariable none(nullptr);
  velmor::EqCall call;
  for (int attempt = 0; attempt < 3; ++attempt) {
    EqDAQconnect a(&call, "NOVIK");
    EqDAQconnect b(&call, nullptr);
    EXPECT_NE(a.get_server_request()->id, 0u);
    // Reseeded with the process id each time: the same second gives the same id.
    if (a.get_server_request()->id == b.get_server_request()->id) return;
  }
  ADD_FAILURE() << "identifiers of one second differ";
}

TEST(EqDAQconnectSetup, SettersStoreOrRejectWholly) {
  velmor::EqCall call;
  EqDAQconnect c(&call, nullptr);
  daq_server_request* r = c.get_server_request();
  EXPECT_EQ(c.set_start_time(0), -1);
  EXPECT_EQ(c.set_start_time(100), 0);
  EXPECT_EQ(r->t_start_sec, 100);
  EXPECT_EQ(c.set_stop_time(-4), -1);
  std::string exp31(31, 'e');
  EXPECT_EQ(c.set_experiment(exp31.c_str()), 0);
  EXPECT_EQ(std::string(r->exp), exp31);
  EXPECT_EQ(c.set_experiment((exp31 + "f").c_str()), -1);
  EXPECT_EQ(std::string(r->exp), exp31);
  EXPECT_EQ(c.set_experiment(""), -1);
  EXPECT_EQ(c.set_experiment(nullptr), -1);
  EXPECT_EQ(c.set_start_time("2025-3-1T10:0:0"), 0);
  EXPECT_STREQ(r->t_start, "2025-3-1T10:0:0");
  EXPECT_EQ(c.set_data_dir("/data"), 0);
  EXPECT_EQ(r->ddir, "/data");
  EXPECT_EQ(c.set_ctl_dir(std::string(32, 'c').c_str()), -1);
  EXPECT_EQ(c.set_conf_file(std::string(1023, 'f').c_str()), 0);
  EXPECT_EQ(c.set_conf_file(std::string(1024, 'f').c_str()), -1);
  EXPECT_EQ(c.set_scan_mode(-5), 0);
  EXPECT_EQ(c.get_scan_mode(), -5);
  EXPECT_EQ(c.set_run_first(0), -1);
  EXPECT_EQ(c.set_run_last(7), 0);
  EXPECT_EQ(r->run_last, 7);
  EXPECT_EQ(c.set_comm_mode(3), -1);
  EXPECT_EQ(c.set_comm_mode(ORXA_DAQ_COMM_HNDS), 0);
  EXPECT_EQ(c.set_request_type(4), -1);
  EXPECT_EQ(c.set_request_type(2), 0);
  EXPECT_TRUE(c.if_just_get_chan_list());
  c.init(nullptr);
  EXPECT_EQ(r->req_type, 1);
  EXPECT_EQ(r->t_start_sec, 0);
  EXPECT_NE(r->id, 0u);
}

TEST(EqDAQconnectSetup, ChannelTextsWithParameters) {
  velmor::EqCall call;
  EqDAQconnect c(&call, nullptr);
  ASSERT_EQ(c.add_channel("CH@T0.5@10@T2@3"), 0);
  daq_channel_entry* e = last_channel(c);
  EXPECT_STREQ(e->name, "CH");
  EXPECT_FLOAT_EQ(e->prms.tstart, 0.5f);
  EXPECT_EQ(e->prms.length, 10);
  EXPECT_FLOAT_EQ(e->prms.tinc, 2.0f);
  EXPECT_EQ(e->prms.func, 3);
  EXPECT_EQ(e->prms.start, -1);
  EXPECT_EQ(e->prms.inc, -1);
  EXPECT_FLOAT_EQ(e->prms.tlength, -1.0f);

  ASSERT_EQ(c.add_channel("CH@x"), 0);
  EXPECT_EQ(last_channel(c)->prms.start, -1);
  ASSERT_EQ(c.add_channel("CH@12abc@Tz@4@T9"), 0);
  e = last_channel(c);
  EXPECT_EQ(e->prms.start, 12);
  EXPECT_FLOAT_EQ(e->prms.tlength, -1.0f);
  EXPECT_EQ(e->prms.inc, 4);
  EXPECT_EQ(e->prms.func, -1);  // the fourth part is always an integer
  ASSERT_EQ(c.add_channel("A/B/C"), 0);
  EXPECT_STREQ(last_channel(c)->name, "A/B/C");
  EXPECT_EQ(c.add_channel("@5"), -1);  // no name
  EXPECT_EQ(c.add_channel(""), -1);
  EXPECT_EQ(c.get_server_request()->chan_list.size(), 4u);
}

TEST(EqDAQconnectSetup, ChannelOverloadsFillTheirFields) {
  velmor::EqCall call;
  EqDAQconnect c(&call, nullptr);
  ASSERT_EQ(c.add_channel("I", 10, 2, 3, 4), 0);
  orxa_chan_prms p = last_channel(c)->prms;
  EXPECT_EQ(p.length, 10);
  EXPECT_EQ(p.start, 2);
  EXPECT_EQ(p.inc, 3);
  EXPECT_EQ(p.func, 4);
  EXPECT_FLOAT_EQ(p.tlength, -1.0f);
  ASSERT_EQ(c.add_channel("F", 1.5f, 0.25f), 0);
  p = last_channel(c)->prms;
  EXPECT_FLOAT_EQ(p.tlength, 1.5f);
  EXPECT_FLOAT_EQ(p.tstart, 0.25f);
  EXPECT_FLOAT_EQ(p.tinc, -1.0f);
  EXPECT_EQ(p.length, -1);
  ASSERT_EQ(c.add_channel("N@1@2", 7), 0);  // overloads copy the text whole
  EXPECT_STREQ(last_channel(c)->name, "N@1@2");
  EXPECT_EQ(c.add_file(nullptr), -1);
  EXPECT_EQ(c.add_file("run000001.raw"), 0);
  EXPECT_EQ(c.get_server_request()->file_list.size(), 1u);
}

TEST(EqDAQconnectSetup, GettersWithNothingSet) {
  velmor::EqCall call;
  EqDAQconnect c(&call, nullptr);
  EXPECT_EQ(c.get_start_time(), 0);
  EXPECT_EQ(c.get_stop_time(), 0);
  EXPECT_EQ(c.get_chan_list(nullptr), 0u);
  std::vector<chan_descr_2010*>* list = nullptr;
  EXPECT_EQ(c.get_chan_list(&list), 0u);
  EXPECT_NE(list, nullptr);
  c.set_start_time("2025-01-01T00:00:10");
  EXPECT_EQ(c.get_start_time(), 1735689610);
  c.set_stop_time(-1);
  EXPECT_TRUE(c.get_file_list()->empty());
  EXPECT_FALSE(c.get_connect_cancel());
  EXPECT_TRUE(c.set_connect_cancel(true));
  c.init(nullptr);
  EXPECT_TRUE(c.get_connect_cancel());  // init keeps the flag
}

TEST(EqDAQconnectErrors, TableTextsAndThreadOwnSendText) {
  velmor::EqCall call;
  EqDAQconnect c(&call, nullptr);
  EXPECT_STREQ(c.get_error(0), "Ok");
  EXPECT_STREQ(c.get_error(2), "Failed to get reqply via request");
  EXPECT_STREQ(c.get_error(5), "Requests are different");
  EXPECT_STREQ(c.get_error(8), "Got BAD reply");
  EXPECT_STREQ(c.get_error(9), "Too long waiting for repply");
  EXPECT_STREQ(c.get_error(12), "Requests are different");
  EXPECT_STREQ(c.get_error(13), "Server busy");
  EXPECT_STREQ(c.get_error(14), "Connection canceled");
  EXPECT_STREQ(c.get_error(15), "Unknown");
  EXPECT_STREQ(c.get_error(-1), "Unknown");
  EXPECT_STREQ(c.get_error(1), "Failed to send request ");
  // Each thread composes its own text: one thread's pointer keeps its content.
  const char* mine = c.get_error(1);
  const char* theirs = nullptr;
  std::thread([&] { theirs = c.get_error(1); }).join();
  EXPECT_NE(mine, theirs);
}
