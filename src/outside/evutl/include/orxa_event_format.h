// Byte layout of the DAQ event stream: event headers and tails of both generations,
// server block heads, the channel sub-head and the records inside sub-blocks, the
// slow-data block header and the channel-entry records. Fields are in host byte
// order as the data link hands them over; sizes and offsets are fixed by the
// stream and checked below, so any compiler change that moves a field fails the build.
#ifndef ORXA_EVENT_FORMAT_H
#define ORXA_EVENT_FORMAT_H

#include <cstddef>
#include <cstdint>

#ifndef TIME_STAMP_DEFINED
#define TIME_STAMP_DEFINED
// Seconds since the epoch and microseconds.
struct time_stamp {
  uint32_t timeup;
  uint32_t timelow;
};
#endif

enum ORXA_EVTYPE : uint32_t {
  ORXA_EV_HB = 0,
  ORXA_EV_NORMAL = 1,
  ORXA_EV_BOR = 2,
  ORXA_EV_EOR = 3,
  ORXA_EV_ENV = 4,
  ORXA_EV_UPD = 5,
  ORXA_EV_IMAGE = 6,
  ORXA_EV_WS = 7,
  ORXA_EV_MCP = 8,
  ORXA_EV_WSS = 9,
  ORXA_EV_BL1 = 10,
  ORXA_EV_BL2 = 11,
  ORXA_EV_BL3 = 12,
  ORXA_EV_PG0 = 13,
  ORXA_EV_PG1 = 14,
  ORXA_EV_PG2 = 15,
  ORXA_EV_GMD = 16,
  ORXA_EV_PHOTEN = 17,
  ORXA_EV_PHOTWL = 18,
  ORXA_EV_BEAM_ENERGY = 19,
  ORXA_EV_LLRF_ML = 20,
  ORXA_EV_BEAM_ENERGY_BYPASS = 21,
  ORXA_EV_SPECTR_1 = 22,
  ORXA_EV_SPECTR_2 = 23,
  ORXA_EV_SPECTR_3 = 24,
  ORXA_EV_SPECTR_4 = 25,
  ORXA_EV_SPECTR_5 = 26,
  ORXA_EV_TOROID_ML = 27,
  ORXA_EV_28 = 28,
  ORXA_EV_29 = 29,
  ORXA_EV_30 = 30,
  ORXA_EV_31 = 31,
  ORXA_EV_EVMAX = 32
};

// Structure kinds that get_data_structure_type reports for a DAQ data type.
enum {
  ORXA_DATA_EQDATA = 0,
  ORXA_DATA_NAMVAL = 16,
  ORXA_DATA_IMAGE = 22,
  ORXA_DATA_IMAGE_EXT = 22,
  ORXA_DATA_SLOW = 103,
  ORXA_DATA_SPECTRUM = 1013,
  ORXA_DATA_GSPECTRUM = 1015
};

// Data types that the conversion tests directly in a sub-head's type word.
enum { ORXA_UPD_BLOCK_2010 = 33, ORXA_MULTI_SPECT_A = 25, ORXA_MULTI_SPECT_B = 26 };

// Patterns that open a message on the data link.
enum : uint32_t {
  ORXA_EVENT_PATTERN = 0xFFEEFFEEu,       // legacy event header
  ORXA_EVENT_PATTERN_2024 = 0xFFCCFFCCu,  // 2024 event header
  ORXA_SLOW_PATTERN = 0xFFEEFFCCu,        // legacy slow-data block
  ORXA_SLOW_PATTERN_2024 = 0xFFEEFFFFu    // 2024 slow-data block
};

// Pattern of a 2024 server block head.
constexpr uint64_t ORXA_SERV_BLOCK_PATTERN_2024 = 0xFFEEFFEEFFCCFFCCull;

struct orxa_eventheader {
  uint32_t pattern;
  uint32_t event_length;
  uint32_t event_number;
  uint32_t event_type;
  time_stamp event_time;
  int32_t tmask;
  int32_t status;
  int32_t num_svr_block;
};

struct orxa_eventheader_2024 {
  uint32_t pattern;
  uint32_t event_type;
  int64_t event_length;
  uint64_t event_number;
  time_stamp event_time;
  int32_t tmask;
  int32_t status;
  int32_t num_svr_block;
  int32_t padding;
};

struct orxa_eventtail {
  uint32_t event_length;
};

struct orxa_eventtail_2024 {
  uint64_t event_length;
};

struct orxa_serv_block_head_2010 {
  time_stamp time;
  int32_t ltotal;
  int32_t mpulse;
  char server[256];
  int32_t tmask;
  int32_t status;
  int32_t nchan;
};

struct orxa_serv_block_head_2024 {
  uint64_t pattern;
  int64_t ltotal;
  int64_t mpulse;
  time_stamp time;
  char server[256];
  int32_t tmask;
  int32_t status;
  int32_t nchan;
  int32_t padding;
};

// Channel sub-head, the same in both generations. ldata counts from the start of
// this head to the start of the next one, head included.
struct orxa_serv_block_subhead_2010 {
  char chname[256];
  int32_t dtype;
  int32_t error;
  int32_t ldata;
};

struct orxa_name_value_channel {
  char name[80];
  float value;
};

struct orxa_name_value_block {
  int32_t id;
  char comment[80];
  int32_t ndata;
  orxa_name_value_channel data[1];  // ndata records follow from here
};

// Size of the fixed part of a name/value block, before its first record.
enum { ORXA_NAME_VALUE_BLOCK_HEAD = 88 };

struct orxa_spect_statistics_2010 {
  uint32_t mask;
  float val[32];
};

struct orxa_image_ext_frame_head {
  int32_t width;
  int32_t height;
  int32_t aoi_width;
  int32_t aoi_height;
  int32_t x_start;
  int32_t y_start;
  int32_t bpp;
  int32_t ebitpp;
  int32_t hbin;
  int32_t vbin;
  int32_t source_format;
  int32_t image_format;
  uint32_t frame;
  uint32_t event;
  float scale_x;
  float scale_y;
  float image_rotation;
  float fspare2;
  float fspare3;
  float fspare4;
  int32_t image_flags;
  int32_t ispare2;
  int32_t ispare3;
  int32_t ispare4;
  int32_t length;
};

struct orxa_daq_slow_data_header {
  uint32_t pattern;
  uint32_t data_length;  // whole block, header included
  uint32_t channels_number;
};

struct orxa_time_id {
  uint32_t event_number;
  time_stamp time;
};

struct orxa_event_chan_ptr_long_entry {
  uint64_t evhd;
  uint64_t sbhd;
  uint64_t chhd;
  uint64_t data;
};

struct orxa_channel_entry_long {
  orxa_time_id event_id;
  uint32_t padding;
  orxa_event_chan_ptr_long_entry sbchdata[8];
};

static_assert(sizeof(time_stamp) == 8, "time_stamp");
static_assert(sizeof(orxa_eventheader) == 36, "orxa_eventheader");
static_assert(offsetof(orxa_eventheader, event_number) == 8, "orxa_eventheader");
static_assert(offsetof(orxa_eventheader, event_type) == 12, "orxa_eventheader");
static_assert(offsetof(orxa_eventheader, event_time) == 16, "orxa_eventheader");
static_assert(offsetof(orxa_eventheader, tmask) == 24, "orxa_eventheader");
static_assert(offsetof(orxa_eventheader, num_svr_block) == 32, "orxa_eventheader");
static_assert(sizeof(orxa_eventheader_2024) == 48, "orxa_eventheader_2024");
static_assert(offsetof(orxa_eventheader_2024, event_type) == 4, "orxa_eventheader_2024");
static_assert(offsetof(orxa_eventheader_2024, event_length) == 8, "orxa_eventheader_2024");
static_assert(offsetof(orxa_eventheader_2024, event_number) == 16, "orxa_eventheader_2024");
static_assert(offsetof(orxa_eventheader_2024, event_time) == 24, "orxa_eventheader_2024");
static_assert(offsetof(orxa_eventheader_2024, tmask) == 32, "orxa_eventheader_2024");
static_assert(offsetof(orxa_eventheader_2024, num_svr_block) == 40, "orxa_eventheader_2024");
static_assert(sizeof(orxa_eventtail) == 4, "orxa_eventtail");
static_assert(sizeof(orxa_eventtail_2024) == 8, "orxa_eventtail_2024");
static_assert(sizeof(orxa_serv_block_head_2010) == 284, "orxa_serv_block_head_2010");
static_assert(offsetof(orxa_serv_block_head_2010, ltotal) == 8, "orxa_serv_block_head_2010");
static_assert(offsetof(orxa_serv_block_head_2010, server) == 16, "orxa_serv_block_head_2010");
static_assert(offsetof(orxa_serv_block_head_2010, tmask) == 272, "orxa_serv_block_head_2010");
static_assert(offsetof(orxa_serv_block_head_2010, nchan) == 280, "orxa_serv_block_head_2010");
static_assert(sizeof(orxa_serv_block_head_2024) == 304, "orxa_serv_block_head_2024");
static_assert(offsetof(orxa_serv_block_head_2024, ltotal) == 8, "orxa_serv_block_head_2024");
static_assert(offsetof(orxa_serv_block_head_2024, mpulse) == 16, "orxa_serv_block_head_2024");
static_assert(offsetof(orxa_serv_block_head_2024, time) == 24, "orxa_serv_block_head_2024");
static_assert(offsetof(orxa_serv_block_head_2024, server) == 32, "orxa_serv_block_head_2024");
static_assert(offsetof(orxa_serv_block_head_2024, tmask) == 288, "orxa_serv_block_head_2024");
static_assert(offsetof(orxa_serv_block_head_2024, nchan) == 296, "orxa_serv_block_head_2024");
static_assert(sizeof(orxa_serv_block_subhead_2010) == 268, "orxa_serv_block_subhead_2010");
static_assert(offsetof(orxa_serv_block_subhead_2010, dtype) == 256, "orxa_serv_block_subhead_2010");
static_assert(offsetof(orxa_serv_block_subhead_2010, error) == 260, "orxa_serv_block_subhead_2010");
static_assert(offsetof(orxa_serv_block_subhead_2010, ldata) == 264, "orxa_serv_block_subhead_2010");
static_assert(sizeof(orxa_name_value_channel) == 84, "orxa_name_value_channel");
static_assert(offsetof(orxa_name_value_block, comment) == 4, "orxa_name_value_block");
static_assert(offsetof(orxa_name_value_block, ndata) == 84, "orxa_name_value_block");
static_assert(offsetof(orxa_name_value_block, data) == ORXA_NAME_VALUE_BLOCK_HEAD,
              "orxa_name_value_block");
static_assert(sizeof(orxa_spect_statistics_2010) == 132, "orxa_spect_statistics_2010");
static_assert(sizeof(orxa_image_ext_frame_head) == 100, "orxa_image_ext_frame_head");
static_assert(offsetof(orxa_image_ext_frame_head, frame) == 48, "orxa_image_ext_frame_head");
static_assert(offsetof(orxa_image_ext_frame_head, scale_x) == 56, "orxa_image_ext_frame_head");
static_assert(offsetof(orxa_image_ext_frame_head, image_flags) == 80, "orxa_image_ext_frame_head");
static_assert(offsetof(orxa_image_ext_frame_head, length) == 96, "orxa_image_ext_frame_head");
static_assert(sizeof(orxa_daq_slow_data_header) == 12, "orxa_daq_slow_data_header");
static_assert(sizeof(orxa_time_id) == 12, "orxa_time_id");
static_assert(sizeof(orxa_event_chan_ptr_long_entry) == 32, "orxa_event_chan_ptr_long_entry");
static_assert(offsetof(orxa_channel_entry_long, sbchdata) == 16, "orxa_channel_entry_long");
static_assert(sizeof(orxa_channel_entry_long) == 272, "orxa_channel_entry_long");

#endif
