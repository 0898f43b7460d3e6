// Converting one DAQ event into a cache record, once for both generations.
//
// The record is either new (added at the end) or, in a full list, the one that
// `how` selects, reused in place with its position, flags and entries. Sub-blocks
// are walked by their ldata, bounded by the event's own event_length: a sub-block
// that does not lie wholly inside the event (or whose ldata is below the sub-head
// size) stops the walk with a message, and what was converted before it stays.
// ldata need not be padded, so a sub-head may lie at any address: everything in
// the event is read with memcpy. A new record abandoned on a failure, or refused
// by AddRecord, is released here.
//
// Drops are counted on the store: an event that gets no record (any failure
// result) once, and a sub-block once when its channel was lost in whole or in
// part; the sub-blocks a broken walk leaves unread count as many as the rest of
// the event could hold, at least one.
#ifndef DAQ_CACHE_EVENT_CONVERSION_H
#define DAQ_CACHE_EVENT_CONVERSION_H

#include <cstdint>

#include "cache_alloc.h"
#include "channel_target.h"
#include "conversion_result.h"
#include "daq_diag.h"
#include "record_for_conversion.h"
#include "sub_block.h"
#include "sub_block_objects.h"
#include "sub_block_spectra.h"
#include "sub_block_values.h"

template <class Gen>
struct EventConversion {
  using Record = typename Gen::Record;
  using Header = typename Gen::Header;

  static int convert(DAQEqEvstore& s, Header* evhd, char* buf, int how) {
    if (evhd == nullptr) return CONV_BAD_INPUT;
    int result = no_memory_on_throw([&] { return convert_event(s, evhd, buf, how); });
    if (result != CONV_OK) s.dropped_events.fetch_add(1, std::memory_order_relaxed);
    return result;
  }

 private:
  static int convert_event(DAQEqEvstore& s, Header* evhd, char* buf, int how) {
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
                  const EventStamp& stamp) {
    uint64_t off = Gen::kServerHeadSize;
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
      SubBlock b = read_sub_block(data + off, ldata);
      bool lost = false;
      int r = convert_sub_block(s, rec, b, stamp, data, &lost);
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

  // *lost: the sub-block's channel (or some of its values) did not reach the record.
  static int convert_sub_block(EqEvstore& s, Record* rec, const SubBlock& b,
                               const EventStamp& stamp, char* server_block, bool* lost) {
    if (b.data_type == ORXA_UPD_BLOCK_2010) {
      // An update block makes entries for its values only, none for itself.
      if (get_data_structure_type(ORXA_UPD_BLOCK_2010) != ORXA_DATA_SLOW) {
        *lost = true;
        return CONV_OK;
      }
      return convert_update_block<Gen>(s, rec, b, stamp, nullptr, lost);
    }
    eq_evstore_entry* e = Gen::find_channel(s, rec, const_cast<char*>(b.name));
    if (e != nullptr) {
      // A channel seen again (in this event or in a reused record) keeps its data
      // object, which is overwritten without a reset.
      e->data->dtype = b.data_type;
      e->data->devtype = b.device_type;
    } else {
      e = make_channel_entry(b.name, b.data_type, b.device_type);
      if (e == nullptr || !cache_append_entry(rec->entry, e)) {
        daq_line("daq_data_to_cache() Failed to allocate EqData_dtype");
        return CONV_NO_MEMORY;
      }
    }
    ChannelTarget<Gen> target(s, rec, e);
    target.data()->time(static_cast<long>(stamp.time.timeup), static_cast<int>(stamp.time.timelow));
    target.data()->mpnum(static_cast<long>(stamp.number));

    int r = dispatch(s, rec, b, stamp, server_block, target, lost);
    if (target.lost()) *lost = true;
    return r;
  }

  static int dispatch(EqEvstore& s, Record* rec, const SubBlock& b, const EventStamp& stamp,
                      char* server_block, ChannelTarget<Gen>& target, bool* lost) {
    int kind = get_data_structure_type(b.data_type);
    if (kind < 0) {
      // An unknown type repeats in every event of its channel: counted, not printed.
      target.take_out();
      return CONV_OK;
    }
    switch (kind) {
      case ORXA_DATA_SLOW:
        return convert_update_block<Gen>(s, rec, b, stamp, &target, lost);
      case ORXA_DATA_NAMVAL:
        convert_name_value_block(target, b, stamp);
        return CONV_OK;
      case ORXA_DATA_SPECTRUM:
        convert_spectrum(target, b, stamp);
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

#endif
