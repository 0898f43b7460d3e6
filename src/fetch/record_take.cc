#include "record_take.h"

#include "channel_answer.h"
#include "velmor.h"

namespace {

// What a value itself says of its name.
std::string value_name(const EqData_dtype& v) {
  if (v.data == nullptr) return "?";
  if (v.data->type() == velmor::DATA_IMAGE) return v.data->get_image_comm();
  const velmor::SpectrumElement* s = v.data->get_spectrum(0);
  return s != nullptr ? s->comment : std::string("?");
}

}  // namespace

void complete_record(bool same, std::vector<EqData_dtype*>* values,
                     const std::vector<std::string>& requested, DaqFetchRecord* rec) {
  rec->values = values;
  rec->slow = !values->empty() && (*values)[0] != nullptr && (*values)[0]->slblock != nullptr;
  if (!same) {
    for (const EqData_dtype* v : *values) {
      if (v == nullptr || v->data == nullptr) continue;
      rec->event = static_cast<uint64_t>(v->data->get_mpnum());
      rec->seconds = static_cast<uint32_t>(v->data->get_time_seconds());
      rec->micros = static_cast<uint32_t>(v->data->get_time_microseconds());
      break;
    }
  }
  if (!same || rec->names.size() != values->size()) {
    rec->names.clear();
    for (const EqData_dtype* v : *values) rec->names.push_back(v != nullptr ? value_name(*v) : "?");
  }
  rec->requested.clear();
  for (const std::string& name : rec->names)
    rec->requested.push_back(answered_channel(requested, name));
}
