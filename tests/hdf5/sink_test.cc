// The HDF5 sink against the real server: every channel kind of the built-in
// catalog goes into the file and comes back, through the HDF5 C API, equal to
// the records the fetch delivered, with and without gzip. Values that do not
// fit their group's layout, or whose image header lies about its bytes, keep
// groups of their own.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "daq_data_server.h"
#include "daq_fetch.h"
#include "daq_hdf5_sink.h"
#include "h5_read.h"
#include "orxa_evutl.h"
#include "velmor.h"

namespace {

constexpr int64_t kOrigin = 1735689600;  // the server's event 0

std::string temp_path(const char* tag) {
  return testing::TempDir() + "hdf5_" + tag + "_" + std::to_string(getpid()) + ".h5";
}

std::string group_of(const std::string& channel) {
  std::string g = "/";
  for (char c : channel) g += c == '/' ? std::string("%2F") : std::string(1, c);
  return g;
}

// What one channel received: rows in arrival order.
struct Expected {
  std::vector<uint64_t> events;
  std::vector<int64_t> times;
  std::vector<const velmor::EqData*> values;  // null for slow entries
  std::vector<double> slow_values;
};

// The numbers of a value in the order the file lays them out (spectra of
// one length, as the catalog sends them).
std::vector<double> flat_numbers(const velmor::EqData& d) {
  std::vector<double> out;
  if (d.spectrum_count() > 0) {
    for (int i = 0; i < d.spectrum_count(); ++i)
      for (float v : d.get_spectrum(i)->data) out.push_back(v);
  } else if (d.type() == velmor::DATA_A_USTR) {
    for (int i = 0; i < d.ustr_count(); ++i) out.push_back(d.get_ustr(i)->f1);
  } else {
    for (int i = 0; i < d.value_count(); ++i) out.push_back(d.get_double(i));
  }
  return out;
}

class Hdf5SinkRoundTrip : public testing::TestWithParam<int> {};

TEST_P(Hdf5SinkRoundTrip, EveryChannelKindReadsBackAsFetched) {
  DaqServerOptions o;
  o.rate_hz = 10.0;
  DaqDataServer server(o);
  ASSERT_FALSE(server.start());
  DaqFetchRequest q;
  q.servers = server.entry();
  q.start_sec = kOrigin;
  q.stop_sec = kOrigin + 1;
  q.connect_timeout_s = 20;
  q.retries = 0;

  std::string path = temp_path("kinds");
  DaqHdf5Options options;
  options.compress_level = GetParam();
  options.flush_records = 3;  // several flushes, the last one partial
  DaqHdf5Sink sink;
  ASSERT_FALSE(sink.open(path, options)) << sink.error();
  sink.attach(q);
  std::map<std::string, Expected> expected;
  std::vector<std::vector<EqData_dtype*>*> kept;
  DaqFetch fetch(q);
  int rc = fetch.run([&](DaqFetchRecord& r) {
    EXPECT_FALSE(sink.write(r)) << sink.error();
    for (size_t i = 0; i < r.values->size(); ++i) {
      EqData_dtype* v = (*r.values)[i];
      if (v->slblock == nullptr) {
        Expected& e = expected[r.names[i]];
        e.events.push_back(r.event);
        e.times.push_back(int64_t{r.seconds} * 1000000 + r.micros);
        e.values.push_back(v->data);
        continue;
      }
      for (int k = 0; k < orxa_slow_block_get_n_entries(v->slblock); ++k) {
        orxa_slow_entry_2024 s{};
        if (orxa_slow_block_get_entry(v->slblock, k, &s)) continue;
        Expected& e = expected[s.name];
        e.events.push_back(s.event_number);
        e.times.push_back(int64_t{s.time.timeup} * 1000000 + s.time.timelow);
        e.slow_values.push_back(s.value);
      }
    }
    kept.push_back(r.values);
    r.values = nullptr;
    return true;
  });
  ASSERT_EQ(rc, DAQ_FETCH_OK) << fetch.error();
  ASSERT_FALSE(sink.close(&fetch, rc)) << sink.error();

  H5Reader f(path);
  ASSERT_TRUE(f.ok());
  EXPECT_EQ(f.attr_text("/", "format"), "daq-fetch-hdf5");
  EXPECT_EQ(f.attr_int("/", "complete"), 1);
  EXPECT_EQ(f.attr_int("/", "fetch_result"), DAQ_FETCH_OK);
  EXPECT_EQ(f.attr_int("/", "records_written"), static_cast<int64_t>(kept.size()));
  EXPECT_EQ(f.attr_int("/", "fetch_records_delivered"), static_cast<int64_t>(kept.size()));
  EXPECT_EQ(f.attr_int("/", "request_start_sec"), kOrigin);
  EXPECT_EQ(f.attr_text("/", "request_start"), "2025-01-01T00:00:00Z");
  EXPECT_GT(f.attr_int("/", "reply_port"), 0);

  std::map<std::string, int> kinds;
  for (const auto& [name, e] : expected) {
    std::string g = group_of(name);
    SCOPED_TRACE(name);
    ASSERT_TRUE(f.exists(g));
    EXPECT_EQ(f.attr_text(g, "channel"), name);
    EXPECT_EQ(f.u64(g + "/event_number"), e.events);
    EXPECT_EQ(f.i64(g + "/time_us"), e.times);
    std::string kind = f.attr_text(g, "kind");
    ++kinds[kind];
    if (kind == "slow") {
      EXPECT_EQ(f.f64(g + "/value"), e.slow_values);
    } else if (kind == "number" || kind == "spectrum" || kind == "items") {
      std::vector<double> want;
      for (const velmor::EqData* d : e.values) {
        std::vector<double> one = flat_numbers(*d);
        want.insert(want.end(), one.begin(), one.end());
      }
      EXPECT_EQ(f.f64(g + "/value"), want);
    } else if (kind == "image") {
      std::vector<hsize_t> shape;
      std::vector<uint16_t> pixels = f.read<uint16_t>(g + "/image", H5T_NATIVE_UINT16, &shape);
      const velmor::IMH* h = e.values[0]->get_image_header();
      ASSERT_EQ(shape,
                (std::vector<hsize_t>{e.values.size(), hsize_t(h->height), hsize_t(h->width)}));
      size_t bytes = size_t(e.values[0]->get_image_length());
      for (size_t i = 0; i < e.values.size(); ++i)
        EXPECT_EQ(std::memcmp(pixels.data() + i * bytes / 2, e.values[i]->get_image_data(), bytes),
                  0);
      EXPECT_EQ(f.texts(g + "/comment")[0], e.values[0]->get_image_comm());
    } else {
      EXPECT_EQ(kind, "none");
    }
    if (kind == "spectrum" && e.values[0]->get_spectrum(0)->group) {
      std::vector<double> stats = f.f64(g + "/statistics");
      ASSERT_GE(stats.size(), 24u);
      for (int k = 0; k < 24; ++k) EXPECT_EQ(stats[k], e.values[0]->get_spectrum(0)->statistics[k]);
    }
    if (kind == "spectrum") {
      EXPECT_EQ(f.texts(g + "/name")[0], e.values[0]->get_spectrum(0)->comment);
    }
    if (kind == "items") {
      EXPECT_EQ(f.texts(g + "/name")[0], e.values[0]->get_ustr(0)->str);
    }
  }
  // The catalog's kinds: a data object, spectra of every form, an image,
  // name/value and update items, a stamp and two slow channels.
  EXPECT_EQ(kinds["number"], 1);
  EXPECT_EQ(kinds["spectrum"], 4);
  EXPECT_EQ(kinds["image"], 1);
  EXPECT_GE(kinds["items"], 7);
  EXPECT_EQ(kinds["none"], 1);
  EXPECT_EQ(kinds["slow"], 2);
  for (auto* v : kept) daq_fetch_release_values(v);
  unlink(path.c_str());
}

INSTANTIATE_TEST_SUITE_P(Compression, Hdf5SinkRoundTrip, testing::Values(0, 1));

// A record built in memory: one value per (name, data), data owned by the record.
struct MemoryRecord {
  DaqFetchRecord r;
  MemoryRecord(uint64_t event, std::vector<std::pair<std::string, velmor::EqData*>> values) {
    r.event = event;
    r.seconds = static_cast<uint32_t>(kOrigin + event);
    r.values = new std::vector<EqData_dtype*>;
    for (auto& [name, data] : values) {
      r.names.push_back(name);
      r.requested.push_back("");
      r.values->push_back(new EqData_dtype{nullptr, data, 1, 1});
    }
  }
  ~MemoryRecord() { daq_fetch_release_values(r.values); }
};

velmor::EqData* int_array(std::vector<long> v) {
  auto* d = new velmor::EqData;
  d->set_int_array(v.data(), static_cast<int>(v.size()));
  return d;
}

TEST(Hdf5Sink, ValuesOfAnotherLayoutOrABadImageHeaderKeepGroupsOfTheirOwn) {
  std::string path = temp_path("odd");
  DaqHdf5Sink sink;
  DaqHdf5Options plain;  // also the writer that never follows
  plain.follow = false;
  ASSERT_FALSE(sink.open(path, plain));
  // A header claiming 4 x 2 pixels of 2 bytes over 10 bytes, and one whose
  // product overflows 32 bits.
  velmor::IMH lying{};
  lying.width = 4;
  lying.height = 2;
  lying.bpp = 2;
  unsigned char bytes[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  auto* short_image = new velmor::EqData;
  short_image->set_image(bytes, 10, &lying, velmor::no);
  velmor::IMH huge = lying;
  huge.width = huge.height = 1 << 20;
  auto* huge_image = new velmor::EqData;
  huge_image->set_image(bytes, 10, &huge, velmor::no);
  {
    MemoryRecord a(1, {{"DEV/A%B", int_array({1, 2, 3})},
                       {"DEV/A%B#2", int_array({9})},  // not to be taken for a sibling
                       {"CAM", short_image}});
    ASSERT_FALSE(sink.write(a.r)) << sink.error();
  }
  auto* text = new velmor::EqData;
  text->set_string("hello");
  auto* texts = new velmor::EqData;
  texts->set_string_array({"a", "b"});
  auto* unknown = new velmor::EqData;
  unknown->set_type(99);
  {
    MemoryRecord b(2, {{"DEV/A%B", int_array({4, 5, 6, 7, 8})},
                       {"CAM", huge_image},
                       {"T", text},
                       {"TA", texts},
                       {"U", unknown}});
    ASSERT_FALSE(sink.write(b.r)) << sink.error();
  }
  ASSERT_FALSE(sink.close(nullptr));
  MemoryRecord late(3, {{"X", int_array({1})}});
  EXPECT_TRUE(sink.write(late.r));  // a closed sink refuses records

  H5Reader f(path);
  ASSERT_TRUE(f.ok());
  EXPECT_EQ(f.i64("/DEV%2FA%25B/value"), (std::vector<int64_t>{1, 2, 3}));
  std::vector<hsize_t> shape;
  EXPECT_EQ(f.i64("/DEV%2FA%25B#2/value", &shape), (std::vector<int64_t>{4, 5, 6, 7, 8}));
  EXPECT_EQ(shape, (std::vector<hsize_t>{1, 5}));
  EXPECT_EQ(f.attr_text("/DEV%2FA%25B#2", "channel"), "DEV/A%B");
  EXPECT_EQ(f.i64("/DEV%2FA%25B%232/value"), (std::vector<int64_t>{9}));
  EXPECT_EQ(f.u64("/DEV%2FA%25B#2/event_number"), std::vector<uint64_t>{2});
  EXPECT_EQ(f.texts("/T/value"), std::vector<std::string>{"hello"});
  EXPECT_EQ(f.texts("/TA/value"), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(f.u64("/TA/item_event"), (std::vector<uint64_t>{0, 0}));
  EXPECT_EQ(f.attr_text("/U", "raw_reason"), "data type 99");
  EXPECT_EQ(f.attr_text("/CAM", "kind"), "raw");
  EXPECT_NE(f.attr_text("/CAM", "raw_reason").find("data length"), std::string::npos);
  hid_t ds = H5Dopen2(f.id(), "/CAM/data", H5P_DEFAULT);
  ASSERT_GE(ds, 0);
  hid_t type = H5Tvlen_create(H5T_NATIVE_UINT8);
  hvl_t rows[2] = {};
  ASSERT_GE(H5Dread(ds, type, H5S_ALL, H5S_ALL, H5P_DEFAULT, rows), 0);
  ASSERT_EQ(rows[0].len, 10u);
  EXPECT_EQ(std::memcmp(rows[0].p, bytes, 10), 0);
  EXPECT_EQ(rows[1].len, 10u);
  hid_t space = H5Dget_space(ds);
  H5Dvlen_reclaim(type, space, H5P_DEFAULT, rows);
  H5Sclose(space);
  H5Tclose(type);
  H5Dclose(ds);
  unlink(path.c_str());
}

TEST(Hdf5Sink, RefusesWhatItCannotDo) {
  DaqHdf5Sink sink;
  DaqHdf5Options bad;
  bad.compress_level = 10;
  EXPECT_TRUE(sink.open(temp_path("bad"), bad));
  EXPECT_NE(sink.error().find("compression"), std::string::npos);
  DaqHdf5Sink nowhere;
  EXPECT_TRUE(nowhere.open("/nonexistent-dir/x.h5", DaqHdf5Options{}));
  EXPECT_EQ(nowhere.error(), "cannot create HDF5 file /nonexistent-dir/x.h5");
}

}  // namespace
