// Slow-data block accessors. A block is valid when data_length >= 12, fits an int,
// and its channels_number entries fit inside data_length; nothing beyond
// data_length is read. The generation comes from the pattern; an unknown pattern
// is read with the layout of the process-wide format switch.
#include <cstring>

#include "orxa_evutl.h"
#include "slow_block_layout.h"

namespace {

struct SlowView {
  const char* base = nullptr;
  orxa_daq_slow_data_header head{};
  bool is_2024 = false;
};

template <class Layout>
bool entries_fit(const orxa_daq_slow_data_header& head) {
  if (head.channels_number == 0) return true;  // a header alone is a valid, empty block
  uint64_t need = Layout::kEntriesAt +
                  static_cast<uint64_t>(head.channels_number) * sizeof(typename Layout::Entry);
  return need <= head.data_length;
}

bool view_block(const orxa_daq_slow_data_header* h, SlowView* v) {
  if (h == nullptr) return false;
  v->base = reinterpret_cast<const char*>(h);
  std::memcpy(&v->head, h, sizeof v->head);
  if (v->head.data_length < sizeof(orxa_daq_slow_data_header)) return false;
  if (v->head.data_length > 0x7FFFFFFFu || v->head.channels_number > 0x7FFFFFFFu) return false;
  if (v->head.pattern == ORXA_SLOW_PATTERN_2024) {
    v->is_2024 = true;
  } else if (v->head.pattern == ORXA_SLOW_PATTERN) {
    v->is_2024 = false;
  } else {
    v->is_2024 = get_data_format_2024() != 0;
  }
  return v->is_2024 ? entries_fit<SlowLayout2024>(v->head) : entries_fit<SlowLayout2010>(v->head);
}

template <class Layout>
void read_entry(const SlowView& v, uint32_t index, orxa_slow_entry_2024* out) {
  typename Layout::Entry e;
  std::memcpy(&e, v.base + Layout::kEntriesAt + static_cast<uint64_t>(index) * sizeof e, sizeof e);
  out->event_number = e.event_number;
  out->time = e.time;
  out->status = e.status;
  out->value = e.value;
  std::memcpy(out->name, e.name, sizeof out->name);
  out->name[sizeof out->name - 1] = '\0';
}

// Entry index of a valid block; false when there is no such entry.
bool entry_at(const orxa_daq_slow_data_header* h, int index, orxa_slow_entry_2024* out) {
  SlowView v;
  if (!view_block(h, &v) || index < 0 || static_cast<uint32_t>(index) >= v.head.channels_number) {
    return false;
  }
  if (v.is_2024) {
    read_entry<SlowLayout2024>(v, static_cast<uint32_t>(index), out);
  } else {
    read_entry<SlowLayout2010>(v, static_cast<uint32_t>(index), out);
  }
  return true;
}

}  // namespace

int orxa_slow_block_get_length(orxa_daq_slow_data_header* h) {
  SlowView v;
  return view_block(h, &v) ? static_cast<int>(v.head.data_length) : -1;
}

int orxa_slow_block_get_n_entries(orxa_daq_slow_data_header* h) {
  SlowView v;
  return view_block(h, &v) ? static_cast<int>(v.head.channels_number) : -1;
}

unsigned int orxa_slow_block_get_first_evid(orxa_daq_slow_data_header* h, uint64_t* evid_2024) {
  orxa_slow_entry_2024 e{};
  if (!entry_at(h, 0, &e)) e.event_number = 0;
  if (evid_2024 != nullptr) *evid_2024 = e.event_number;
  return static_cast<unsigned int>(e.event_number);
}

unsigned int orxa_slow_block_get_first_time_s(orxa_daq_slow_data_header* h) {
  orxa_slow_entry_2024 e{};
  return entry_at(h, 0, &e) ? e.time.timeup : 0;
}

unsigned int orxa_slow_block_get_first_time_us(orxa_daq_slow_data_header* h) {
  orxa_slow_entry_2024 e{};
  return entry_at(h, 0, &e) ? e.time.timelow : 0;
}

bool orxa_slow_block_get_entry(orxa_daq_slow_data_header* h, int index,
                               orxa_slow_entry_2024* entry) {
  orxa_slow_entry_2024 e{};
  if (entry == nullptr || !entry_at(h, index, &e)) return true;
  *entry = e;
  return false;
}
