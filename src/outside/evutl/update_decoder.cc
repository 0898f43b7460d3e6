// Update blocks (data type 33): a count and fixed-size records of a name, a status,
// a time and a value. The whole record table must fit before any record is handed
// out, and a name is handed out only when it ends inside its field.
#include <cstring>

#include "sub_block_locate.h"

bool locate_update_records(const SubBlockView& view, int32_t* count) {
  if (structure_kind(view.data_type()) != ORXA_DATA_SLOW) return false;
  orxa_upd_block_2010 head;
  if (!view.load(0, &head) || head.count < 0) return false;
  if (!view.fits(sizeof head, static_cast<uint64_t>(head.count) * sizeof(orxa_upd_value_2010))) {
    return false;
  }
  *count = head.count;
  return true;
}

char* update_record(const SubBlockView& view, int index) {
  return view.at(sizeof(orxa_upd_block_2010) +
                 static_cast<uint64_t>(index) * sizeof(orxa_upd_value_2010));
}

int get_number_of_upd_channels_2010(orxa_serv_block_subhead_2010* sub) {
  SubBlockView view(sub);
  int32_t count = 0;
  return locate_update_records(view, &count) ? count : 0;
}

bool get_update_params(orxa_serv_block_subhead_2010* sub, int index, char** name, int* status,
                       time_stamp* time, float* value) {
  SubBlockView view(sub);
  int32_t count = 0;
  if (!locate_update_records(view, &count) || index < 0 || index >= count) return true;
  char* record = update_record(view, index);
  if (std::memchr(record, '\0', sizeof(orxa_upd_value_2010::name)) == nullptr) return true;
  orxa_upd_value_2010 v;
  std::memcpy(&v, record, sizeof v);
  if (name != nullptr) *name = record + offsetof(orxa_upd_value_2010, name);
  if (status != nullptr) *status = v.status;
  if (time != nullptr) *time = v.time;
  if (value != nullptr) *value = v.value;
  return false;
}
