// DaqHdf5Sink: records are split into channel values, each value goes to the
// group of its name whose layout accepts it (a new sibling group otherwise),
// and rows wait in the groups' columns until a flush appends them in blocks.
//
// Invariants: a group's columns always hold the same number of rows after a
// flush; with `follow` the file is in single-writer/multiple-reader mode from
// open() on, except while a record's new groups (and attributes that became
// due) are created, after which it enters the mode again at once: a writer
// killed at any other moment leaves a file that readers open in that mode. A
// failure stops the sink for good, so a file is never written past a write
// that did not happen.
#include "daq_hdf5_sink.h"

#include <chrono>
#include <unordered_map>

#include "channel_writer.h"
#include "eq_daq_connect.h"
#include "fetch_attributes.h"
#include "group_name.h"
#include "h5_attributes.h"
#include "h5_file.h"
#include "orxa_evutl.h"
#include "velmor.h"

namespace {

using Clock = std::chrono::steady_clock;

// A group's buffer larger than this is appended at once (without a file
// flush), so big images do not pile up in memory until the next flush.
constexpr size_t kMaxPendingBytes = 16u << 20;
// Bounds the groups a hostile stream can make (each costs a file reopen).
constexpr size_t kMaxGroups = 10000;

int64_t time_us(uint64_t seconds, uint64_t micros) {
  return static_cast<int64_t>(seconds) * 1000000 + static_cast<int64_t>(micros % 1000000u);
}

}  // namespace

struct DaqHdf5Sink::State {
  DaqHdf5Options options;
  std::string error;
  bool failed = false;
  H5File file;
  std::vector<std::unique_ptr<ChannelWriter>> writers;
  std::unordered_map<std::string, std::vector<ChannelWriter*>> by_channel;
  bool have_request = false;
  DaqFetchRequest request;
  bool have_reply = false;
  ReplyStats reply;
  bool attributes_due = false;  // request or reply not yet in the file
  uint64_t records = 0;
  int since_flush = 0;
  Clock::time_point last_flush;

  bool fail(const std::string& text) {
    if (!failed) error = text;
    failed = true;
    return true;
  }

  bool write_attributes() {
    hid_t root = file.id();
    if (have_request && write_request_attributes(root, request))
      return fail("cannot write the request's attributes");
    if (have_reply && write_reply_attributes(root, reply))
      return fail("cannot write the reply's attributes");
    attributes_due = false;
    return false;
  }

  // Out of the mode with every group open again; false on success.
  bool leave() {
    if (!file.following()) return false;
    for (auto& w : writers) w->close();
    if (file.leave()) return fail("cannot reopen the HDF5 file to add a channel");
    for (auto& w : writers)
      if (w->reopen(file.id())) return fail("cannot reopen group " + w->info().group_name);
    return false;
  }

  ChannelWriter* writer_for(const std::string& channel, const ValueLayout& layout,
                            const std::string& requested, int dtype, int devtype) {
    std::vector<ChannelWriter*>& variants = by_channel[channel];
    for (ChannelWriter* w : variants)
      if (layout_accepts(w->layout(), layout)) return w;
    if (writers.size() >= kMaxGroups) {
      fail("too many channel groups (" + std::to_string(kMaxGroups) + ")");
      return nullptr;
    }
    ChannelInfo info;
    info.group_name = escape_group_name(channel);
    if (!variants.empty()) info.group_name += "#" + std::to_string(variants.size() + 1);
    info.channel = channel;
    info.requested = requested;
    info.dtype = dtype;
    info.devtype = devtype;
    if (leave()) return nullptr;
    std::unique_ptr<ChannelWriter> w = make_channel_writer(std::move(info), layout);
    if (w->create(file.id(), options.compress_level)) {
      fail("cannot create group " + w->info().group_name);
      return nullptr;
    }
    variants.push_back(w.get());
    writers.push_back(std::move(w));
    return variants.back();
  }

  bool add_slow_block(orxa_daq_slow_data_header* block, const std::string& requested) {
    int n = orxa_slow_block_get_n_entries(block);
    for (int i = 0; i < n; ++i) {
      orxa_slow_entry_2024 e{};
      if (orxa_slow_block_get_entry(block, i, &e)) continue;
      ChannelWriter* w = writer_for(e.name, slow_layout(), requested, 33, 33);
      if (w == nullptr) return true;
      ChannelValue v;
      v.event = e.event_number;
      v.time_us = time_us(e.time.timeup, e.time.timelow);
      v.slow_value = e.value;
      v.slow_status = e.status;
      w->add(v);
    }
    return false;
  }

  // New groups are made out of the mode; this goes back into it.
  bool resume_following() {
    if (!options.follow || file.following()) return false;
    if (attributes_due && write_attributes()) return true;
    if (h5_attr_u64(file.id(), "records_written", records) || file.flush())
      return fail("cannot flush the HDF5 file");
    if (file.enter()) return fail("cannot start single-writer/multiple-reader mode");
    return false;
  }

  // The request and the reply are written as soon as they are known.
  bool write_attributes_now() {
    if (!file.is_open() || failed) return false;
    return leave() || write_attributes() || resume_following();
  }

  bool add_record(const DaqFetchRecord& r) {
    bool bad = add_values(r);
    return resume_following() || bad;
  }

  bool add_values(const DaqFetchRecord& r) {
    const std::vector<EqData_dtype*>& values = *r.values;
    for (size_t i = 0; i < values.size(); ++i) {
      const EqData_dtype* v = values[i];
      if (v == nullptr) continue;
      std::string requested = i < r.requested.size() ? r.requested[i] : std::string();
      if (v->slblock != nullptr) {
        if (add_slow_block(v->slblock, requested)) return true;
        continue;
      }
      std::string name = i < r.names.size() ? r.names[i] : std::string();
      ChannelWriter* w = writer_for(name, classify(v->data), requested, v->dtype, v->devtype);
      if (w == nullptr) return true;
      ChannelValue cv;
      cv.event = r.event;
      cv.time_us = time_us(r.seconds, r.micros);
      cv.data = v->data;
      w->add(cv);
      if (w->pending_bytes() > kMaxPendingBytes && w->write())
        return fail("cannot append to group " + w->info().group_name);
    }
    return false;
  }

  bool flush() {
    for (auto& w : writers)
      if (w->write()) return fail("cannot append to group " + w->info().group_name);
    if (!file.following()) {
      if (attributes_due && write_attributes()) return true;
      if (h5_attr_u64(file.id(), "records_written", records))
        return fail("cannot write the record count");
    }
    if (file.flush()) return fail("cannot flush the HDF5 file");
    since_flush = 0;
    last_flush = Clock::now();
    return resume_following();
  }
};

DaqHdf5Sink::DaqHdf5Sink() : s_(new State) {}

DaqHdf5Sink::~DaqHdf5Sink() { close(nullptr); }

bool DaqHdf5Sink::open(const std::string& path, const DaqHdf5Options& options) {
  H5QuietErrors quiet;
  State& s = *s_;
  if (s.file.is_open()) return s.fail("the HDF5 sink is already open");
  if (options.compress_level < 0 || options.compress_level > 9 || options.flush_records < 1 ||
      options.flush_ms < 0)
    return s.fail("HDF5 options refused: compression 0..9, flush_records >= 1, flush_ms >= 0");
  s.options = options;
  if (s.file.create(path)) return s.fail("cannot create HDF5 file " + path);
  hid_t root = s.file.id();
  if (h5_attr_text(root, "format", "daq-fetch-hdf5") || h5_attr_i32(root, "format_version", 1) ||
      h5_attr_i32(root, "complete", 0) || h5_attr_u64(root, "records_written", 0) || s.file.flush())
    return s.fail("cannot write to HDF5 file " + path);
  s.last_flush = Clock::now();
  return false;
}

void DaqHdf5Sink::attach(DaqFetchRequest& request) {
  H5QuietErrors quiet;
  State* s = s_.get();
  s->request = request;
  s->request.prepare = nullptr;
  s->request.accepted = nullptr;
  s->have_request = true;
  s->attributes_due = true;
  s->write_attributes_now();
  std::function<bool(EqDAQconnect&)> previous = request.accepted;
  request.accepted = [s, previous](EqDAQconnect& connection) {
    daq_server_reply* reply = connection.get_server_reply();
    if (reply != nullptr) {
      H5QuietErrors quiet;
      s->reply = copy_reply_stats(*reply);
      s->have_reply = true;
      s->attributes_due = true;
      s->write_attributes_now();
    }
    return previous ? previous(connection) : true;
  };
}

bool DaqHdf5Sink::write(const DaqFetchRecord& record) {
  H5QuietErrors quiet;
  State& s = *s_;
  if (s.failed) return true;
  if (!s.file.is_open()) return s.fail("the HDF5 sink is not open");
  if (record.values == nullptr) return false;
  if (s.add_record(record)) return true;
  ++s.records;
  ++s.since_flush;
  if (s.since_flush >= s.options.flush_records ||
      Clock::now() - s.last_flush >= std::chrono::milliseconds(s.options.flush_ms))
    return s.flush();
  return false;
}

bool DaqHdf5Sink::flush() {
  H5QuietErrors quiet;
  State& s = *s_;
  if (s.failed) return true;
  if (!s.file.is_open()) return s.fail("the HDF5 sink is not open");
  return s.flush();
}

bool DaqHdf5Sink::close(const DaqFetch* fetch) { return close(fetch, -1); }

bool DaqHdf5Sink::close(const DaqFetch* fetch, int result) {
  H5QuietErrors quiet;
  State& s = *s_;
  if (!s.file.is_open()) return s.failed;
  // What was buffered is written even after a failure elsewhere, so the
  // file keeps every record it was given up to the failure.
  bool bad = false;
  for (auto& w : s.writers) bad = w->write() || bad;
  if (bad) s.fail("cannot append the last records");
  if (!s.leave()) {
    hid_t root = s.file.id();
    if (s.write_attributes() || write_fetch_attributes(root, fetch, result) ||
        h5_attr_u64(root, "records_written", s.records) ||
        h5_attr_i32(root, "complete", s.failed ? 0 : 1))
      s.fail("cannot write the closing attributes");
  }
  for (auto& w : s.writers) w->close();
  if (s.file.close()) s.fail("cannot close the HDF5 file");
  return s.failed;
}

const std::string& DaqHdf5Sink::error() const { return s_->error; }

uint64_t DaqHdf5Sink::records_written() const { return s_->records; }
