// Encoders of the DAQ event stream: events of either generation with any sequence
// of sub-blocks, and slow-data blocks (layouts in docs/event-format.md). Servers use
// them to produce the stream and tests to make input for the decoders, which read
// back exactly what these write.
//
// A builder owns its buffer; the pointer finish() returns stays valid until the
// next begin()/clear() or the builder's destruction. A failing add_* (sizes that do
// not fit the 32-bit fields, bad arguments, memory) returns true and marks the
// event failed: finish() then returns null until the next begin(). No call throws.
// A builder is used by one thread at a time.
#ifndef ORXA_EVENT_BUILDER_H
#define ORXA_EVENT_BUILDER_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "orxa_event_format.h"
#include "orxa_evutl.h"
#include "orxa_evutl_export.h"

namespace velmor {
class EqData;
}

// Generation of what a builder writes. DEFAULT follows set_data_format_2024 at
// the builder's construction.
enum { ORXA_FORMAT_DEFAULT = -1, ORXA_FORMAT_LEGACY = 0, ORXA_FORMAT_2024 = 1 };

// One sub-channel of a spectrum sub-block.
struct orxa_spect_input {
  float start;
  float inc;
  int32_t length;  // values per group; the number of values of a spectrum
  int32_t groups;  // group spectra; spectra: ignored (written as 1)
  float group_inc;
  const float* values;  // length (spectra) or length x groups (group spectra) values
  const orxa_spect_statistics_2010* statistics;  // optional; written when any sub-channel has one
};

class ORXA_EVUTL_EXPORT OrxaEventBuilder {
 public:
  explicit OrxaEventBuilder(int format = ORXA_FORMAT_DEFAULT);

  bool is_2024() const { return gen_2024_; }

  // Starts a new event; an unfinished one is discarded. The legacy generation keeps
  // the low 32 bits of event_number. server (null: "") is cut to 255 characters.
  void begin(uint64_t event_number, time_stamp time, uint32_t event_type = ORXA_EV_HB,
             const char* server = "");

  // Sub-blocks. chname (null: "") is cut to 255 characters; type_word is written as
  // given (see orxa_type_word) so that tests can also write mismatching types.
  bool add_data_object(const char* chname, int32_t type_word, const velmor::EqData& object,
                       int32_t error = 0);
  bool add_serialized_object(const char* chname, int32_t type_word, const void* bytes,
                             size_t nbytes, int32_t error = 0);
  bool add_name_value(const char* chname, int32_t type_word, int32_t id, const char* comment,
                      const orxa_name_value_channel* values, int count, int32_t error = 0);
  // head.length image bytes are taken from bytes.
  bool add_image(const char* chname, int32_t type_word, const orxa_image_ext_frame_head& head,
                 const unsigned char* bytes, int32_t error = 0);
  // Spectrum block; group_form selects length x groups values per sub-channel
  // (group spectra) instead of length (spectra).
  bool add_spectra(const char* chname, int32_t type_word, const orxa_spect_input* subs, int nsub,
                   bool group_form, int32_t error = 0);
  bool add_update(const char* chname, int32_t type_word, const orxa_upd_value_2010* values,
                  int count, int32_t error = 0);
  // Sub-block without data (time-stamp-only types).
  bool add_stamp(const char* chname, int32_t type_word, int32_t error = 0);
  // A data region exactly as given (padded), for payloads of any kind.
  bool add_raw(const char* chname, int32_t type_word, const void* data, size_t nbytes,
               int32_t error = 0);

  // Writes ltotal, nchan, event_length and the tail; returns the event (header
  // first) and its byte count, or null when the event failed or was not begun.
  const char* finish(size_t* length);

 private:
  bool add_block(const char* chname, int32_t type_word, int32_t error, size_t region_bytes,
                 char** region);
  bool fail();

  bool gen_2024_;
  bool begun_ = false;
  bool failed_ = false;
  bool finished_ = false;
  int32_t nchan_ = 0;
  std::vector<char> buf_;
};

class ORXA_EVUTL_EXPORT OrxaSlowBlockBuilder {
 public:
  explicit OrxaSlowBlockBuilder(int format = ORXA_FORMAT_DEFAULT);

  bool is_2024() const { return gen_2024_; }

  // Drops every entry.
  void clear();
  // Appends an entry; name (null: "") is cut to 63 characters. The legacy
  // generation keeps the low 32 bits of event_number. true on failure.
  bool add(const char* name, uint64_t event_number, time_stamp time, float value,
           int32_t status = 0);
  // The block (orxa_daq_slow_data_header first) and its byte count; null on failure.
  const char* finish(size_t* length);

 private:
  bool gen_2024_;
  bool failed_ = false;
  uint32_t count_ = 0;
  std::vector<char> buf_;
};

#endif
