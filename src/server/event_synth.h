// Synthetic events and slow-data blocks for a planned request: one sub-block per
// event channel with data plausible for its kind, varying with the pulse. The
// size functions below compute what event() builds, so that a catalog or a
// request whose events the data link cannot carry is refused before a stream.
#ifndef DAQ_SERVER_EVENT_SYNTH_H
#define DAQ_SERVER_EVENT_SYNTH_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "channel_catalog.h"
#include "orxa_event_builder.h"
#include "velmor.h"

// Bytes of the channel's sub-block in an event (sub-head and padding included);
// 0 for slow channels, which travel in slow-data blocks.
uint64_t synth_block_bytes(const CatalogChannel& channel);
// Bytes of one event carrying these channels (header, server block, tail included).
uint64_t synth_event_bytes(bool gen_2024, const std::vector<const CatalogChannel*>& channels);

class EventSynth {
 public:
  EventSynth(bool gen_2024, std::vector<const CatalogChannel*> event_channels,
             std::vector<const CatalogChannel*> slow_channels, const char* server_name);

  // The event of one pulse, or null when the builder failed. Valid until the next call.
  const char* event(uint64_t event_number, time_stamp time, size_t* length);
  // A correct frame whose server block claims one sub-block more than it holds
  // and whose last sub-head's ldata points past the event's end.
  const char* malformed_event(uint64_t event_number, time_stamp time, size_t* length);
  // The slow-data block of one second (null when there are no slow channels).
  const char* slow_block(uint64_t event_number, time_stamp time, size_t* length);
  // The end-of-stream header: event number -3 with its tail.
  const char* end_of_stream(time_stamp time, size_t* length);

  bool has_slow_channels() const { return !slow_channels_.empty(); }

 private:
  bool add_channel(const CatalogChannel& c, uint64_t event_number, time_stamp time);
  void fill_samples(const CatalogChannel& c, size_t blocks, uint64_t event_number, float scale);

  bool gen_2024_;
  std::vector<const CatalogChannel*> event_channels_;
  std::vector<const CatalogChannel*> slow_channels_;
  const char* server_name_;
  OrxaEventBuilder builder_;
  OrxaSlowBlockBuilder slow_builder_;
  std::vector<float> values_;
  std::vector<unsigned char> pixels_;
  std::vector<orxa_spect_input> subs_;
  std::vector<orxa_spect_statistics_2010> stats_;
  std::vector<orxa_name_value_channel> names_;
  std::vector<orxa_upd_value_2010> updates_;
  std::vector<char> scratch_;
  velmor::EqData object_;
};

#endif
