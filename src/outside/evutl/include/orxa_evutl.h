// Decoders of the DAQ event utilities: the data-type table, the inside of channel
// sub-blocks and slow-data blocks (layouts in docs/event-format.md).
//
// Every decoder that takes a sub-head trusts nothing in it: it reads only inside
// [sub-head, sub-head + ldata), needs ldata >= 268, checks counts and sizes before
// use and fails with the value its contract names. The caller guarantees that the
// ldata bytes of the sub-block are readable (the event walk checks ldata against the
// event length). Pointers handed out point into the caller's event buffer and live
// as long as it does. All functions are thread-safe (no state besides the atomic
// format flag).
#ifndef ORXA_EVUTL_H
#define ORXA_EVUTL_H

#include <cstdint>

#include "orxa_event_format.h"
#include "orxa_evutl_export.h"

namespace velmor {
class EqData;
}

// ---------------------------------------------------------------------------
// Data types (the low 16 bits of a type word whose high 16 bits are set, else the
// whole word). ORXA_MULTI_SPECT_A/B and ORXA_UPD_BLOCK_2010 are in orxa_event_format.h.
enum {
  ORXA_DT_EQDATA = 1,     // complete data object
  ORXA_DT_NAMVAL = 2,     // name/value block
  ORXA_DT_IMAGE_EXT = 3,  // image with extended frame head
  ORXA_DT_SPECTRUM = 4,   // one spectrum
  ORXA_DT_GSPECTRUM = 5,  // group spectra, sub-channel count in the block
  ORXA_DT_STAMP = 6       // no payload: the entry keeps time stamp and event number
};

// Structure kind of ORXA_DT_STAMP: any kind the conversion does not dispatch on.
enum { ORXA_DATA_STAMP = 1 };

// Sub-channel counts of the multi-sub-channel spectra.
enum { ORXA_MULTI_SPECT_A_CHANNELS = 130, ORXA_MULTI_SPECT_B_CHANNELS = 4 };

// A word without high bits is below 65536, so its low 16 bits are the whole word:
// one mask serves both forms.
inline int orxa_data_type_of(int32_t type_word) {
  return static_cast<int>(static_cast<uint32_t>(type_word) & 0xFFFFu);
}
inline int orxa_device_type_of(int32_t type_word) {
  uint32_t w = static_cast<uint32_t>(type_word);
  return (w >> 16) != 0 ? static_cast<int>(w >> 16) : static_cast<int>(type_word);
}
// A type word for a data type and a device type (device 0: the bare data type).
inline int32_t orxa_type_word(int data_type, int device_type) {
  return device_type == 0 ? data_type
                          : static_cast<int32_t>((static_cast<uint32_t>(device_type) << 16) |
                                                 (static_cast<uint32_t>(data_type) & 0xFFFFu));
}

// ---------------------------------------------------------------------------
// Records inside sub-blocks and slow-data blocks (layouts in docs/event-format.md).

enum { ORXA_SUBHEAD_SIZE = 268 };

// Head of the complete-data-object region: nbytes of serialised object follow.
struct orxa_eqdata_block_2010 {
  int32_t nbytes;
};

// Head of a spectrum block, followed by nsub descriptors.
struct orxa_spect_block_2010 {
  int32_t nsub;
  uint32_t flags;
};
enum : uint32_t { ORXA_SPECT_HAS_STATISTICS = 1u };

struct orxa_spect_channel_2010 {
  float start;
  float inc;
  int32_t length;  // values per group; the number of values of a spectrum
  int32_t groups;  // groups of a group spectrum (spectra: 1)
  float group_inc;
  int32_t offset;  // bytes from the start of the data region to the first value
};

// Head of an update block, followed by count records.
struct orxa_upd_block_2010 {
  int32_t count;
  int32_t reserved;
};

struct orxa_upd_value_2010 {
  char name[80];  // NUL-terminated within the field
  int32_t status;
  time_stamp time;
  float value;
};

struct orxa_slow_entry_2010 {
  uint32_t event_number;
  time_stamp time;
  int32_t status;
  float value;
  char name[64];
};

struct orxa_slow_entry_2024 {
  uint64_t event_number;
  time_stamp time;
  int32_t status;
  float value;
  char name[64];
};

// Where the entries start after the slow-data header.
enum { ORXA_SLOW_ENTRIES_2010 = 12, ORXA_SLOW_ENTRIES_2024 = 16 };

static_assert(sizeof(orxa_eqdata_block_2010) == 4, "orxa_eqdata_block_2010");
static_assert(sizeof(orxa_spect_block_2010) == 8, "orxa_spect_block_2010");
static_assert(sizeof(orxa_spect_channel_2010) == 24, "orxa_spect_channel_2010");
static_assert(offsetof(orxa_spect_channel_2010, offset) == 20, "orxa_spect_channel_2010");
static_assert(sizeof(orxa_upd_block_2010) == 8, "orxa_upd_block_2010");
static_assert(sizeof(orxa_upd_value_2010) == 96, "orxa_upd_value_2010");
static_assert(offsetof(orxa_upd_value_2010, time) == 84, "orxa_upd_value_2010");
static_assert(offsetof(orxa_upd_value_2010, value) == 92, "orxa_upd_value_2010");
static_assert(sizeof(orxa_slow_entry_2010) == 84, "orxa_slow_entry_2010");
static_assert(offsetof(orxa_slow_entry_2010, name) == 20, "orxa_slow_entry_2010");
static_assert(sizeof(orxa_slow_entry_2024) == 88, "orxa_slow_entry_2024");
static_assert(offsetof(orxa_slow_entry_2024, name) == 24, "orxa_slow_entry_2024");

// ---------------------------------------------------------------------------
// Format switch: 1 selects the 2024 defaults, 0 the legacy ones. It decides the
// layout assumed for a slow-data block of unknown pattern and the generation of
// builders made with ORXA_FORMAT_DEFAULT; nothing else.
ORXA_EVUTL_EXPORT void set_data_format_2024(int on);
ORXA_EVUTL_EXPORT int get_data_format_2024();

// ---------------------------------------------------------------------------
// Data-type table.

// Structure kind of a data type (ORXA_DATA_*); -1 for an unknown type.
ORXA_EVUTL_EXPORT int get_data_structure_type(int dtype);

// Number of sub-channels: fixed by the type, or read from the block for group
// spectra (sub-head needed: -1 when null, 0 when the block is invalid).
// -1 for an unknown type.
ORXA_EVUTL_EXPORT int get_channel_number(int dtype, orxa_serv_block_subhead_2010* sub);

// Name of sub-channel index (static text): "" for the single-channel types,
// null for an unknown type or an index out of range.
ORXA_EVUTL_EXPORT const char* get_chan_name(int dtype, int index);

// ---------------------------------------------------------------------------
// Sub-block decoders.

// Results of orxa_daq_to_eqdata (0 is success).
enum {
  ORXA_EQDATA_BAD_ARGS = -1,
  ORXA_EQDATA_BAD_BLOCK = -2,
  ORXA_EQDATA_BAD_OBJECT = -3,
  ORXA_EQDATA_NO_MEMORY = -4
};

// Decodes a complete-data-object sub-block into a new velmor::EqData (new) stored
// in *out; the caller deletes it. mode is 0 and allocate 1 as the conversion calls
// it; server_block may be null and is not read. On failure nothing is allocated
// and *out is unchanged. With allocate 0 the existing object *out is filled
// instead (left in its init() state when the bytes do not deserialise).
ORXA_EVUTL_EXPORT int orxa_daq_to_eqdata(int mode, char* server_block,
                                         orxa_serv_block_subhead_2010* sub, velmor::EqData** out,
                                         int allocate);
ORXA_EVUTL_EXPORT int orxa_daq_to_eqdata_2024(int mode, char* server_block,
                                              orxa_serv_block_subhead_2010* sub,
                                              velmor::EqData** out, int allocate);

// Address of sub-channel index's first value (spectrum kinds), of the image bytes
// (image, index 0), of the serialised object (kind 0, index 0), of record index
// (name/value and update blocks); null when it does not lie inside the sub-block
// or the type has no data.
ORXA_EVUTL_EXPORT void* get_pointer_to_data_2010(orxa_serv_block_subhead_2010* sub, int index);

// Spectrum parameters of sub-channel index (spectrum and group-spectrum kinds).
// length_or_group_size receives the descriptor's length, groups its group count;
// *stats the start of the statistics table (one entry per sub-channel) or null.
// spare is not used (pass null). Any output pointer may be null.
// Returns false when filled, true on failure (outputs then unchanged).
ORXA_EVUTL_EXPORT bool get_spect_params_for_data_type_2010(orxa_serv_block_subhead_2010* sub,
                                                           float* start, float* inc, void* spare,
                                                           int* length_or_group_size, int* groups,
                                                           float* group_inc,
                                                           orxa_spect_statistics_2010** stats,
                                                           int index);

// Both of the above for one spectrum sub-channel, located once: the descriptor
// into *descr and the statistics table (or null) into *stats; returns the first
// value, or null with the outputs unchanged on any failure either call reports.
// The values lie inside the sub-block: descr->length (times descr->groups for a
// group spectrum) floats. For readers that take every sub-channel of an event.
ORXA_EVUTL_EXPORT float* get_spect_channel_2010(orxa_serv_block_subhead_2010* sub, int index,
                                                orxa_spect_channel_2010* descr,
                                                orxa_spect_statistics_2010** stats);

// Image sub-block: copies the frame head into *frame, points *image_bytes at the
// image data (frame->length bytes) and *frame_in_event (when not null) at the frame
// head inside the event. false on success, true on failure.
ORXA_EVUTL_EXPORT bool get_image_ext_params(orxa_serv_block_subhead_2010* sub,
                                            orxa_image_ext_frame_head* frame,
                                            orxa_image_ext_frame_head** frame_in_event,
                                            unsigned char** image_bytes);

// Number of values of an update block; 0 when the block is invalid (0 is failure).
ORXA_EVUTL_EXPORT int get_number_of_upd_channels_2010(orxa_serv_block_subhead_2010* sub);

// Value index of an update block: name (into the event, NUL-terminated), status,
// time and value. false on success, true on failure (outputs unchanged).
ORXA_EVUTL_EXPORT bool get_update_params(orxa_serv_block_subhead_2010* sub, int index, char** name,
                                         int* status, time_stamp* time, float* value);

// Name/value block of a sub-block (kind 16), or null when its fixed head does not
// fit. *usable receives how many of its ndata records lie inside the sub-block
// (0 for a negative ndata). The records are read in place: a name may be
// unterminated within its 80 characters.
ORXA_EVUTL_EXPORT orxa_name_value_block* get_name_value_block_2010(
    orxa_serv_block_subhead_2010* sub, int* usable);

// ---------------------------------------------------------------------------
// Slow-data blocks. The block must hold data_length readable bytes. An invalid
// block (data_length < 12, entries not fitting, null) gives -1 / 0 as listed.

// data_length, or -1.
ORXA_EVUTL_EXPORT int orxa_slow_block_get_length(orxa_daq_slow_data_header* h);
// channels_number, or -1.
ORXA_EVUTL_EXPORT int orxa_slow_block_get_n_entries(orxa_daq_slow_data_header* h);
// Event number of the first entry: the low 32 bits are returned, the full number
// is stored in *evid_2024 when not null. 0 for an invalid or empty block.
ORXA_EVUTL_EXPORT unsigned int orxa_slow_block_get_first_evid(orxa_daq_slow_data_header* h,
                                                              uint64_t* evid_2024);
// Seconds and microseconds of the first entry; 0 for an invalid or empty block.
ORXA_EVUTL_EXPORT unsigned int orxa_slow_block_get_first_time_s(orxa_daq_slow_data_header* h);
ORXA_EVUTL_EXPORT unsigned int orxa_slow_block_get_first_time_us(orxa_daq_slow_data_header* h);
// Entry index in the generation-neutral form (name always terminated).
// false on success, true on failure.
ORXA_EVUTL_EXPORT bool orxa_slow_block_get_entry(orxa_daq_slow_data_header* h, int index,
                                                 orxa_slow_entry_2024* entry);

#endif
