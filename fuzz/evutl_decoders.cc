// Input: type word (4 bytes), a cut byte, then the data region. The sub-block is
// placed at the end of a heap block, so nothing lies after it; the cut byte either
// shortens ldata below its size (never above: the event walk guarantees ldata
// bytes are there) or, when it does not, puts the sub-head 0 to 3 bytes past an
// aligned address, as an unpadded sub-block before it would. Every decoder runs
// over every index it could be asked for.
#include <cstdint>
#include <cstring>
#include <memory>

#include "orxa_evutl.h"
#include "velmor.h"

namespace {

volatile uintptr_t g_sink;

void touch(const void* p, size_t n) {
  // Read what a caller would read, so ASan sees any pointer outside the block.
  const unsigned char* b = static_cast<const unsigned char*>(p);
  uintptr_t sum = 0;
  for (size_t i = 0; i < n; ++i) sum += b[i];
  g_sink = sum;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  int32_t word;
  std::memcpy(&word, data, 4);
  const uint8_t cut = data[4];
  const size_t region = size - 5;
  const size_t total = ORXA_SUBHEAD_SIZE + region;
  if (total > 0x7FFFFFFF) return 0;
  const size_t shift = cut < 128 ? cut % 4 : 0;
  std::unique_ptr<char[]> room(new char[shift + total]);
  char* block = room.get() + shift;
  orxa_serv_block_subhead_2010 h;
  std::memset(h.chname, 'F', sizeof h.chname);  // unterminated: decoders must not read it
  h.dtype = word;
  h.error = 0;
  h.ldata = static_cast<int32_t>(total) - (cut < 128 ? 0 : cut - 128);
  std::memcpy(block, &h, sizeof h);
  if (region > 0) std::memcpy(block + sizeof h, data + 5, region);
  auto* sub = reinterpret_cast<orxa_serv_block_subhead_2010*>(block);

  get_data_structure_type(word);
  const char* name = get_chan_name(word, cut);
  if (name != nullptr) g_sink = std::strlen(name);
  int nsub = get_channel_number(word, sub);
  for (int j = 0; j < nsub && j < 256; ++j) {
    float start, inc, ginc;
    int length = 0, groups = 0;
    orxa_spect_statistics_2010* stats = nullptr;
    if (!get_spect_params_for_data_type_2010(sub, &start, &inc, nullptr, &length, &groups, &ginc,
                                             &stats, j)) {
      if (stats != nullptr) touch(&stats[j], sizeof stats[j]);
      void* values = get_pointer_to_data_2010(sub, j);
      int kind = get_data_structure_type(word);
      size_t n = kind == ORXA_DATA_GSPECTRUM ? static_cast<size_t>(length) * groups : length;
      if (values != nullptr) touch(values, n * sizeof(float));
    }
  }
  orxa_image_ext_frame_head frame;
  unsigned char* image = nullptr;
  if (!get_image_ext_params(sub, &frame, nullptr, &image)) touch(image, frame.length);
  int nupd = get_number_of_upd_channels_2010(sub);
  for (int i = 0; i < nupd && i < 4096; ++i) {
    char* upd_name = nullptr;
    int status;
    time_stamp t;
    float value;
    if (!get_update_params(sub, i, &upd_name, &status, &t, &value)) g_sink = std::strlen(upd_name);
  }
  int usable = 0;
  orxa_name_value_block* nv = get_name_value_block_2010(sub, &usable);
  if (nv != nullptr)
    touch(nv, ORXA_NAME_VALUE_BLOCK_HEAD + usable * sizeof(orxa_name_value_channel));
  velmor::EqData* object = nullptr;
  if (orxa_daq_to_eqdata(0, nullptr, sub, &object, 1) == 0) delete object;
  return 0;
}
