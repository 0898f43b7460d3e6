// The monitor loop of daqget, one body for both receiver generations: take the
// earliest record out of the cache as soon as it is there, write it, and end
// when the receiver thread has ended and the cache is empty.
//
// get_monitor hands out the channels' values but not their names, so the loop
// reads the names of the record it is about to take under the cache lock first
// and checks that get_monitor took that same record (only this loop removes
// records, the receiver thread only appends).
#ifndef DAQGET_RECEIVE_LOOP_H
#define DAQGET_RECEIVE_LOOP_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "daq_generation.h"
#include "orxa_evutl.h"
#include "progress_bar.h"
#include "query_release.h"
#include "record_writer.h"
#include "velmor.h"

struct ReceiveTally {
  long events = 0;  // event records written (slow-data records not counted)
  long slow_blocks = 0;
  long rows = 0;
  bool interrupted = false;
  bool output_failed = false;
};

// What was learnt of the record that get_monitor is about to deliver.
template <class Record>
struct RecordPeek {
  const Record* record = nullptr;
  RowHead head;
  std::vector<std::string> names;
};

template <class G>
RecordPeek<typename G::Record> peek_earliest(typename G::Receiver& receiver) {
  RecordPeek<typename G::Record> peek;
  DAQEqEvstore* cache = receiver.get_cache();
  cache->lock();
  const typename G::Record* rec = G::first(*cache, EQCACHE_FIND_TIME);
  if (rec != nullptr) {
    peek.record = rec;
    peek.head.event = rec->event_number;
    peek.head.seconds = rec->time.timeup;
    peek.head.micros = rec->time.timelow;
    for (const eq_evstore_entry* e : rec->entry) {
      if (e != nullptr) peek.names.emplace_back(e->name, strnlen(e->name, sizeof e->name));
    }
  }
  cache->unlock();
  return peek;
}

// A name when the record's own was not learnt: what the value itself carries.
inline std::string name_from_value(const velmor::EqData& d) {
  if (d.type() == velmor::DATA_IMAGE) return d.get_image_comm();
  const velmor::SpectrumElement* s = d.get_spectrum(0);
  return s != nullptr ? s->comment : std::string("?");
}

inline void write_slow_block(orxa_daq_slow_data_header* block, RecordWriter& writer,
                             ReceiveTally* tally) {
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

template <class G>
void write_record(const RecordPeek<typename G::Record>& peek, bool same_record,
                  const std::vector<EqData_dtype*>& values, RecordWriter& writer,
                  ReceiveTally* tally) {
  bool slow_record = !values.empty() && values[0]->slblock != nullptr;
  for (size_t i = 0; i < values.size(); ++i) {
    const EqData_dtype* v = values[i];
    if (v->slblock != nullptr) {
      write_slow_block(v->slblock, writer, tally);
      continue;
    }
    RowHead h = peek.head;
    if (!same_record && v->data != nullptr) {
      h.event = static_cast<uint64_t>(v->data->get_mpnum());
      h.seconds = static_cast<uint32_t>(v->data->get_time_seconds());
      h.micros = static_cast<uint32_t>(v->data->get_time_microseconds());
    }
    if (same_record && i < peek.names.size() && values.size() == peek.names.size()) {
      h.channel = peek.names[i];
    } else {
      h.channel = v->data != nullptr ? name_from_value(*v->data) : "?";
    }
    h.dtype = v->dtype;
    h.devtype = v->devtype;
    writer.channel(h, v->data);
    ++tally->rows;
  }
  if (slow_record) {
    ++tally->slow_blocks;
  } else {
    ++tally->events;
  }
  writer.end_record();
}

// Runs until the stream has ended and every record is written, the output
// fails, or stop is set.
template <class G>
ReceiveTally receive_records(typename G::Receiver& receiver, RecordWriter& writer,
                             ProgressBar& progress, const std::atomic<bool>& stop) {
  ReceiveTally tally;
  int idle_us = 0;
  for (;;) {
    if (stop.load()) {
      tally.interrupted = true;
      break;
    }
    RecordPeek<typename G::Record> peek = peek_earliest<G>(receiver);
    std::vector<EqData_dtype*>* out = nullptr;
    typename G::Record* taken = nullptr;
    int rc = receiver.get_monitor(&out, nullptr, &taken);
    if (out != nullptr) {
      write_record<G>(peek, taken != nullptr && taken == peek.record, *out, writer, &tally);
      release_query_result(out);
      progress.update(tally.events);
      idle_us = 0;
      if (writer.failed()) {
        tally.output_failed = true;
        break;
      }
      continue;
    }
    if ((rc & DAQ_MON_NO_MORE) != 0) break;
    // Nothing yet: back off up to 5 ms, short enough to keep up with a fast stream.
    idle_us = idle_us < 5000 ? idle_us + 250 : 5000;
    std::this_thread::sleep_for(std::chrono::microseconds(idle_us));
  }
  progress.done(tally.events);
  return tally;
}

#endif
