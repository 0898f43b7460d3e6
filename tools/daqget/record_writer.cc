// Writers build each line in a string of their own and hand it to the block;
// the block goes to the stream in large writes (a write costs more than a
// record's formatting), and the background flush keeps a slow stream's records
// visible within kFlushMs. A failed write marks the writer failed, which the
// next record's caller sees.
#include "record_writer.h"

#include <unistd.h>

#include <nlohmann/json.hpp>

#include <cerrno>
#include <chrono>
#include <ctime>

#include "daq_server_util_def.h"
#include "decimal_text.h"
#include "json_text.h"
#include "orxa_chan_descr.h"
#include "value_format.h"
#include "velmor.h"

RecordWriter::RecordWriter(FILE* out) : out_(out) {
  if (out_ != nullptr) flusher_ = std::thread(&RecordWriter::flush_while_running, this);
}

RecordWriter::~RecordWriter() {
  if (flusher_.joinable()) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      stopping_ = true;
    }
    wake_.notify_one();
    flusher_.join();
  }
  if (out_ != nullptr) {
    std::lock_guard<std::mutex> guard(lock_);
    write_block();
  }
}

void RecordWriter::flush_while_running() {
  std::unique_lock<std::mutex> guard(lock_);
  while (!stopping_) {
    wake_.wait_for(guard, std::chrono::milliseconds(kFlushMs));
    if (!block_.empty()) write_block();
  }
}

// Straight to the descriptor: stdio would cut a block into several writes.
void RecordWriter::write_block() {
  if (block_.empty()) return;
  if (!failed_ && std::fflush(out_) != 0) failed_ = true;
  const char* p = block_.data();
  size_t left = block_.size();
  while (!failed_ && left > 0) {
    ssize_t n = ::write(fileno(out_), p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      failed_ = true;
      break;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  block_.clear();
}

void RecordWriter::end_record() {
  record_ended();
  if (out_ == nullptr) return;
  std::lock_guard<std::mutex> guard(lock_);
  if (block_.size() >= kBlockBytes) write_block();
}

bool RecordWriter::finish() {
  if (out_ != nullptr) {
    std::lock_guard<std::mutex> guard(lock_);
    write_block();
    if (std::fflush(out_) != 0 || std::ferror(out_) != 0) failed_ = true;
  }
  return failed_;
}

void RecordWriter::put(const std::string& line) {
  if (failed_) return;
  std::lock_guard<std::mutex> guard(lock_);
  block_ += line;
  block_ += '\n';
  // A long run of lines without a record's end (a channel list) is not held back whole.
  if (block_.size() >= 4 * kBlockBytes) write_block();
}

std::string csv_field(const std::string& text) {
  std::string q;
  append_csv_field(q, text);
  return q;
}

void append_csv_field(std::string& out, const std::string& text) {
  bool plain = true;  // no early exit: the loop vectorises, and a field is mostly numbers
  for (char c : text) plain &= (c != ',') & (c != '"') & (c != '\r') & (c != '\n');
  if (plain) {
    out += text;
    return;
  }
  out += '"';
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
}

ListPeriod channel_list_period(const daq_server_reply& reply, const daq_server_request& asked) {
  ListPeriod p;
  if (reply.stat.t_start_sec > 0 && reply.stat.t_stop_sec > reply.stat.t_start_sec) {
    p.from = reply.stat.t_start_sec;
    p.to = reply.stat.t_stop_sec;
  } else if (asked.t_start_sec > 0 && asked.t_stop_sec > asked.t_start_sec) {
    p.from = asked.t_start_sec;
    p.to = asked.t_stop_sec;
  }
  return p;
}

namespace {

// Whole seconds in UTC; an unknown bound (0) as an empty text.
std::string period_bound(long seconds) {
  if (seconds <= 0) return "";
  time_t t = static_cast<time_t>(seconds);
  struct tm utc;
  char text[32];
  if (gmtime_r(&t, &utc) == nullptr || std::strftime(text, sizeof text, "%FT%TZ", &utc) == 0)
    return "";
  return text;
}

std::string description_type(const chan_descr_2010& d) {
  return data_type_name(static_cast<int>(d.dtype), d.dtype == 0);
}

const char kDescriptionColumns[] = "%-32s %-10s %-6s %-8s %-6s %-20s %-20s %s";

std::string description_line(const chan_descr_2010& d, const ListPeriod& period) {
  std::string from = period_bound(period.from);
  std::string to = period_bound(period.to);
  char line[1024];
  std::snprintf(line, sizeof line, kDescriptionColumns, d.prop_name, description_type(d).c_str(),
                std::to_string(d.count).c_str(), std::to_string(d.max_size).c_str(),
                d.units[0] != '\0' ? d.units : "-", from.empty() ? "-" : from.c_str(),
                to.empty() ? "-" : to.c_str(), d.prop_desc);
  std::string s = line;
  s.erase(s.find_last_not_of(' ') + 1);  // an empty description leaves no trailing blanks
  return s;
}

class TableWriter : public RecordWriter {
 public:
  TableWriter(FILE* out, int max_values) : RecordWriter(out), max_values_(max_values) {}

  void channel(const RowHead& h, const velmor::EqData* data) override {
    header();
    row(h, data_type_name(h.dtype, false),
        data != nullptr ? value_summary(*data, max_values_) : std::string("-"));
  }
  void slow(const RowHead& h, float value, int status) override {
    header();
    row(h, "slow", float_text(value) + " (status " + std::to_string(status) + ")");
  }
  void descriptions(const std::vector<chan_descr_2010*>& list, const ListPeriod& period) override {
    char head[256];
    std::snprintf(head, sizeof head, kDescriptionColumns, "CHANNEL", "TYPE", "COUNT", "MAX_SIZE",
                  "UNITS", "FROM (UTC)", "TO (UTC)", "DESCRIPTION");
    put(head);
    for (const chan_descr_2010* d : list)
      if (d != nullptr) put(description_line(*d, period));
  }

 private:
  void header() {
    if (header_done_) return;
    header_done_ = true;
    char line[256];
    std::snprintf(line, sizeof line, "%-12s %-27s %-32s %-9s %s", "EVENT", "TIME (UTC)", "CHANNEL",
                  "TYPE", "VALUE");
    put(line);
  }
  void row(const RowHead& h, const std::string& type, const std::string& value) {
    char head[512];
    std::snprintf(head, sizeof head, "%-12llu %-27s %-32s %-9s ",
                  static_cast<unsigned long long>(h.event), iso_time(h.seconds, h.micros).c_str(),
                  h.channel.c_str(), type.c_str());
    put(head + value);
  }
  int max_values_;
  bool header_done_ = false;
};

// The texts a channel's line starts with, kept while they repeat: the record's
// part (event and time) and, by position in the record, each channel's part.
// Records carry the same channels in the same order, so a line's head is
// mostly two compares and two appends. Every use checks the whole key.
class HeadCache {
 public:
  // The record part of h; make(h, &text) builds it when h's differs.
  template <typename Make>
  const std::string& record(const RowHead& h, Make make) {
    if (!record_valid_ || h.event != event_ || h.seconds != seconds_ || h.micros != micros_) {
      record_text_.clear();
      make(h, &record_text_);
      event_ = h.event;
      seconds_ = h.seconds;
      micros_ = h.micros;
      record_valid_ = true;
    }
    return record_text_;
  }
  // The channel part of h at the next position of the record.
  template <typename Make>
  const std::string& channel(const RowHead& h, Make make) {
    if (position_ == kPositions) {  // a record this long is told apart by its event alone
      spare_.clear();
      make(h, &spare_);
      return spare_;
    }
    if (position_ == channels_.size()) channels_.emplace_back();
    Channel& c = channels_[position_++];
    if (!c.valid || c.dtype != h.dtype || c.devtype != h.devtype || c.name != h.channel) {
      c.text.clear();
      make(h, &c.text);
      c.name = h.channel;
      c.dtype = h.dtype;
      c.devtype = h.devtype;
      c.valid = true;
    }
    return c.text;
  }
  void next_record() { position_ = 0; }

 private:
  static constexpr size_t kPositions = 4096;
  struct Channel {
    bool valid = false;
    std::string name;
    int dtype = 0, devtype = 0;
    std::string text;
  };
  bool record_valid_ = false;
  uint64_t event_ = 0;
  uint32_t seconds_ = 0, micros_ = 0;
  std::string record_text_;
  std::vector<Channel> channels_;
  size_t position_ = 0;
  std::string spare_;
};

class CsvWriter : public RecordWriter {
 public:
  CsvWriter(FILE* out, int max_values) : RecordWriter(out), max_values_(max_values) {}

  void channel(const RowHead& h, const velmor::EqData* data) override {
    header();
    line_.clear();
    line_ += heads_.record(h, record_head);
    line_ += heads_.channel(h, [](const RowHead& c, std::string* text) {
      channel_head(c, data_type_name(c.dtype, false), text);
    });
    if (data == nullptr) {
      line_ += "0,-,";
      put(line_);
      return;
    }
    values_.clear();
    size_t count = append_value_numbers(values_, *data);
    summary_.clear();
    append_value_summary(summary_, *data, max_values_);
    append_count(count);
    append_csv_field(line_, summary_);
    line_ += ',';
    if (value_numbers_plain(*data)) {
      line_ += values_;
    } else {
      append_csv_field(line_, values_);
    }
    put(line_);
  }
  void slow(const RowHead& h, float value, int status) override {
    header();
    line_.clear();
    record_head(h, &line_);
    channel_head(h, "slow", &line_);
    append_count(1);
    std::string v = float_text(value);
    append_csv_field(line_, v + " (status " + std::to_string(status) + ")");
    line_ += ',';
    append_csv_field(line_, v);
    put(line_);
  }
  void descriptions(const std::vector<chan_descr_2010*>& list, const ListPeriod& period) override {
    put("channel,type,dtype,count,max_size,units,description,subsystem,from,to");
    std::string bounds = "," + period_bound(period.from) + "," + period_bound(period.to);
    for (const chan_descr_2010* d : list) {
      if (d == nullptr) continue;
      put(csv_field(d->prop_name) + "," + description_type(*d) + "," + std::to_string(d->dtype) +
          "," + std::to_string(d->count) + "," + std::to_string(d->max_size) + "," +
          csv_field(d->units) + "," + csv_field(d->prop_desc) + "," + csv_field(d->subsystem) +
          bounds);
    }
  }

 protected:
  void record_ended() override { heads_.next_record(); }

 private:
  // event,time,
  static void record_head(const RowHead& h, std::string* text) {
    *text += std::to_string(h.event);
    *text += ',';
    *text += iso_time(h.seconds, h.micros);
    *text += ',';
  }
  // channel,type,dtype,
  static void channel_head(const RowHead& h, const std::string& type, std::string* text) {
    append_csv_field(*text, h.channel);
    *text += ',';
    *text += type;
    *text += ',';
    *text += std::to_string(h.dtype);
    *text += ',';
  }
  void append_count(size_t count) {
    append_decimal(line_, count);
    line_ += ',';
  }
  void header() {
    if (header_done_) return;
    header_done_ = true;
    put("event,time,channel,type,dtype,count,summary,values");
  }
  int max_values_;
  bool header_done_ = false;
  HeadCache heads_;
  std::string values_, summary_, line_;  // kept, so a line reuses the last one's room
};

class JsonLinesWriter : public RecordWriter {
 public:
  explicit JsonLinesWriter(FILE* out) : RecordWriter(out) {}

  void channel(const RowHead& h, const velmor::EqData* data) override {
    line_.clear();
    line_ += heads_.record(h, record_head);
    line_ += heads_.channel(h, [](const RowHead& c, std::string* text) {
      channel_head(c, data_type_name(c.dtype, false), text);
    });
    if (data != nullptr) {
      append_value_json(line_, *data);
    } else {
      line_ += "null";
    }
    line_ += '}';
    put(line_);
  }
  void slow(const RowHead& h, float value, int status) override {
    line_.clear();
    record_head(h, &line_);
    channel_head(h, "slow", &line_);
    line_ += '{';
    JsonText v(line_);
    v.key("value").real(value);
    v.key("status").integer(status);
    line_ += "}}";
    put(line_);
  }
  void descriptions(const std::vector<chan_descr_2010*>& list, const ListPeriod& period) override {
    std::string from = period_bound(period.from);
    std::string to = period_bound(period.to);
    for (const chan_descr_2010* d : list) {
      if (d == nullptr) continue;
      nlohmann::ordered_json j = {
          {"channel", d->prop_name},
          {"daq_name", d->daq_name},
          {"type", description_type(*d)},
          {"dtype", d->dtype},
          {"count", d->count},
          {"max_size", d->max_size},
          {"units", d->units},
          {"description", d->prop_desc},
          {"subsystem", d->subsystem},
          {"stream", d->stream},
          {"from", from.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(from)},
          {"to", to.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(to)}};
      emit(j);
    }
  }

 private:
 protected:
  void record_ended() override { heads_.next_record(); }

 private:
  // {"event":..,"time":..,"time_sec":..,"time_usec":..
  static void record_head(const RowHead& h, std::string* text) {
    *text += '{';
    JsonText j(*text);
    j.key("event").integer(h.event);
    j.key("time").text(iso_time(h.seconds, h.micros));
    j.key("time_sec").integer(h.seconds);
    j.key("time_usec").integer(h.micros);
  }
  // ,"channel":..,"type":..,"dtype":..,"devtype":..,"value":
  static void channel_head(const RowHead& h, const std::string& type, std::string* text) {
    JsonText j(*text, false);
    j.key("channel").text(h.channel);
    j.key("type").text(type);
    j.key("dtype").integer(h.dtype);
    j.key("devtype").integer(h.devtype);
    j.key("value");
  }
  // Replacement of invalid UTF-8 keeps one bad channel name from failing the run.
  void emit(const nlohmann::ordered_json& j) {
    put(j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace));
  }
  HeadCache heads_;
  std::string line_;  // kept, so a line reuses the last one's room
};

// The records of -f hdf5 take the sink's road; this one only counts their lines.
class NoLines : public RecordWriter {
 public:
  NoLines() : RecordWriter(nullptr) {}
  void channel(const RowHead&, const velmor::EqData*) override {}
  void slow(const RowHead&, float, int) override {}
  void descriptions(const std::vector<chan_descr_2010*>&, const ListPeriod&) override {}
};

}  // namespace

std::unique_ptr<RecordWriter> make_record_writer(OutputFormat format, FILE* out, int max_values) {
  switch (format) {
    case OutputFormat::kHdf5:
      return std::make_unique<NoLines>();
    case OutputFormat::kCsv:
      return std::make_unique<CsvWriter>(out, max_values);
    case OutputFormat::kJsonLines:
      return std::make_unique<JsonLinesWriter>(out);
    case OutputFormat::kTable:
      break;
  }
  return std::make_unique<TableWriter>(out, max_values);
}
