// Sub-blocks that carry lists of named values: the update block (one entry per
// named value, made on first sight) and the name/value block (all values as
// elements of the channel's own entry, at most 128).
#ifndef DAQ_CACHE_SUB_BLOCK_VALUES_H
#define DAQ_CACHE_SUB_BLOCK_VALUES_H

#include <cstring>
#include <string>

#include "cache_alloc.h"
#include "channel_target.h"
#include "conversion_result.h"
#include "daq_diag.h"
#include "daq_text.h"
#include "sub_block.h"
#include "velmor.h"

enum { MAX_ELEMENTS_PER_CHANNEL = 128, MAX_LABEL_CHARS = 256 };

// A new entry with a zeroed dtype record and a reset data object; null when any
// of the three allocations fails (nothing is left allocated then).
eq_evstore_entry* make_channel_entry(const char* name, int data_type, int device_type);

// *lost: some of the block's values did not reach the record.
template <class Gen>
int convert_update_block(EqEvstore& store, typename Gen::Record* rec, const SubBlock& b,
                         const EventStamp& stamp, ChannelTarget<Gen>* own, bool* lost) {
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
    eq_evstore_entry* e = Gen::find_channel(store, rec, name);
    if (e == nullptr) {
      e = make_channel_entry(name, b.data_type, b.device_type);
      if (e == nullptr || !cache_append_entry(rec->entry, e)) {
        daq_line("daq_data_to_cache() Failed to allocate EqData_dtype for UPD");
        return CONV_NO_MEMORY;
      }
    }
    velmor::EqData* d = e->data->data;
    d->init();
    e->data->dtype = b.data_type;
    e->data->devtype = b.device_type;
    text.assign(name);
    // The setter fails only when memory runs out: the value is lost, not the event.
    if (d->set(static_cast<int>(stamp.low32()), value, static_cast<float>(status),
               static_cast<long>(time.timeup), text, 0))
      *lost = true;
  }
  return CONV_OK;
}

template <class Gen>
void convert_name_value_block(ChannelTarget<Gen>& target, const SubBlock& b,
                              const EventStamp& stamp) {
  velmor::EqData* d = target.data();
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

#endif
