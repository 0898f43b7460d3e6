// Fetch a time range of a few channels and print every record.
//
//   fetch_range SERVER-ENTRY START STOP CHANNEL...
//   fetch_range LUMAR.DAQ/DAQ.SERVER1/DAQ.DATA.SVR/ 2025-03-01T10:00:00
//               2025-03-01T10:00:10 DIAG/TOROID/T1.SPECT SLOW/TEMP/T1   (one line)
//
// An empty SERVER-ENTRY ("") uses ORXA_DAQ_SERVERS or the LUMAR list. Times
// without a zone are read in the experiment's zone (ORXA_EXP_TIMEZONE, default
// CET); a trailing Z or +hh:mm gives UTC or that offset.
//
// The fetch runs the whole road (handshake, receiver of the announced
// generation, a broken stream asked again) and hands over each record in
// event order; the values belong to it once the callback returns.
#include <cinttypes>
#include <cstdio>
#include <string>

#include "daq_fetch.h"
#include "daq_time_text.h"
#include "velmor.h"

namespace {

void print(const DaqFetchRecord& r) {
  std::printf("event %" PRIu64 "  time %u.%06u%s\n", r.event, r.seconds, r.micros,
              r.slow ? "  (slow data)" : "");
  for (size_t i = 0; i < r.values->size(); ++i) {
    const EqData_dtype* v = (*r.values)[i];
    const char* name = i < r.names.size() ? r.names[i].c_str() : "?";
    if (v->slblock != nullptr) {
      std::printf("  %s: slow-data block of %u values\n", name, v->slblock->channels_number);
      continue;
    }
    const velmor::EqData* d = v->data;
    std::printf("  %s: data type %d", name, v->dtype);
    const velmor::SpectrumElement* s = d != nullptr ? d->get_spectrum(0) : nullptr;
    if (s != nullptr) {
      std::printf(", %zu values, first %g", s->data.size(), s->data.empty() ? 0.0 : s->data[0]);
    } else if (d != nullptr && d->get_image_header() != nullptr) {
      std::printf(", image %dx%d", d->get_image_header()->width, d->get_image_header()->height);
    } else if (d != nullptr && d->value_count() > 0) {
      std::printf(", %d values, first %g", d->value_count(), d->get_double(0));
    }
    std::printf("\n");
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: %s SERVER-ENTRY START STOP CHANNEL...\n", argv[0]);
    return 2;
  }
  DaqFetchRequest q;
  q.servers = argv[1];
  std::string why;
  if (daq_read_time_text(argv[2], &q.start_sec, &why) ||
      daq_read_time_text(argv[3], &q.stop_sec, &why)) {
    std::fprintf(stderr, "bad time: %s\n", why.c_str());
    return 2;
  }
  for (int i = 4; i < argc; ++i) q.channels.push_back(argv[i]);

  DaqFetch fetch(q);
  int rc = fetch.run([](DaqFetchRecord& r) {
    print(r);
    return true;
  });
  DaqFetchCounters c = fetch.counters();
  std::printf("%" PRIu64 " records, %" PRIu64 " reconnects\n", c.records_delivered, c.reconnects);
  if (rc != DAQ_FETCH_OK) {
    std::fprintf(stderr, "fetch failed: %s\n", fetch.error().c_str());
    return 1;
  }
  return 0;
}
