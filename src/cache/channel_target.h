// The entry that one sub-block writes into, and what happens when a procedure
// takes it out of the record: RemEntry releases the entry and its dtype record at
// once, but a multi-sub-channel procedure may still write its remaining
// sub-channels into the data object, so that object is kept here and released
// when the sub-block is done. Taking out twice does nothing the second time.
// lost() tells the walk whether any of the sub-block failed to reach the record.
#ifndef DAQ_CACHE_CHANNEL_TARGET_H
#define DAQ_CACHE_CHANNEL_TARGET_H

#include "eq_evstore.h"
#include "velmor.h"

template <class Gen>
class ChannelTarget {
 public:
  using Record = typename Gen::Record;

  ChannelTarget(EqEvstore& store, Record* rec, eq_evstore_entry* entry)
      : store_(store), rec_(rec), entry_(entry), data_(entry ? entry->data->data : nullptr) {}
  ~ChannelTarget() { delete orphan_; }
  ChannelTarget(const ChannelTarget&) = delete;
  ChannelTarget& operator=(const ChannelTarget&) = delete;

  velmor::EqData* data() const { return data_; }
  bool lost() const { return lost_; }
  // Part of the sub-block (one sub-channel) is missing while the entry stays.
  void mark_lost() { lost_ = true; }

  void take_out() {
    lost_ = true;
    if (entry_ == nullptr) return;
    Gen::remove_entry(store_, rec_, entry_);
    entry_ = nullptr;
    orphan_ = data_;
  }

 private:
  EqEvstore& store_;
  Record* rec_;
  eq_evstore_entry* entry_;
  velmor::EqData* data_;
  velmor::EqData* orphan_ = nullptr;
  bool lost_ = false;
};

#endif
