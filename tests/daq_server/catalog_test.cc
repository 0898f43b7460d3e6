// The server's channel catalog (built-in and file), request planning and the
// daemon's option reading.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <string>

#include "channel_catalog.h"
#include "daq_data_server.h"
#include "daq_text.h"
#include "event_synth.h"
#include "orxa_chan_descr.h"
#include "request_plan.h"

namespace {

constexpr int64_t kOrigin = 1735689600;  // 2025-01-01 00:00:00 UTC

PlanSettings settings() {
  PlanSettings s;
  s.origin_sec = kOrigin;
  s.now_sec = kOrigin + 30 * 86400;
  return s;
}

// Request times are read in ORXA_EXP_TIMEZONE's zone (default CET); every
// planning test states the zone it expects instead of inheriting the shell's.
void use_default_experiment_zone() { unsetenv("ORXA_EXP_TIMEZONE"); }

struct Request {
  Request() {
    clean_request(&r);
    r.id = 77;
  }
  ~Request() { clean_request(&r); }
  void channel(const char* name, orxa_chan_prms prms = {-1, -1, -1, -1, -1.0f, -1.0f, -1.0f}) {
    auto* e = static_cast<daq_channel_entry*>(calloc(1, sizeof(daq_channel_entry)));
    e->name = strdup(name);
    e->prms = prms;
    r.chan_list.push_back(e);
  }
  daq_server_request r;
};

}  // namespace

TEST(ChannelCatalog, BuiltinHoldsEveryKindAndDescribesIt) {
  ChannelCatalog c = ChannelCatalog::builtin();
  std::set<ChannelKind> kinds;
  for (const CatalogChannel& ch : c.channels()) kinds.insert(ch.kind);
  EXPECT_EQ(kinds.size(), 10u);
  const CatalogChannel* multi = c.find("DIAG/ADC/INPUTS");
  ASSERT_NE(multi, nullptr);
  EXPECT_EQ(channel_data_type(multi->kind), 25);
  EXPECT_EQ(c.find("diag/adc/inputs"), nullptr);
  std::vector<chan_descr_2010*> out;
  ChannelCatalog::describe({c.find("DIAG/TOROID/T1.SPECT")}, &out);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_STREQ(out[0]->prop_desc, "toroid current");
  EXPECT_EQ(out[0]->count, 1024);
  EXPECT_EQ(out[0]->ndims, 1);
  EXPECT_STREQ(out[0]->subsystem, "DIAG");
  clean_chan_desr_list(&out);
}

TEST(ChannelCatalog, FileRulesRefuseTheWholeFileWithTheLine) {
  ChannelCatalog c;
  std::string error;
  EXPECT_FALSE(
      c.load_text("# mine\n\nA/B/C image width=4 height=2 bpp=1 device=7\n"
                  "A/B/D gspectrum subs=3 desc=\"two words\"\n",
                  "t", &error));
  ASSERT_EQ(c.channels().size(), 2u);
  EXPECT_EQ(channel_type_word(c.channels()[0]), (7 << 16) | 3);
  EXPECT_EQ(c.channels()[1].desc, "two words");
  EXPECT_EQ(c.channels()[1].length, 256);  // defaults of the kind

  struct Case {
    std::string text;
    const char* reason;
  } cases[] = {
      {"A/B/C spectrum length=0\n", "t:1: bad value for length: '0'"},
      {"A/B/C\n", "t:1: a channel needs a name and a kind"},
      {"\nA/B/C teapot\n", "t:2: unknown kind 'teapot'"},
      {"A/B/C spectrum colour=red\n", "t:1: unknown key 'colour'"},
      {"A/B/C spectrum length\n", "t:1: expected key=value, got 'length'"},
      {"A/B/C spectrum\nA/B/C stamp\n", "t:2: channel A/B/C given twice"},
      {"A/B/C image width=8192 height=8192 bpp=2\n", "t:1: image larger than 64 MB"},
      {"A/B/C spectrum desc=\"open\n", "t:1: unterminated quote"},
      {"A/B/C spectrum units=0123456789abcdef\n", "t:1: bad value for units"},
      {"# nothing\n", "holds no channel"},
      {"A/B/C spectrum\n" + std::string(4097, '#') + "\n",
       "t:2: line longer than 4096 bytes, the catalog's limit"},
      {std::string("A/B/C spectrum desc=a\x01") + "b\n", "t:1: control character in the line"},
      // 130 sub-channels of 4 MB: an event no data link message can carry.
      {"A/B/C spectrum\nA/B/D multi-a length=1048576\n",
       "t:2: one event of this channel takes 545263280 bytes, more than the data link carries "
       "(268435456)"},
  };
  for (const Case& k : cases) {
    ChannelCatalog keep = ChannelCatalog::builtin();
    error.clear();
    EXPECT_TRUE(keep.load_text(k.text, "t", &error)) << k.text;
    EXPECT_NE(error.find(k.reason), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos);
    EXPECT_EQ(keep.channels().size(), 11u);  // untouched
  }
  EXPECT_TRUE(c.load_file("/nonexistent/catalog", &error));
  EXPECT_EQ(error, "daq-server: catalog /nonexistent/catalog cannot be read");
  // Input without end is read only up to a bound: the line's, or the file's.
  EXPECT_TRUE(c.load_file("/dev/zero", &error));
  EXPECT_EQ(error,
            "daq-server: catalog /dev/zero:1: line longer than 4096 bytes, the catalog's limit");
  std::string big = testing::TempDir() + "catalog_big";
  {
    std::ofstream f(big);
    f << "A/B/C spectrum\n";
    std::string comments;
    for (int i = 0; i < 1000; ++i) comments += "# a comment line of the catalog's own\n";
    while (f.tellp() <= kMaxCatalogBytes) f << comments;
  }
  EXPECT_TRUE(c.load_file(big, &error));
  EXPECT_EQ(error,
            "daq-server: catalog " + big + ": larger than 16777216 bytes, the catalog's limit");
  std::remove(big.c_str());
  EXPECT_EQ(c.channels().size(), 2u);
  // Near the data link's bound is still served: 130 x 2 MB.
  EXPECT_FALSE(c.load_text("A/B/D multi-a length=500000\n", "t", &error)) << error;
}

// The size the catalog and the planner check is the size of the event built.
TEST(EventSynth, EventBytesAreTheBytesOfTheBuiltEvent) {
  ChannelCatalog c = ChannelCatalog::builtin();
  CatalogChannel sampled = *c.find("DIAG/GSPECT/G1");
  sampled.sample_start = 3;
  sampled.sample_inc = 7;
  sampled.sample_count = 5;
  std::vector<const CatalogChannel*> all;
  for (const CatalogChannel& ch : c.channels()) {
    if (ch.kind != ChannelKind::slow) all.push_back(&ch);
  }
  all.push_back(&sampled);
  for (bool gen_2024 : {false, true}) {
    std::vector<std::vector<const CatalogChannel*>> sets = {all};
    for (const CatalogChannel* ch : all) sets.push_back({ch});
    for (const auto& set : sets) {
      EventSynth synth(gen_2024, set, {}, "T");
      size_t length = 0;
      ASSERT_NE(synth.event(1234, time_stamp{1740000000, 5}, &length), nullptr);
      EXPECT_EQ(synth_event_bytes(gen_2024, set), length) << set.back()->name << gen_2024;
    }
  }
}

TEST(RequestPlan, TimeRangeEventsFilesAndChannels) {
  ChannelCatalog c = ChannelCatalog::builtin();
  Request q;
  copy_text(q.r.t_start, "2025-1-1T2:0:0");  // CET: 01:00 UTC
  copy_text(q.r.t_stop, "2025-1-1T2:0:30");
  q.channel("SLOW/TEMP/T1");
  q.channel("CAMERA/SCREEN/IMAGE");
  q.channel("NO/SUCH/ONE");
  q.channel("CAMERA/SCREEN/IMAGE");
  use_default_experiment_zone();
  RequestPlan p = plan_request(&q.r, c, settings());
  ASSERT_EQ(p.error, "");
  EXPECT_EQ(p.event_count, 300u);
  EXPECT_EQ(p.first_event, 36000u);  // one hour after the origin at 10 Hz
  EXPECT_FALSE(p.gen_2024);
  EXPECT_EQ(p.event_channels.size(), 1u);
  EXPECT_EQ(p.slow_channels.size(), 1u);
  ASSERT_EQ(p.nf_channels.size(), 1u);
  ASSERT_EQ(p.found_files.size(), 1u);
  EXPECT_EQ(p.found_files[0], "run000002.raw");
  uint32_t s = 0, us = 0;
  plan_event_time(p, 10.0, 15, &s, &us);
  EXPECT_EQ(s, static_cast<uint32_t>(kOrigin + 3601));
  EXPECT_EQ(us, 500000u);
}

TEST(RequestPlan, ReadableErrorsForWhatCannotBeServed) {
  use_default_experiment_zone();
  ChannelCatalog c = ChannelCatalog::builtin();
  struct Case {
    const char* start;
    const char* stop;
    const char* channel;
    const char* error;
  } cases[] = {
      {"2025-1-1T2:0:30", "2025-1-1T2:0:0", nullptr,
       "ERROR: the stop time is not after the start time"},
      {"2024-6-1T0:0:0", "2024-6-2T0:0:0", nullptr, "ERROR: no data in the requested time range"},
      {"2025-1-1T2:0:0", "2025-1-1T2:0:1", "X/Y/Z",
       "ERROR: none of the requested channels is known"},
      {"2025-1-1T2:0:0", "2025-1-30T0:0:0", nullptr,
       "ERROR: the request spans 24984000 events, more than 10000000"},
      {"2025-1-1 2:0:0", "", nullptr, "ERROR: the start time cannot be read"},
  };
  for (const Case& k : cases) {
    Request q;
    copy_text(q.r.t_start, k.start);
    copy_text(q.r.t_stop, k.stop);
    if (k.channel != nullptr) q.channel(k.channel);
    EXPECT_EQ(plan_request(&q.r, c, settings()).error, k.error) << k.start;
  }
}

TEST(RequestPlan, RunsFilesAndGenerations) {
  use_default_experiment_zone();
  ChannelCatalog c = ChannelCatalog::builtin();
  Request runs;
  runs.r.run_first = 3;
  runs.r.run_last = 4;
  RequestPlan p = plan_request(&runs.r, c, settings());
  ASSERT_EQ(p.error, "");
  EXPECT_EQ(p.t_start, kOrigin + 2 * 3600);
  EXPECT_EQ(p.event_count, 72000u);
  EXPECT_EQ(p.runs, 2);

  Request files;
  files.r.file_list.push_back(strdup("/data/run000005.raw"));
  files.r.file_list.push_back(strdup("other.raw"));
  files.r.file_list.push_back(strdup("run999999.raw"));  // after now
  p = plan_request(&files.r, c, settings());
  ASSERT_EQ(p.error, "");
  EXPECT_EQ(p.t_start, kOrigin + 4 * 3600);
  EXPECT_EQ(p.nf_files.size(), 2u);

  Request unknown;
  unknown.r.file_list.push_back(strdup("other.raw"));
  EXPECT_EQ(plan_request(&unknown.r, c, settings()).error,
            "ERROR: none of the requested files is known");

  // Numbers past 2^31 need the 2024 generation: auto picks it, legacy refuses.
  PlanSettings late = settings();
  late.now_sec = kOrigin;
  late.origin_sec = kOrigin - 300000000;  // about 3e9 pulses before the range
  Request t;
  copy_text(t.r.t_start, "2024-12-31T23:0:0");
  copy_text(t.r.t_stop, "2024-12-31T23:0:10");
  EXPECT_TRUE(plan_request(&t.r, c, late).gen_2024);
  late.generation = 0;
  Request t2;
  copy_text(t2.r.t_start, "2024-12-31T23:0:0");
  copy_text(t2.r.t_stop, "2024-12-31T23:0:10");
  EXPECT_EQ(plan_request(&t2.r, c, late).error,
            "ERROR: event numbers of this range do not fit the legacy generation");
}

TEST(RequestPlan, SamplingIsServedWhereSamplesHaveAnIndexElseRefusedWithTheReason) {
  use_default_experiment_zone();
  ChannelCatalog c = ChannelCatalog::builtin();
  struct Case {
    const char* name;
    orxa_chan_prms prms;    // start, inc, length, func, tstart, tinc, tlength
    int start, inc, count;  // served; count -1: refused with `refusal`
    const char* refusal;
  } cases[] = {
      {"DIAG/TOROID/T1.SPECT", {0, -1, 8, -1, -1, -1, -1}, 0, 1, 8, nullptr},
      {"DIAG/TOROID/T1.SPECT", {1000, 10, -1, 0, -1, -1, -1}, 1000, 10, 3, nullptr},
      {"DIAG/TOROID/T1.SPECT", {-1, 512, -1, -1, -1, -1, -1}, 0, 512, 2, nullptr},
      {"DIAG/GSPECT/G1", {250, -1, 100, -1, -1, -1, -1}, 250, 1, 6, nullptr},  // clipped
      {"DIAG/TOROID/T1.SPECT",
       {1024, -1, 8, -1, -1, -1, -1},
       0,
       0,
       -1,
       "DIAG/TOROID/T1.SPECT (start 1024 is past the channel's 1024 samples)"},
      {"DIAG/TOROID/T1.SPECT",
       {0, -1, 0, -1, -1, -1, -1},
       0,
       0,
       -1,
       "DIAG/TOROID/T1.SPECT (length 0 selects no sample)"},
      {"DIAG/TOROID/T1.SPECT",
       {-1, -1, -1, 3, -1, -1, -1},
       0,
       0,
       -1,
       "DIAG/TOROID/T1.SPECT (function code 3 is not served, only 0: plain samples)"},
      {"DIAG/TOROID/T1.SPECT",
       {-1, -1, -1, -1, 0.5f, -1, -1},
       0,
       0,
       -1,
       "DIAG/TOROID/T1.SPECT (sampling in the time form is not served)"},
      {"CAMERA/SCREEN/IMAGE",
       {0, -1, 8, -1, -1, -1, -1},
       0,
       0,
       -1,
       "CAMERA/SCREEN/IMAGE (a channel of kind image has no sample index)"},
  };
  for (const Case& k : cases) {
    Request q;
    copy_text(q.r.t_start, "2025-1-1T2:0:0");
    copy_text(q.r.t_stop, "2025-1-1T2:0:30");
    q.channel(k.name, k.prms);
    q.channel("TIMING/TRIGGER/STAMP");
    RequestPlan p = plan_request(&q.r, c, settings());
    ASSERT_EQ(p.error, "") << k.name << k.prms.start;
    if (k.count < 0) {
      ASSERT_EQ(p.nf_channels.size(), 1u);
      EXPECT_EQ(p.nf_channels[0], k.refusal);
      EXPECT_EQ(p.event_channels.size(), 1u);
      continue;
    }
    ASSERT_EQ(p.event_channels.size(), 2u);
    const CatalogChannel* served = p.event_channels[0];
    EXPECT_EQ(served->sample_start, k.start) << k.prms.start;
    EXPECT_EQ(served->sample_inc, k.inc);
    EXPECT_EQ(channel_samples(*served), k.count);
    EXPECT_EQ(channel_samples(*c.find(k.name)), c.find(k.name)->length);  // catalog untouched
  }
  // Nothing left to serve: the first refusal is the error.
  Request q;
  copy_text(q.r.t_start, "2025-1-1T2:0:0");
  copy_text(q.r.t_stop, "2025-1-1T2:0:30");
  q.channel("RF/STATUS/NAMES", {2, -1, -1, -1, -1, -1, -1});
  EXPECT_EQ(plan_request(&q.r, c, settings()).error,
            "ERROR: none of the requested channels can be served: RF/STATUS/NAMES (a channel of "
            "kind namval has no sample index)");
}

TEST(RequestPlan, EventsLargerThanTheDataLinkAreRefusedAtPlanning) {
  use_default_experiment_zone();
  ChannelCatalog c;
  std::string text;
  for (int i = 0; i < 65; ++i) text += "BIG/S/" + std::to_string(i) + " spectrum length=1048576\n";
  std::string error;
  ASSERT_FALSE(c.load_text(text, "t", &error)) << error;  // each fits alone
  Request all;
  copy_text(all.r.t_start, "2025-1-1T2:0:0");
  copy_text(all.r.t_stop, "2025-1-1T2:0:1");
  EXPECT_EQ(plan_request(&all.r, c, settings()).error,
            "ERROR: one event of the requested channels takes 272649844 bytes, more than the "
            "data link carries (268435456)");
  // Sampled down, the same channels fit.
  Request sampled;
  copy_text(sampled.r.t_start, "2025-1-1T2:0:0");
  copy_text(sampled.r.t_stop, "2025-1-1T2:0:1");
  for (int i = 0; i < 65; ++i) {
    sampled.channel(("BIG/S/" + std::to_string(i)).c_str(), {0, -1, 1024, -1, -1, -1, -1});
  }
  EXPECT_EQ(plan_request(&sampled.r, c, settings()).error, "");
}

TEST(ServerOptions, ReadsEveryOptionAndRefusesBadOnes) {
  const char* argv[] = {"daq-server",   "--entry", "F/D/L/",       "--port", "7300",
                        "--generation", "2024",    "--rate",       "50",     "--real-time",
                        "--busy",       "2",       "--drop-after", "9",      "--catalog",
                        "/tmp/x"};
  DaqServerOptions o;
  std::string error;
  bool help = true;
  ASSERT_FALSE(parse_server_options(16, const_cast<char**>(argv), &o, &error, &help)) << error;
  EXPECT_FALSE(help);
  EXPECT_EQ(o.facility, "F");
  EXPECT_EQ(o.location, "L");
  EXPECT_EQ(o.control_port, 7300);
  EXPECT_EQ(o.generation, DAQ_GENERATION_2024);
  EXPECT_DOUBLE_EQ(o.rate_hz, 50.0);
  EXPECT_TRUE(o.real_time);
  EXPECT_EQ(o.busy_times, 2);
  EXPECT_EQ(o.drop_after, 9);
  EXPECT_EQ(o.catalog_file, "/tmp/x");
  for (auto bad :
       {std::vector<const char*>{"x", "--port", "70000"},
        std::vector<const char*>{"x", "--entry", "F/D"},
        std::vector<const char*>{"x", "--rate", "0"}, std::vector<const char*>{"x", "--busy"},
        std::vector<const char*>{"x", "--frobnicate"}}) {
    DaqServerOptions d;
    EXPECT_TRUE(parse_server_options(static_cast<int>(bad.size()), const_cast<char**>(bad.data()),
                                     &d, &error, &help))
        << bad[1];
    EXPECT_EQ(error.rfind("daq-server: ", 0), 0u);
  }
}
