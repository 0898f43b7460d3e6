// The first byte picks the input's kind (legacy event, 2024 event, slow-data
// block); the rest is the message as the data link would hand it over: an 8-byte
// aligned buffer holding at least the length its header declares (a longer claim
// is cut to what arrived, as the link reads exactly that many bytes). Each input
// goes through a fresh one-record cache three times: as a new record, reusing
// that record, and refused by a full cache.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "eq_evstore.h"

namespace {

template <class Header, class Length>
void clamp_length(std::vector<uint64_t>& buf, std::size_t size, Length Header::*field) {
  auto* h = reinterpret_cast<Header*>(buf.data());
  if (h->*field < 0 || static_cast<uint64_t>(h->*field) > size)
    h->*field = static_cast<Length>(size);
}

template <class Header>
void convert_event(std::vector<uint64_t>& buf) {
  DAQEqEvstore store(1);
  auto* h = reinterpret_cast<Header*>(buf.data());
  store.daq_data_to_cache(h, nullptr, EQCACHE_FIND_TIME);
  store.daq_data_to_cache(h, nullptr, EQCACHE_FIND_TIME);
  store.daq_data_to_cache(h, nullptr, 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  int kind = data[0] % 3;
  ++data;
  --size;
  std::size_t room = size < sizeof(orxa_eventheader_2024) ? sizeof(orxa_eventheader_2024) : size;
  std::vector<uint64_t> buf(room / 8 + 1, 0);
  std::memcpy(buf.data(), data, size);
  if (size < room) size = room;  // the zero padding arrived too

  if (kind == 0) {
    clamp_length(buf, size, &orxa_eventheader::event_length);
    convert_event<orxa_eventheader>(buf);
  } else if (kind == 1) {
    clamp_length(buf, size, &orxa_eventheader_2024::event_length);
    convert_event<orxa_eventheader_2024>(buf);
  } else {
    clamp_length(buf, size, &orxa_daq_slow_data_header::data_length);
    DAQEqEvstore store(1);
    auto* h = reinterpret_cast<orxa_daq_slow_data_header*>(buf.data());
    store.daq_data_to_cache(h, EQCACHE_FIND_TIME);
    store.daq_data_to_cache(h, EQCACHE_FIND_TIME);
    store.daq_data_to_cache(h, 0);
  }
  return 0;
}
