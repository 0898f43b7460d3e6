// DAQEqEvstore: converting one DAQ event into a cache record, once for both
// generations: the walk over the channel sub-blocks, and one procedure per kind of
// sub-block (update and name/value blocks, spectra, group spectra, images,
// complete data objects).
//
// The record is either new (added at the end) or, in a full list, the one that
// `how` selects, reused in place with its position, flags and entries. Sub-blocks
// are walked by their ldata, bounded by the event's own event_length: a sub-block
// that does not lie wholly inside the event (or whose ldata is below the sub-head
// size) stops the walk with a message, and what was converted before it stays.
// ldata need not be padded, so a sub-head may lie at any address: everything in
// the event is read with memcpy. A new record abandoned on a failure, or refused
// by AddRecord, is released here. The caller holds the cache lock throughout.
//
// Drops are counted on the store: an event that gets no record (any failure
// result) once, and a sub-block once when its channel was lost in whole or in
// part; the sub-blocks a broken walk leaves unread count as many as the rest of
// the event could hold, at least one. Relaxed atomics: each count is a statistic
// of its own, read while the receiver thread converts.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "cache_alloc.h"
#include "daq_diag.h"
#include "daq_generation.h"
#include "daq_text.h"
#include "record_navigation.h"
#include "record_store.h"
#include "velmor.h"

namespace {

// One channel sub-block as the conversion sees it, read out of the event once:
// the walk has checked that [head, end) lies inside the event. The channel name
// is read where it lies when it ends inside its field; only a hostile one that
// fills all 256 bytes is cut into `cut`. Fields are read with memcpy: a sub-head
// is only as aligned as the producer made it. Not copyable: name may point into
// the object itself.

struct SubBlock {
  orxa_serv_block_subhead_2010* head;
  const char* end;   // head + ldata
  const char* name;  // terminated, at most 255 characters
  std::size_t name_length;
  int data_type;
  int device_type;
  int32_t error;
  bool is_guess;  // the name is that of the entry the walk guessed
  char cut[EQ_EVSTORE_NAME_SIZE];

  SubBlock() = default;
  SubBlock(const SubBlock&) = delete;
  SubBlock& operator=(const SubBlock&) = delete;
};

inline int32_t read_i32(const char* p) {
  int32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

constexpr std::size_t kNameField = sizeof orxa_serv_block_subhead_2010::chname;
static_assert(kNameField == EQ_EVSTORE_NAME_SIZE && kNameField <= ORXA_SUBHEAD_SIZE &&
                  offsetof(orxa_serv_block_subhead_2010, chname) == 0,
              "a sub-head starts with a name field as wide as an entry's");
static_assert(kNameField % 8 == 0, "the name is compared in whole words, none past the field");
constexpr std::size_t kNotSame = static_cast<std::size_t>(-1);

// The length of the name in `field` when it is the same as `known` (a terminated
// name in a field of the same width), else kNotSame. Eight bytes at a time: a
// channel mostly comes where it was in the record, and this takes the place of a
// length scan and a comparison.
inline std::size_t same_name_length(const char* field, const char* known) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  constexpr uint64_t kOnes = 0x0101010101010101ull, kHighs = 0x8080808080808080ull;
  for (std::size_t at = 0; at < kNameField; at += 8) {
    uint64_t f, k;
    std::memcpy(&f, field + at, sizeof f);
    std::memcpy(&k, known + at, sizeof k);
    // The lowest flagged byte is known's first NUL.
    uint64_t nul = (k - kOnes) & ~k & kHighs;
    if (nul != 0) {
      unsigned through = static_cast<unsigned>(__builtin_ctzll(nul)) + 1;
      uint64_t mask = through == 64 ? ~uint64_t{0} : (uint64_t{1} << through) - 1;
      return ((f ^ k) & mask) == 0 ? at + through / 8 - 1 : kNotSame;
    }
    if (f != k) return kNotSame;
  }
#else
  (void)field;
  (void)known;
#endif
  return kNotSame;
}

// guess: the name of the entry the walk expects this channel in, or null.
inline void read_sub_block(char* head, int32_t ldata, const char* guess, SubBlock* b) {
  b->head = reinterpret_cast<orxa_serv_block_subhead_2010*>(head);
  b->end = head + ldata;
  constexpr std::size_t kField = kNameField;
  static_assert(kField <= sizeof b->cut, "a whole name field fits the cut copy");
  // An empty name is never found, so it is never the guess.
  std::size_t same = guess != nullptr ? same_name_length(head, guess) : kNotSame;
  b->is_guess = same != kNotSame && same != 0;
  b->name_length = b->is_guess ? same : ::strnlen(head, kField);
  if (b->name_length < kField) {
    b->name = head;  // chname is the first field
  } else {
    b->name_length = sizeof b->cut - 1;
    std::memcpy(b->cut, head, b->name_length);
    b->cut[b->name_length] = '\0';
    b->name = b->cut;
  }
  int32_t word = read_i32(head + offsetof(orxa_serv_block_subhead_2010, dtype));
  b->data_type = orxa_data_type_of(word);
  b->device_type = orxa_device_type_of(word);
  b->error = read_i32(head + offsetof(orxa_serv_block_subhead_2010, error));
}

// True when count values of type T starting at p lie inside the sub-block.
template <class T>
bool lies_inside(const void* p, long long count, const SubBlock& b) {
  if (p == nullptr || count < 0) return false;
  const char* begin = static_cast<const char*>(p);
  if (begin < reinterpret_cast<const char*>(b.head) || begin > b.end) return false;
  return count <= static_cast<long long>((b.end - begin) / static_cast<long long>(sizeof(T)));
}

// What the event library says of a data type, asked once per type and event:
// the sub-blocks of a stream mostly share a few types, and the answers depend on
// the type alone (the channel count of a group spectrum is read from its block
// and is not kept here).
class TypeFacts {
 public:
  int kind(int data_type) {
    if (!has_kind_ || data_type != kind_type_) {
      kind_ = get_data_structure_type(data_type);
      kind_type_ = data_type;
      has_kind_ = true;
    }
    return kind_;
  }
  int channels(int data_type) {
    if (!has_channels_ || data_type != channels_type_) {
      channels_ = get_channel_number(data_type, nullptr);
      channels_type_ = data_type;
      has_channels_ = true;
    }
    return channels_;
  }

 private:
  int kind_type_ = 0, kind_ = 0, channels_type_ = 0, channels_ = 0;
  bool has_kind_ = false, has_channels_ = false;
};

// The time and number that every entry of one event receives.
struct EventStamp {
  time_stamp time;
  uint64_t number;  // full width; the legacy generation fills the low 32 bits
  uint32_t low32() const { return static_cast<uint32_t>(number); }
  unsigned short low16() const { return static_cast<unsigned short>(number); }
  unsigned short millis() const { return static_cast<unsigned short>(time.timelow / 1000); }
};

// The entry that one sub-block writes into, and what happens when a procedure
// takes it out of the record: RemEntry releases the entry and its type record at
// once, but a multi-sub-channel procedure may still write its remaining
// sub-channels into the value object, so that object is kept here and released
// when the sub-block is done. Taking out twice does nothing the second time.
// lost() tells the walk whether any of the sub-block failed to reach the record.

template <class Gen>
class ChannelTarget {
 public:
  using Record = typename Gen::Record;

  ChannelTarget(Record* rec, eq_evstore_entry* entry)
      : rec_(rec), entry_(entry), value_(entry ? entry->data->data : nullptr) {}
  ~ChannelTarget() { delete orphan_; }
  ChannelTarget(const ChannelTarget&) = delete;
  ChannelTarget& operator=(const ChannelTarget&) = delete;

  velmor::EqData* value() const { return value_; }
  bool lost() const { return lost_; }
  // Part of the sub-block (one sub-channel) is missing while the entry stays.
  void mark_lost() { lost_ = true; }

  void take_out() {
    lost_ = true;
    if (entry_ == nullptr) return;
    RecordStore<Gen>::remove_entry(rec_, entry_);
    entry_ = nullptr;
    orphan_ = value_;
  }

 private:
  Record* rec_;
  eq_evstore_entry* entry_;
  velmor::EqData* value_;
  velmor::EqData* orphan_ = nullptr;
  bool lost_ = false;
};

// A new entry with a zeroed type record and an empty value object. The three are
// allocated together and released together when any of them fails: null then.
// name_length: the name's length when known (at most 255), else npos.
eq_evstore_entry* make_channel_entry(const char* name, int data_type, int device_type,
                                     std::size_t name_length = std::string::npos) {
  eq_evstore_entry* e = cache_new<eq_evstore_entry>();
  EqData_dtype* type_record = cache_new<EqData_dtype>();
  velmor::EqData* value = cache_new<velmor::EqData>();
  if (e == nullptr || type_record == nullptr || value == nullptr) {
    delete e;
    delete type_record;
    delete value;
    return nullptr;
  }
  if (name_length < sizeof e->name) {
    std::memcpy(e->name, name, name_length);
    e->name[name_length] = '\0';
  } else {
    copy_text(e->name, name);
  }
  // A new value object is already empty: init() would only clear it again.
  type_record->data = value;
  type_record->dtype = data_type;
  type_record->devtype = device_type;
  e->data = type_record;
  return e;
}

// Sub-blocks that carry lists of named values: the update block (one entry per
// named value, made on first sight) and the name/value block (all values as
// elements of the channel's own entry, at most 128).

enum { MAX_ELEMENTS_PER_CHANNEL = 128, MAX_LABEL_CHARS = 256 };

// *lost: some of the block's values did not reach the record.
template <class Gen>
int convert_update_block(typename Gen::Record* rec, const SubBlock& b, const EventStamp& stamp,
                         ChannelTarget<Gen>* own, bool* lost) {
  int n = get_number_of_upd_channels_2010(b.head);
  if (n == 0) {
    daq_line("daq_data_to_cache() Failed to get number of UPD channels");
    if (own != nullptr) own->take_out();
    *lost = true;
    return CONV_OK;
  }
  if (n < 0) {
    daq_print("daq_data_to_cache() update block of %s has a negative value count %d, skipping\n",
              shown(b.name).text, n);
    *lost = true;
    return CONV_OK;
  }
  std::string text;  // one buffer for every value's name, not one allocation per value
  for (int i = 0; i < n; ++i) {
    char* name = nullptr;
    int status = 0;
    time_stamp time{0, 0};
    float value = 0;
    if (get_update_params(b.head, i, &name, &status, &time, &value) || name == nullptr) {
      daq_print("daq_data_to_cache() Failed to get parameters for UPD index:%d\n", i);
      *lost = true;
      continue;
    }
    eq_evstore_entry* e = Navigation<Gen>::channel(rec, name);
    if (e == nullptr) {
      e = make_channel_entry(name, b.data_type, b.device_type);
      if (e == nullptr || !cache_append_entry(rec->entry, e)) {
        daq_line("daq_data_to_cache() Failed to allocate EqData_dtype for UPD");
        return CONV_NO_MEMORY;
      }
    }
    EqData_dtype* type_record = e->data;
    velmor::EqData* value_object = type_record->data;
    value_object->init();
    type_record->dtype = b.data_type;
    type_record->devtype = b.device_type;
    text.assign(name);
    // The setter fails only when memory runs out: the value is lost, not the event.
    if (value_object->set(static_cast<int>(stamp.low32()), value, static_cast<float>(status),
                          static_cast<long>(time.timeup), text, 0))
      *lost = true;
  }
  return CONV_OK;
}

template <class Gen>
void convert_name_value_block(ChannelTarget<Gen>& target, const SubBlock& b,
                              const EventStamp& stamp) {
  velmor::EqData* d = target.value();
  d->set_type(velmor::DATA_A_USTR);
  int usable = 0;
  orxa_name_value_block* block = get_name_value_block_2010(b.head, &usable);
  if (block == nullptr) {
    daq_print("daq_data_to_cache() name/value block of %s does not fit its sub-block, skipping\n",
              shown(b.name).text);
    target.take_out();
    return;
  }
  const char* records = reinterpret_cast<const char*>(block) + ORXA_NAME_VALUE_BLOCK_HEAD;
  int ndata =
      read_i32(reinterpret_cast<const char*>(block) + offsetof(orxa_name_value_block, ndata));
  if (usable < ndata && usable < MAX_ELEMENTS_PER_CHANNEL)
    daq_print("daq_data_to_cache() name/value block of %s holds %d of its %d values\n",
              shown(b.name).text, usable, ndata);
  std::string label;  // reused by every value of the block
  for (int j = 0; j < usable && j < MAX_ELEMENTS_PER_CHANNEL; ++j) {
    const char* rec = records + static_cast<std::size_t>(j) * sizeof(orxa_name_value_channel);
    char name[sizeof(orxa_name_value_channel::name)];
    copy_text(name, rec);  // an unterminated name is read as its first 79 characters
    float value;
    std::memcpy(&value, rec + offsetof(orxa_name_value_channel, value), sizeof value);
    label.assign(b.name);
    label += name[0] != '\0' ? ":" : ":UNKNOWN";
    label += name;
    if (label.size() > MAX_LABEL_CHARS) label.resize(MAX_LABEL_CHARS);
    if (d->set(static_cast<int>(stamp.low32()), value, static_cast<float>(b.error),
               static_cast<long>(stamp.time.timeup), label, j))
      target.mark_lost();
  }
}

// Spectrum sub-blocks: one spectrum per channel, one per sub-channel for the
// multi-sub-channel types, and group spectra. The value arrays are handed to the
// value object where they lie in the event (the setter copies them), after a check
// that the whole array lies inside the sub-block.

// Room for "<channel>_<sub-channel>"; longer comments are cut to fit.
enum { SPECTRUM_COMMENT_SIZE = 256, SHORT_COMMENT_CHARS = 79 };

// "<channel>_<sub-channel>", cut to fit the buffer.
inline void sub_channel_comment(char (&out)[SPECTRUM_COMMENT_SIZE], const char* channel,
                                const char* sub_name) {
  copy_text(out, channel);
  std::size_t n = std::strlen(out);
  if (n + 1 >= sizeof out) return;
  out[n] = '_';
  copy_text(out + n + 1, sizeof out - n - 1, sub_name != nullptr ? sub_name : "");
}

inline bool is_multi_spectrum(int data_type) {
  return data_type == ORXA_MULTI_SPECT_A || data_type == ORXA_MULTI_SPECT_B;
}

// The values of a located sub-channel when all count of them lie inside the sub-block.
inline float* spectrum_values(const SubBlock& b, float* p, long long count) {
  return lies_inside<float>(p, count, b) ? p : nullptr;
}

inline void report_bad_parameters(const SubBlock& b) {
  daq_print("daq_data_to_cache() Failed to get spectrum parameters for %s skipping\n",
            shown(b.name).text);
}
inline void report_bad_data(const char* comment) {
  daq_print("daq_data_to_cache() Failed to obtain pointer to data for %s !!!skipping\n",
            shown(comment).text);
}

// A comment of at most the first 79 characters of the channel name. The name is
// used where it lies when it is short enough (the setter copies it); only a
// longer one is cut into `room`. Returns the text and sets its length.
inline const char* short_comment(const SubBlock& b, char (&room)[SHORT_COMMENT_CHARS + 1],
                                 std::size_t* length) {
  if (b.name_length <= SHORT_COMMENT_CHARS) {
    *length = b.name_length;
    return b.name;
  }
  copy_text(room, b.name);
  *length = SHORT_COMMENT_CHARS;
  return room;
}

// Stores spectrum index of the channel: header fields from the event, the values
// where they lie in the event (the setter copies them). comment_chars is the
// comment's length without the NUL. True when the setter could not store it
// (memory ran out).
inline bool store_spectrum(velmor::EqData* d, const EventStamp& stamp, const char* comment,
                           std::size_t comment_chars, float start, float inc, float* values,
                           long long count, int index) {
  velmor::SPECTRUM s{};
  // The record's field is not const; the setter only reads it.
  s.comment.comment_val = const_cast<char*>(comment);
  s.comment.comment_len = static_cast<uint32_t>(comment_chars + 1);
  s.tm = static_cast<time_t>(stamp.time.timeup);
  s.s_start = start;
  s.s_inc = inc;
  s.status = stamp.low32();
  s.d_spect_array.d_spect_array_len = static_cast<uint32_t>(count);
  s.d_spect_array.d_spect_array_val = values;
  return d->set_ts_spect(stamp.time.timeup, stamp.millis(), stamp.low16(), &s, index);
}

template <class Gen>
void convert_single_spectrum(ChannelTarget<Gen>& target, const SubBlock& b, const EventStamp& stamp,
                             int nsub) {
  // Located once for the parameters and the values.
  orxa_spect_channel_2010 d;
  float* located = get_spect_channel_2010(b.head, 0, &d, nullptr);
  if (located == nullptr) {
    report_bad_parameters(b);
    target.take_out();
    return;
  }
  char room[SHORT_COMMENT_CHARS + 1];
  std::size_t comment_chars = 0;
  const char* comment = short_comment(b, room, &comment_chars);
  long long count = static_cast<long long>(nsub) * d.length;
  float* values = spectrum_values(b, located, count);
  if (values == nullptr) {
    report_bad_data(comment);
    target.take_out();
    return;
  }
  if (store_spectrum(target.value(), stamp, comment, comment_chars, d.start, d.inc, values, count,
                     0))
    target.mark_lost();
}

template <class Gen>
void convert_multi_spectrum(ChannelTarget<Gen>& target, const SubBlock& b, const EventStamp& stamp,
                            int nsub) {
  if (nsub > MAX_ELEMENTS_PER_CHANNEL)
    daq_line("daq_data_to_cache() WARNING not all subchannels will be put !!!");
  for (int j = 0; j < nsub && j < MAX_ELEMENTS_PER_CHANNEL; ++j) {
    const char* sub_name = get_chan_name(b.data_type, j);
    char comment[SPECTRUM_COMMENT_SIZE];
    sub_channel_comment(comment, b.name, sub_name);
    orxa_spect_channel_2010 d;
    float* located = get_spect_channel_2010(b.head, j, &d, nullptr);
    if (located == nullptr) {
      report_bad_parameters(b);
      target.take_out();
      continue;
    }
    float* values = nullptr;
    if (d.length != 0) {
      values = spectrum_values(b, located, d.length);
      if (values == nullptr) {
        report_bad_data(comment);
        target.mark_lost();
        continue;
      }
    }
    if (store_spectrum(target.value(), stamp, comment, std::strlen(comment), d.start, d.inc, values,
                       d.length, j))
      target.mark_lost();
  }
}

template <class Gen>
void convert_spectrum(ChannelTarget<Gen>& target, const SubBlock& b, const EventStamp& stamp,
                      TypeFacts& facts) {
  target.value()->set_type(velmor::DATA_A_TS_SPECTRUM);
  int nsub = facts.channels(b.data_type);
  if (is_multi_spectrum(b.data_type))
    convert_multi_spectrum(target, b, stamp, nsub);
  else
    convert_single_spectrum(target, b, stamp, nsub);
}

template <class Gen>
void convert_group_spectrum(ChannelTarget<Gen>& target, const SubBlock& b,
                            const EventStamp& stamp) {
  velmor::EqData* d = target.value();
  d->set_type(velmor::DATA_A_TS_GSPECTRUM);
  int nsub = get_channel_number(b.data_type, b.head);
  d->length(nsub);
  char room[SHORT_COMMENT_CHARS + 1];
  std::size_t comment_chars = 0;
  const char* comment = short_comment(b, room, &comment_chars);
  // Statistics are left as the previous sub-channel set them when a block has none.
  velmor::GSPECTRUM g{};
  for (int j = 0; j < nsub && j < MAX_ELEMENTS_PER_CHANNEL; ++j) {
    orxa_spect_channel_2010 descr;
    orxa_spect_statistics_2010* stats = nullptr;
    float* located = get_spect_channel_2010(b.head, j, &descr, &stats);
    if (located == nullptr) {
      report_bad_parameters(b);
      target.take_out();
      continue;
    }
    const float start = descr.start, inc = descr.inc, group_inc = descr.group_inc;
    const int group_size = descr.length, groups = descr.groups;
    long long count = static_cast<long long>(group_size) * groups;
    float* values = spectrum_values(b, located, count);
    if (values == nullptr) {
      report_bad_data(comment);
      target.take_out();
      continue;
    }
    g.comment.comment_val = const_cast<char*>(comment);
    g.comment.comment_len = static_cast<uint32_t>(comment_chars + 1);
    g.id = stamp.low32();
    g.tm = static_cast<time_t>(stamp.time.timeup);
    g.s_start = start;
    g.s_inc = inc;
    g.status = stamp.low32();
    g.groups = groups;
    g.group_size = group_size;
    g.group_inc = group_inc;
    g.d_gspect_array.d_gspect_array_len = static_cast<uint32_t>(count);
    g.d_gspect_array.d_gspect_array_val = values;
    if (stats != nullptr && lies_inside<orxa_spect_statistics_2010>(stats, j + 1LL, b)) {
      const char* entry =
          reinterpret_cast<const char*>(stats) + static_cast<std::size_t>(j) * sizeof *stats;
      std::memcpy(&g.stat_mask, entry + offsetof(orxa_spect_statistics_2010, mask),
                  sizeof g.stat_mask);
      const char* vals = entry + offsetof(orxa_spect_statistics_2010, val);
      // The 32 values fill statistics then timing_param, bit for bit.
      std::memcpy(g.statistics, vals, sizeof g.statistics);
      std::memcpy(g.timing_param, vals + sizeof g.statistics, sizeof g.timing_param);
    }
    if (d->set_ts_gspect(stamp.time.timeup, stamp.millis(), stamp.low16(), &g, j))
      target.mark_lost();
  }
}

// Sub-blocks that carry one whole object: an image with its extended frame head,
// and a complete control-system data object serialised by the producer.

static_assert(sizeof(velmor::IMH) == sizeof(orxa_image_ext_frame_head), "the frame head is an IMH");

template <class Gen>
void convert_image(ChannelTarget<Gen>& target, const SubBlock& b) {
  velmor::EqData* d = target.value();
  d->set_type(velmor::DATA_IMAGE);
  orxa_image_ext_frame_head frame{};
  orxa_image_ext_frame_head* frame_in_event = nullptr;
  unsigned char* bytes = nullptr;
  if (get_image_ext_params(b.head, &frame, &frame_in_event, &bytes) ||
      !lies_inside<unsigned char>(bytes, frame.length, b)) {
    daq_print("daq_data_to_cache() Failed to get image_ext parameters for %s skipping error: %d\n",
              shown(b.name).text, 1);
    target.take_out();
    return;
  }
  velmor::IMH header;
  std::memcpy(&header, &frame, sizeof header);
  if (d->set_image(bytes, frame.length, &header, velmor::no)) target.mark_lost();
  d->set_image_comm(b.name);
}

// A failed decode aborts the whole event: the caller returns CONV_BAD_INPUT.
template <class Gen>
int convert_data_object(ChannelTarget<Gen>& target, const SubBlock& b, char* server_block) {
  velmor::EqData* decoded = nullptr;
  int r = Gen::decode_object(server_block, b.head, &decoded);
  if (r != 0) {
    Gen::report_decode_failure(r);
    return CONV_BAD_INPUT;
  }
  if (target.value()->copy_from(decoded)) target.mark_lost();  // memory ran out
  delete decoded;
  return CONV_OK;
}

template <class Gen>
struct EventConversion {
  using Record = typename Gen::Record;
  using Header = typename Gen::Header;

  static int convert(DAQEqEvstore& s, Header* evhd, char* buf, int how) REQUIRES(cache_mutex(s)) {
    if (evhd == nullptr) return CONV_BAD_INPUT;
    int result;
    try {
      result = convert_event(s, evhd, buf, how);
    } catch (const std::bad_alloc&) {
      result = conversion_out_of_memory();
    }
    if (result != CONV_OK) s.dropped_events.fetch_add(1, std::memory_order_relaxed);
    return result;
  }

 private:
  static int convert_event(DAQEqEvstore& s, Header* evhd, char* buf, int how)
      REQUIRES(cache_mutex(s)) {
    EventStamp stamp{evhd->event_time, evhd->event_number};
    bool convertible = evhd->event_type == ORXA_EV_HB;
    // Lengths are checked before a record is taken, so a refused event leaves a
    // reusable record untouched.
    const int64_t headers = static_cast<int64_t>(sizeof(Header) + Gen::kServerHeadSize);
    int64_t length = Gen::event_length(*evhd);
    if (convertible && length < headers) {
      daq_print(
          "daq_data_to_cache() event %llu: event_length %lld is shorter than its headers (%lld), "
          "refused\n",
          static_cast<unsigned long long>(stamp.number), static_cast<long long>(length),
          static_cast<long long>(headers));
      return CONV_BAD_INPUT;
    }
    // Only a convertible event is known to hold a server block head.
    char* data = buf != nullptr ? buf : reinterpret_cast<char*>(evhd) + sizeof(Header);
    int32_t nchan = convertible ? read_i32(data + Gen::kNchanOffset) : 0;
    if (nchan < 0) {
      daq_print("daq_data_to_cache() event %llu: channel count %d is negative, refused\n",
                static_cast<unsigned long long>(stamp.number), nchan);
      return CONV_BAD_INPUT;
    }

    RecordForConversion<Gen> slot(s, how, Gen::report_full_cache);
    if (slot.result != CONV_OK) return slot.result;
    Record* rec = slot.rec;
    rec->time = stamp.time;
    rec->event_number = evhd->event_number;

    int result = CONV_OK;
    if (!convertible) {
      daq_line("Uknonwn Event Type");
    } else {
      result = walk(s, rec, data, nchan,
                    static_cast<uint64_t>(length - static_cast<int64_t>(sizeof(Header))), stamp);
    }
    if (!slot.finish(s, result) && result == CONV_OK) {
      daq_print("daq_data_to_cache() event %llu: the cache refused its record\n",
                static_cast<unsigned long long>(stamp.number));
      result = CONV_FULL;
    }
    return result;
  }

  // data_len: the bytes of the event from the server block head to the event's end.
  static int walk(DAQEqEvstore& s, Record* rec, char* data, int32_t nchan, uint64_t data_len,
                  const EventStamp& stamp) REQUIRES(cache_mutex(s)) {
    uint64_t off = Gen::kServerHeadSize;
    std::size_t hint = 0;
    TypeFacts facts;
    for (int32_t i = 0; i < nchan; ++i) {
      if (data_len - off < ORXA_SUBHEAD_SIZE) {
        daq_print(
            "daq_data_to_cache() event %llu: sub-block %d runs past the end of the event, rest "
            "skipped\n",
            static_cast<unsigned long long>(stamp.number), i);
        count_unread(s, nchan - i, data_len - off);
        return CONV_OK;
      }
      int32_t ldata = read_i32(data + off + offsetof(orxa_serv_block_subhead_2010, ldata));
      if (ldata < ORXA_SUBHEAD_SIZE || static_cast<uint64_t>(ldata) > data_len - off) {
        daq_print(
            "daq_data_to_cache() event %llu: sub-block %d has a bad length %d, rest skipped\n",
            static_cast<unsigned long long>(stamp.number), i, ldata);
        count_unread(s, nchan - i, data_len - off);
        return CONV_OK;
      }
      SubBlock b;
      read_sub_block(data + off, ldata, hint < rec->entry.size() ? rec->entry[hint]->name : nullptr,
                     &b);
      bool lost = false;
      int r = convert_sub_block(rec, b, stamp, data, &hint, facts, &lost);
      if (r != CONV_OK) return r;
      if (lost) s.dropped_sub_blocks.fetch_add(1, std::memory_order_relaxed);
      off += static_cast<uint64_t>(ldata);
    }
    return CONV_OK;
  }

  // A count in the server head is not trusted beyond what the event could hold.
  static void count_unread(DAQEqEvstore& s, int32_t claimed, uint64_t bytes_left) {
    uint64_t could_hold = bytes_left / ORXA_SUBHEAD_SIZE;
    if (could_hold < 1) could_hold = 1;
    uint64_t n =
        static_cast<uint64_t>(claimed) < could_hold ? static_cast<uint64_t>(claimed) : could_hold;
    s.dropped_sub_blocks.fetch_add(n, std::memory_order_relaxed);
  }

  // The entry of b's channel, or null. A record reused for the same stream holds
  // its channels in the order the sub-blocks come, so the entry after the previous
  // sub-block's (*hint) is compared while the sub-block is read, before the scan.
  // Names of entries in a record are unique (an entry is made only when the lookup
  // finds none), and an empty name is never found, so the guess finds exactly what
  // the scan would. *hint moves past the entry found.
  static eq_evstore_entry* find_channel(Record* rec, const SubBlock& b, std::size_t* hint) {
    if (b.is_guess) return rec->entry[(*hint)++];
    int pos = Navigation<Gen>::entry_position(rec, b.name);
    if (pos < 0) return nullptr;
    *hint = static_cast<std::size_t>(pos) + 1;
    return rec->entry[static_cast<std::size_t>(pos)];
  }

  // *lost: the sub-block's channel (or some of its values) did not reach the record.
  static int convert_sub_block(Record* rec, const SubBlock& b, const EventStamp& stamp,
                               char* server_block, std::size_t* hint, TypeFacts& facts,
                               bool* lost) {
    if (b.data_type == ORXA_UPD_BLOCK_2010) {
      // An update block makes entries for its values only, none for itself.
      if (get_data_structure_type(ORXA_UPD_BLOCK_2010) != ORXA_DATA_SLOW) {
        *lost = true;
        return CONV_OK;
      }
      return convert_update_block<Gen>(rec, b, stamp, nullptr, lost);
    }
    eq_evstore_entry* e = find_channel(rec, b, hint);
    if (e != nullptr) {
      // A channel seen again (in this event or in a reused record) keeps its value
      // object, which is overwritten without a reset.
      e->data->dtype = b.data_type;
      e->data->devtype = b.device_type;
    } else {
      e = make_channel_entry(b.name, b.data_type, b.device_type, b.name_length);
      if (e == nullptr || !cache_append_entry(rec->entry, e)) {
        daq_line("daq_data_to_cache() Failed to allocate EqData_dtype");
        return CONV_NO_MEMORY;
      }
      *hint = rec->entry.size();
    }
    ChannelTarget<Gen> target(rec, e);
    target.value()->time(static_cast<long>(stamp.time.timeup),
                         static_cast<int>(stamp.time.timelow));
    target.value()->mpnum(static_cast<long>(stamp.number));

    int r = dispatch(rec, b, stamp, server_block, target, facts, lost);
    if (target.lost()) *lost = true;
    return r;
  }

  static int dispatch(Record* rec, const SubBlock& b, const EventStamp& stamp, char* server_block,
                      ChannelTarget<Gen>& target, TypeFacts& facts, bool* lost) {
    int kind = facts.kind(b.data_type);
    if (kind < 0) {
      // An unknown type repeats in every event of its channel: counted, not printed.
      target.take_out();
      return CONV_OK;
    }
    switch (kind) {
      case ORXA_DATA_SLOW:
        return convert_update_block<Gen>(rec, b, stamp, &target, lost);
      case ORXA_DATA_NAMVAL:
        convert_name_value_block(target, b, stamp);
        return CONV_OK;
      case ORXA_DATA_SPECTRUM:
        convert_spectrum(target, b, stamp, facts);
        return CONV_OK;
      case ORXA_DATA_GSPECTRUM:
        convert_group_spectrum(target, b, stamp);
        return CONV_OK;
      case ORXA_DATA_IMAGE:
        convert_image(target, b);
        return CONV_OK;
      case ORXA_DATA_EQDATA:
        return convert_data_object(target, b, server_block);
      default:
        return CONV_OK;  // the entry keeps its time stamp and event number only
    }
  }
};

}  // namespace

int DAQEqEvstore::daq_data_to_cache(orxa_eventheader* evhd, char* buf, int how) {
  CacheLockScope held(*this, false);
  return EventConversion<LegacyGen>::convert(*this, evhd, buf, how);
}

int DAQEqEvstore::daq_data_to_cache(orxa_eventheader_2024* evhd, char* buf, int how) {
  CacheLockScope held(*this, false);
  return EventConversion<Gen2024>::convert(*this, evhd, buf, how);
}

uint64_t DAQEqEvstore::get_dropped_events() {
  return dropped_events.load(std::memory_order_relaxed);
}

uint64_t DAQEqEvstore::get_dropped_sub_blocks() {
  return dropped_sub_blocks.load(std::memory_order_relaxed);
}

void DAQEqEvstore::reset_dropped_counts() {
  dropped_events.store(0, std::memory_order_relaxed);
  dropped_sub_blocks.store(0, std::memory_order_relaxed);
}
