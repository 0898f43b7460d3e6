// Each writer flushes after every record's lines, so a reader at the other end
// of a pipe sees records as they arrive, and a write error is seen at once.
#include "record_writer.h"

#include <nlohmann/json.hpp>

#include <ctime>

#include "daq_server_util_def.h"
#include "json_text.h"
#include "orxa_chan_descr.h"
#include "value_format.h"
#include "velmor.h"

void RecordWriter::end_record() {
  if (out_ != nullptr && std::fflush(out_) != 0) failed_ = true;
}

bool RecordWriter::finish() {
  if (out_ != nullptr && (std::fflush(out_) != 0 || std::ferror(out_) != 0)) failed_ = true;
  return failed_;
}

void RecordWriter::put(const std::string& line) {
  if (failed_) return;
  if (std::fwrite(line.data(), 1, line.size(), out_) != line.size() ||
      std::fputc('\n', out_) == EOF)
    failed_ = true;
}

void RecordWriter::put_built(std::string& line) {
  if (failed_) return;
  line += '\n';
  if (std::fwrite(line.data(), 1, line.size(), out_) != line.size()) failed_ = true;
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

class CsvWriter : public RecordWriter {
 public:
  CsvWriter(FILE* out, int max_values) : RecordWriter(out), max_values_(max_values) {}

  void channel(const RowHead& h, const velmor::EqData* data) override {
    values_.clear();
    size_t count = data != nullptr ? append_value_numbers(values_, *data) : 0;
    std::string summary = data != nullptr ? value_summary(*data, max_values_) : "-";
    row(h, data_type_name(h.dtype, false), count, summary, values_);
  }
  void slow(const RowHead& h, float value, int status) override {
    row(h, "slow", 1, float_text(value) + " (status " + std::to_string(status) + ")",
        float_text(value));
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

 private:
  void row(const RowHead& h, const std::string& type, size_t count, const std::string& summary,
           const std::string& values) {
    if (!header_done_) {
      header_done_ = true;
      put("event,time,channel,type,dtype,count,summary,values");
    }
    line_.clear();
    line_ += std::to_string(h.event);
    line_ += ',';
    line_ += iso_time(h.seconds, h.micros);
    line_ += ',';
    append_csv_field(line_, h.channel);
    line_ += ',';
    line_ += type;
    line_ += ',';
    line_ += std::to_string(h.dtype);
    line_ += ',';
    line_ += std::to_string(count);
    line_ += ',';
    append_csv_field(line_, summary);
    line_ += ',';
    append_csv_field(line_, values);
    put_built(line_);
  }
  int max_values_;
  bool header_done_ = false;
  std::string values_, line_;  // kept, so a line reuses the last one's room
};

class JsonLinesWriter : public RecordWriter {
 public:
  explicit JsonLinesWriter(FILE* out) : RecordWriter(out) {}

  void channel(const RowHead& h, const velmor::EqData* data) override {
    head(h, data_type_name(h.dtype, false));
    if (data != nullptr) {
      append_value_json(line_, *data);
    } else {
      line_ += "null";
    }
    line_ += '}';
    put_built(line_);
  }
  void slow(const RowHead& h, float value, int status) override {
    head(h, "slow");
    line_ += '{';
    JsonText v(line_);
    v.key("value").real(value);
    v.key("status").integer(status);
    line_ += "}}";
    put_built(line_);
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
  // Starts the line: the head's members, then the key of the value.
  void head(const RowHead& h, const std::string& type) {
    line_.clear();
    line_ += '{';
    JsonText j(line_);
    j.key("event").integer(h.event);
    j.key("time").text(iso_time(h.seconds, h.micros));
    j.key("time_sec").integer(h.seconds);
    j.key("time_usec").integer(h.micros);
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
