// Writers of daqget's records: one line (one CSV row, one JSON object) per
// channel of a record, written as the record arrives. Formats: docs/daqget.md.
#ifndef DAQGET_RECORD_WRITER_H
#define DAQGET_RECORD_WRITER_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "daqget_options.h"

namespace velmor {
class EqData;
}
struct chan_descr_2010;
struct daq_server_reply;
struct daq_server_request;

// What every line of one channel starts with.
struct RowHead {
  uint64_t event = 0;
  uint32_t seconds = 0;
  uint32_t micros = 0;
  std::string channel;
  int dtype = 0;
  int devtype = 0;
};

// The period a channel list covers, in seconds since 1970; 0: not known.
struct ListPeriod {
  long from = 0;
  long to = 0;
};

// A channel description carries no period of its own: the list covers the period
// the reply's statistics report, or, when the server reports none, the period the
// request asked for (its seconds as validation derived them).
ListPeriod channel_list_period(const daq_server_reply& reply, const daq_server_request& asked);

// Lines are gathered in a block and written in large pieces; a background
// flush writes whatever waits at least every kFlushMs, so a reader at the other
// end of a pipe still sees each record at once when records come slowly. Lines
// reach the file in the order written.
class RecordWriter {
 public:
  explicit RecordWriter(FILE* out);
  // Writes what is still gathered.
  virtual ~RecordWriter();
  RecordWriter(const RecordWriter&) = delete;
  RecordWriter& operator=(const RecordWriter&) = delete;

  // An event channel; data null when the channel carries no value object.
  virtual void channel(const RowHead& head, const velmor::EqData* data) = 0;
  // One value of a slow-data block.
  virtual void slow(const RowHead& head, float value, int status) = 0;
  // The channel descriptions of a channel-list request, each with the period.
  virtual void descriptions(const std::vector<chan_descr_2010*>& list,
                            const ListPeriod& period) = 0;

  // After the lines of one record: writes the block once it is large.
  void end_record();
  // Writes and flushes what is gathered; true when anything failed to be
  // written so far.
  bool finish();
  bool failed() const { return failed_.load(std::memory_order_relaxed); }
  // A write that went elsewhere (-f hdf5) failed.
  void fail() { failed_ = true; }

 protected:
  void put(const std::string& line);
  FILE* out_;
  std::atomic<bool> failed_{false};
  // Called by end_record(), for writers that keep something per record.
  virtual void record_ended() {}

 private:
  static constexpr size_t kBlockBytes = 64 * 1024;
  static constexpr int kFlushMs = 50;
  void write_block();  // lock_ held
  void flush_while_running();

  std::mutex lock_;
  std::condition_variable wake_;
  std::string block_;  // gathered lines, not yet handed to out_
  bool stopping_ = false;
  std::thread flusher_;
};

// out may be null for -f hdf5, whose writer writes no lines.
std::unique_ptr<RecordWriter> make_record_writer(OutputFormat format, FILE* out, int max_values);

// A CSV field, quoted when it holds a comma, a quote or a line end.
std::string csv_field(const std::string& text);
// The same appended to out.
void append_csv_field(std::string& out, const std::string& text);

#endif
