// Input: a slow-data block. data_length is lowered to the input size when it
// claims more (callers hold data_length bytes); shorter inputs are padded to a
// header. The first input byte's low bit also flips the format switch.
#include <cstdint>
#include <cstring>
#include <memory>

#include "orxa_evutl.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const size_t total =
      size < sizeof(orxa_daq_slow_data_header) ? sizeof(orxa_daq_slow_data_header) : size;
  std::unique_ptr<char[]> block(new char[total]());
  if (size > 0) std::memcpy(block.get(), data, size);
  auto* h = reinterpret_cast<orxa_daq_slow_data_header*>(block.get());
  if (h->data_length > total) h->data_length = static_cast<uint32_t>(total);
  set_data_format_2024(size > 0 ? data[0] & 1 : 0);

  int length = orxa_slow_block_get_length(h);
  int n = orxa_slow_block_get_n_entries(h);
  if ((length < 1) != (n < 0)) __builtin_trap();  // validity must agree
  uint64_t evid = 0;
  orxa_slow_block_get_first_evid(h, &evid);
  orxa_slow_block_get_first_time_s(h);
  orxa_slow_block_get_first_time_us(h);
  for (int i = 0; i < n && i < 4096; ++i) {
    orxa_slow_entry_2024 e;
    if (orxa_slow_block_get_entry(h, i, &e)) __builtin_trap();  // every counted entry is readable
    if (std::strlen(e.name) >= sizeof e.name) __builtin_trap();
  }
  return 0;
}
