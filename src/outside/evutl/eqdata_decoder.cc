// Complete data objects: a byte count and a serialised velmor::EqData. One decoder
// serves both generations (the server block is not read). The object is made only
// after the bytes are known to lie inside the sub-block, and released again when
// they do not deserialise, so a failure never leaves an allocation behind.
#include <new>

#include "sub_block_locate.h"
#include "velmor.h"

bool locate_object(const SubBlockView& view, char** bytes, int32_t* nbytes) {
  if (structure_kind(view.data_type()) != ORXA_DATA_EQDATA) return false;
  orxa_eqdata_block_2010 head;
  if (!view.load(0, &head) || head.nbytes < 0) return false;
  if (!view.fits(sizeof head, static_cast<uint64_t>(head.nbytes))) return false;
  *bytes = view.at(sizeof head);
  *nbytes = head.nbytes;
  return true;
}

namespace {

int decode_object(orxa_serv_block_subhead_2010* sub, velmor::EqData** out, int allocate) {
  if (sub == nullptr || out == nullptr) return ORXA_EQDATA_BAD_ARGS;
  if (allocate == 0 && *out == nullptr) return ORXA_EQDATA_BAD_ARGS;
  SubBlockView view(sub);
  char* bytes = nullptr;
  int32_t nbytes = 0;
  if (!locate_object(view, &bytes, &nbytes)) return ORXA_EQDATA_BAD_BLOCK;
  try {
    if (allocate == 0) {
      return (*out)->deserialize(bytes, static_cast<size_t>(nbytes)) ? ORXA_EQDATA_BAD_OBJECT : 0;
    }
    velmor::EqData* object = new velmor::EqData();
    if (object->deserialize(bytes, static_cast<size_t>(nbytes))) {
      delete object;
      return ORXA_EQDATA_BAD_OBJECT;
    }
    *out = object;
    return 0;
  } catch (const std::bad_alloc&) {
    return ORXA_EQDATA_NO_MEMORY;
  }
}

}  // namespace

int orxa_daq_to_eqdata(int /*mode*/, char* /*server_block*/, orxa_serv_block_subhead_2010* sub,
                       velmor::EqData** out, int allocate) {
  return decode_object(sub, out, allocate);
}

int orxa_daq_to_eqdata_2024(int /*mode*/, char* /*server_block*/, orxa_serv_block_subhead_2010* sub,
                            velmor::EqData** out, int allocate) {
  return decode_object(sub, out, allocate);
}
