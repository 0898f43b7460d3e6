// A slow-data block carries its own event numbers, times and names per value,
// so its lines take those rather than the record's head.
#include "fetched_record.h"

#include <string>

#include "orxa_evutl.h"
#include "velmor.h"

namespace {

// A name when the record has none for a value: what the value itself carries.
std::string name_from_value(const velmor::EqData& d) {
  if (d.type() == velmor::DATA_IMAGE) return d.get_image_comm();
  const velmor::SpectrumElement* s = d.get_spectrum(0);
  return s != nullptr ? s->comment : std::string("?");
}

void write_slow_block(orxa_daq_slow_data_header* block, RecordWriter& writer, RecordTally* tally) {
  int n = orxa_slow_block_get_n_entries(block);
  for (int i = 0; i < n; ++i) {
    orxa_slow_entry_2024 entry{};
    if (orxa_slow_block_get_entry(block, i, &entry)) continue;
    RowHead h;
    h.event = entry.event_number;
    h.seconds = entry.time.timeup;
    h.micros = entry.time.timelow;
    h.channel = entry.name;
    h.dtype = h.devtype = 33;
    writer.slow(h, entry.value, entry.status);
    ++tally->rows;
  }
}

}  // namespace

std::string fetched_channel_name(const DaqFetchRecord& record, size_t i) {
  const std::vector<EqData_dtype*>& values = *record.values;
  if (values.size() == record.names.size()) return record.names[i];
  return values[i]->data != nullptr ? name_from_value(*values[i]->data) : "?";
}

void write_fetched_record(const DaqFetchRecord& record, RecordWriter& writer, RecordTally* tally) {
  const std::vector<EqData_dtype*>& values = *record.values;
  for (size_t i = 0; i < values.size(); ++i) {
    const EqData_dtype* v = values[i];
    if (v == nullptr) continue;
    if (v->slblock != nullptr) {
      write_slow_block(v->slblock, writer, tally);
      continue;
    }
    RowHead h;
    h.event = record.event;
    h.seconds = record.seconds;
    h.micros = record.micros;
    h.channel = fetched_channel_name(record, i);
    h.dtype = v->dtype;
    h.devtype = v->devtype;
    writer.channel(h, v->data);
    ++tally->rows;
  }
  if (record.slow) {
    ++tally->slow_blocks;
  } else {
    ++tally->events;
  }
  writer.end_record();
}
