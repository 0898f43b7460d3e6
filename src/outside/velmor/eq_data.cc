// EqData: storing and reading. The object is a value type behind one pointer,
// so copies are deep by construction and the exported layout stays one pointer
// wide. Every storing call copies its input because callers reuse their buffers
// (the event buffer is overwritten by the next event while the object lives on).
// Copies go into the buffers the object already owns when they are large enough,
// and init() keeps them: a cache entry refilled every event stops allocating once
// it has seen its largest value.
#include <cinttypes>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "daq_text.h"
#include "eq_data_content.h"

namespace velmor {

namespace {

bool valid_index(int index) { return index >= 0 && index < kMaxElements; }

// Largest float array a spectrum may carry: the whole serialised form is capped.
constexpr uint32_t kMaxSpectrumValues = kMaxSerializedSize / sizeof(float);

// A stored real read as an integer: truncated, NaN as 0, values beyond long's
// range saturated, since the plain conversion of those is undefined.
long real_to_long(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 9223372036854775808.0) return LONG_MAX;
  if (v <= -9223372036854775808.0) return LONG_MIN;
  return static_cast<long>(v);
}

}  // namespace

EqData::EqData() : c_(new EqDataContent) {}
EqData::~EqData() { delete c_; }
EqData::EqData(const EqData& other) : c_(new EqDataContent(*other.c_)) {}

EqData& EqData::operator=(const EqData& other) {
  if (this != &other) *c_ = *other.c_;
  return *this;
}

void reset_content(EqDataContent& c) {
  c.type = DATA_NULL;
  c.error = 0;
  c.error_text.clear();
  c.seconds = 0;
  c.microseconds = 0;
  c.event = 0;
  c.length = 0;
  c.text.clear();
  c.ints.clear();
  c.floats.clear();
  c.doubles.clear();
  c.strings.clear();
  c.ustr.clear();
  c.spectra.clear();
  c.has_image = false;
  c.image_header = IMH{};
  c.image.clear();
  c.image_comment.clear();
}

void EqData::init() { reset_content(*c_); }

bool EqData::copy_from(const EqData* src) {
  if (src == nullptr) return true;
  if (src == this) return false;
  try {
    *c_ = *src->c_;
  } catch (const std::bad_alloc&) {
    init();
    return true;
  }
  return false;
}

void EqData::set_type(int type) { c_->type = type; }
int EqData::type() const { return c_->type; }
int EqData::error() const { return c_->error; }
const char* EqData::error_text() const { return c_->error_text.c_str(); }

void EqData::set_error(int code, const std::string& text) {
  c_->error = code;
  c_->error_text = code != 0 ? text : std::string();
}

char* EqData::get_string(char* buf, unsigned long size) const {
  if (buf == nullptr || size == 0) return nullptr;
  const EqDataContent& c = *c_;
  char number[64];
  const char* text = "";
  if (c.error != 0) {
    text = c.error_text.c_str();
  } else {
    switch (c.type) {
      case DATA_STRING:
      case DATA_XML:
        text = c.text.c_str();
        break;
      case DATA_INT:
      case DATA_A_INT:
      case DATA_FLOAT:
      case DATA_A_FLOAT:
      case DATA_DOUBLE:
      case DATA_A_DOUBLE:
        if (value_count() == 0) break;
        if (c.type == DATA_INT || c.type == DATA_A_INT)
          std::snprintf(number, sizeof number, "%ld", get_int(0));
        else
          std::snprintf(number, sizeof number, "%.17g", get_double(0));
        text = number;
        break;
      case DATA_A_STRING:
        text = get_text(0);
        break;
      case DATA_A_USTR:
        if (!c.ustr.empty()) text = c.ustr[0].str.c_str();
        break;
      case DATA_A_TS_SPECTRUM:
      case DATA_A_TS_GSPECTRUM:
        if (!c.spectra.empty()) text = c.spectra[0].comment.c_str();
        break;
      case DATA_IMAGE:
        text = c.image_comment.c_str();
        break;
      default:
        text = c.text.c_str();
        break;
    }
  }
  copy_text(buf, static_cast<std::size_t>(size), text);
  return buf;
}

void EqData::set_xml(const std::string& xml) {
  c_->type = DATA_XML;
  c_->text = xml;
}

// The text belongs to the object; callers of the system's interface expect a
// char* they only read.
char* EqData::get_xml() const { return const_cast<char*>(c_->text.c_str()); }

void EqData::time(long seconds, int microseconds) {
  c_->seconds = seconds;
  c_->microseconds = microseconds;
}
void EqData::mpnum(long event_number) { c_->event = event_number; }
long EqData::get_time_seconds() const { return c_->seconds; }
int EqData::get_time_microseconds() const { return c_->microseconds; }
long EqData::get_mpnum() const { return c_->event; }

void EqData::length(int n) {
  if (n < 0) n = 0;
  if (n > kMaxElements) n = kMaxElements;
  c_->length = n;
}
int EqData::get_length() const { return c_->length; }

bool EqData::set(int i1, float f1, float f2, long tm, const std::string& str, int index) {
  if (!valid_index(index)) return true;
  EqDataContent& c = *c_;
  const size_t old_count = c.ustr.size();
  const size_t i = static_cast<size_t>(index);
  try {
    // str may be a text of this very object, which growing the list would move.
    std::string held;
    const bool moves =
        !c.ustr.stays_in_place(i + 1) && (c.ustr.holds(&str) || c.ustr.holds(str.data()));
    const std::string& text = moves ? (held = str) : str;
    if (old_count <= i) c.ustr.resize(i + 1);
    c.ustr[i].str = text;  // into the element's own buffer when it is large enough
  } catch (const std::bad_alloc&) {
    c.ustr.resize(old_count);
    return true;
  }
  UstrElement& e = c.ustr[i];
  e.i1 = i1;
  e.f1 = f1;
  e.f2 = f2;
  e.tm = tm;
  c.type = DATA_A_USTR;
  if (c.length <= index) c.length = index + 1;
  return false;
}

const UstrElement* EqData::get_ustr(int index) const {
  if (index < 0 || static_cast<size_t>(index) >= c_->ustr.size()) return nullptr;
  return &c_->ustr[index];
}
int EqData::ustr_count() const { return static_cast<int>(c_->ustr.size()); }

void clear_element(UstrElement& e) {
  e.i1 = 0;
  e.f1 = 0;
  e.f2 = 0;
  e.tm = 0;
  e.str.clear();
}

namespace {

// Zeroes an array in 16-byte stores. Every plain spectrum stored clears the
// statistics, and a memset of that size becomes a string instruction whose
// start-up costs more than the six stores.
// Written out store by store: the compiler turns a loop of them back into memset.
template <std::size_t... K>
inline void zero_blocks(char* p, std::index_sequence<K...>) {
  typedef char Block __attribute__((vector_size(16)));
  const Block zero = {};
  (std::memcpy(p + K * sizeof zero, &zero, sizeof zero), ...);
}
template <class T, std::size_t N>
inline void zero_array(T (&a)[N]) {
  static_assert(sizeof a % 16 == 0, "whole 16-byte blocks");
  zero_blocks(reinterpret_cast<char*>(a), std::make_index_sequence<sizeof a / 16>());
}

// The fields only a group spectrum fills; a plain spectrum reads them as zero.
void clear_group_part(SpectrumElement& e) {
  e.group = false;
  e.id = 0;
  e.groups = 0;
  e.group_size = 0;
  e.group_inc = 0;
  e.stat_mask = 0;
  zero_array(e.statistics);
  zero_array(e.timing_param);
}

}  // namespace

void clear_element(SpectrumElement& e) {
  clear_group_part(e);
  e.ts_seconds = 0;
  e.ts_millis = 0;
  e.ts_status = 0;
  e.comment.clear();
  e.comment_len = 0;
  e.tm = 0;
  e.s_start = 0;
  e.s_inc = 0;
  e.status = 0;
  e.data.clear();
}

namespace {

// Copies the array and comment of a spectrum record into element `index`, in
// the buffers the element already has when they are large enough. Returns the
// element, or null with the object unchanged when the record is unusable or
// memory runs out. The caller fills the remaining fields.
SpectrumElement* store_spectrum(EqDataContent& c, int index, const float* values, uint32_t count,
                                const char* comment, uint32_t comment_len) {
  if (!valid_index(index)) return nullptr;
  if (count > 0 && values == nullptr) return nullptr;
  if (count > kMaxSpectrumValues) return nullptr;
  const size_t chars = comment != nullptr ? ::strnlen(comment, comment_len) : 0;
  const size_t old_count = c.spectra.size();
  const size_t i = static_cast<size_t>(index);
  try {
    // The comment may lie in this object's own elements (a short one inside the
    // string itself), which growing the list would move; arrays do not move.
    std::string held;
    if (chars != 0 && !c.spectra.stays_in_place(i + 1) && c.spectra.holds(comment))
      comment = held.assign(comment, chars).c_str();
    if (old_count <= i) c.spectra.resize(i + 1);
    SpectrumElement& e = c.spectra[i];
    // All room is taken before anything is overwritten, so a failed allocation
    // leaves the element as it was. A new array is filled as it is made.
    std::vector<float> room;
    if (e.data.capacity() < count) room.assign(values, values + count);
    if (e.comment.capacity() < chars) e.comment.reserve(chars);
    if (room.capacity() != 0) {
      e.data.swap(room);
    } else if (count != 0 && e.data.size() == count) {
      // The same length again (a channel refilled every event) is one move of
      // the values; memmove because they may be this element's own.
      std::memmove(e.data.data(), values, count * sizeof(float));
    } else {
      e.data.assign(values, values + count);
    }
    // An element refilled event after event mostly gets the comment it has.
    if (e.comment.size() != chars ||
        (chars != 0 && std::memcmp(e.comment.data(), comment, chars) != 0))
      e.comment.assign(chars != 0 ? comment : "", chars);
    e.comment_len = comment_len;
    return &e;
  } catch (const std::bad_alloc&) {
    c.spectra.resize(old_count);
    return nullptr;
  }
}

void store_stamp(SpectrumElement& e, unsigned seconds, unsigned short millis,
                 unsigned short status) {
  e.ts_seconds = seconds;
  e.ts_millis = millis;
  e.ts_status = status;
}

}  // namespace

bool EqData::set_ts_spect(unsigned seconds, unsigned short millis, unsigned short status,
                          SPECTRUM* spectrum, int index) {
  if (spectrum == nullptr) return true;
  EqDataContent& c = *c_;
  SpectrumElement* e = store_spectrum(c, index, spectrum->d_spect_array.d_spect_array_val,
                                      spectrum->d_spect_array.d_spect_array_len,
                                      spectrum->comment.comment_val, spectrum->comment.comment_len);
  if (e == nullptr) return true;
  store_stamp(*e, seconds, millis, status);
  clear_group_part(*e);  // the element may have held a group spectrum before
  e->tm = static_cast<int64_t>(spectrum->tm);
  e->s_start = spectrum->s_start;
  e->s_inc = spectrum->s_inc;
  e->status = spectrum->status;
  c.type = DATA_A_TS_SPECTRUM;
  if (c.length <= index) c.length = index + 1;
  return false;
}

bool EqData::set_ts_gspect(unsigned seconds, unsigned short millis, unsigned short status,
                           GSPECTRUM* spectrum, int index) {
  if (spectrum == nullptr) return true;
  EqDataContent& c = *c_;
  SpectrumElement* e = store_spectrum(c, index, spectrum->d_gspect_array.d_gspect_array_val,
                                      spectrum->d_gspect_array.d_gspect_array_len,
                                      spectrum->comment.comment_val, spectrum->comment.comment_len);
  if (e == nullptr) return true;
  store_stamp(*e, seconds, millis, status);
  e->group = true;
  e->id = spectrum->id;
  e->tm = static_cast<int64_t>(spectrum->tm);
  e->s_start = spectrum->s_start;
  e->s_inc = spectrum->s_inc;
  e->status = spectrum->status;
  e->groups = spectrum->groups;
  e->group_size = spectrum->group_size;
  e->group_inc = spectrum->group_inc;
  e->stat_mask = spectrum->stat_mask;
  std::memcpy(e->statistics, spectrum->statistics, sizeof e->statistics);
  std::memcpy(e->timing_param, spectrum->timing_param, sizeof e->timing_param);
  c.type = DATA_A_TS_GSPECTRUM;
  if (c.length <= index) c.length = index + 1;
  return false;
}

const SpectrumElement* EqData::get_spectrum(int index) const {
  if (index < 0 || static_cast<size_t>(index) >= c_->spectra.size()) return nullptr;
  return &c_->spectra[index];
}
int EqData::spectrum_count() const { return static_cast<int>(c_->spectra.size()); }

bool EqData::set_image(const unsigned char* data, int length, IMH* header,
                       PreserveTimestampAndEventId preserve) {
  if (header == nullptr || length < 0 || (length > 0 && data == nullptr)) return true;
  if (static_cast<size_t>(length) > kMaxSerializedSize) return true;
  EqDataContent& c = *c_;
  try {
    c.image.assign(data, data + length);
  } catch (const std::bad_alloc&) {
    c.image.clear();
    c.has_image = false;
    return true;
  }
  c.image_header = *header;
  if (preserve == yes) c.image_header.event = static_cast<uint32_t>(c.event);
  c.has_image = true;
  c.type = DATA_IMAGE;
  if (c.length < 1) c.length = 1;
  return false;
}

void EqData::set_image_comm(const char* comment) {
  c_->image_comment = comment != nullptr ? comment : "";
}
const IMH* EqData::get_image_header() const { return c_->has_image ? &c_->image_header : nullptr; }
const unsigned char* EqData::get_image_data() const {
  return c_->image.empty() ? nullptr : c_->image.data();
}
int EqData::get_image_length() const { return static_cast<int>(c_->image.size()); }
const char* EqData::get_image_comm() const { return c_->image_comment.c_str(); }

namespace {

void clear_values(EqDataContent* c) {
  c->ints.clear();
  c->floats.clear();
  c->doubles.clear();
  c->strings.clear();
}

int clamp_count(int count) { return count < 0 ? 0 : (count > kMaxElements ? kMaxElements : count); }

}  // namespace

void EqData::set_int(long value) {
  clear_values(c_);
  c_->ints.push_back(value);
  c_->type = DATA_INT;
  c_->length = 1;
}
void EqData::set_float(float value) {
  clear_values(c_);
  c_->floats.push_back(value);
  c_->type = DATA_FLOAT;
  c_->length = 1;
}
void EqData::set_double(double value) {
  clear_values(c_);
  c_->doubles.push_back(value);
  c_->type = DATA_DOUBLE;
  c_->length = 1;
}
void EqData::set_string(const std::string& text) {
  c_->type = DATA_STRING;
  c_->text = text;
}
namespace {
// One body for the number-array setters: the previous value goes, the new one
// is copied in, bounded like every element count.
template <class T>
void store_numbers(EqDataContent* c, std::vector<T> EqDataContent::*array, const T* values,
                   int count, int type) {
  clear_values(c);
  count = values != nullptr ? clamp_count(count) : 0;
  (c->*array).assign(values, values + count);
  c->type = type;
  c->length = count;
}
}  // namespace

void EqData::set_int_array(const long* values, int count) {
  store_numbers(c_, &EqDataContent::ints, values, count, DATA_A_INT);
}
void EqData::set_float_array(const float* values, int count) {
  store_numbers(c_, &EqDataContent::floats, values, count, DATA_A_FLOAT);
}
void EqData::set_double_array(const double* values, int count) {
  store_numbers(c_, &EqDataContent::doubles, values, count, DATA_A_DOUBLE);
}
void EqData::set_string_array(const std::vector<std::string>& texts) {
  clear_values(c_);
  size_t n = texts.size() > static_cast<size_t>(kMaxElements) ? kMaxElements : texts.size();
  c_->strings.assign(texts.begin(), texts.begin() + n);
  c_->type = DATA_A_STRING;
  c_->length = static_cast<int>(n);
}
void EqData::add_string(const std::string& text) {
  if (c_->type != DATA_A_STRING) {
    clear_values(c_);
    c_->type = DATA_A_STRING;
  }
  if (c_->strings.size() >= static_cast<size_t>(kMaxElements)) return;
  c_->strings.push_back(text);
  c_->length = static_cast<int>(c_->strings.size());
}

long EqData::get_int(int index) const {
  const EqDataContent& c = *c_;
  if (index < 0) return 0;
  size_t i = static_cast<size_t>(index);
  if (i < c.ints.size()) return c.ints[i];
  if (i < c.doubles.size()) return real_to_long(c.doubles[i]);
  if (i < c.floats.size()) return real_to_long(c.floats[i]);
  return std::strtol(get_text(index), nullptr, 0);
}

double EqData::get_double(int index) const {
  const EqDataContent& c = *c_;
  if (index < 0) return 0;
  size_t i = static_cast<size_t>(index);
  if (i < c.doubles.size()) return c.doubles[i];
  if (i < c.floats.size()) return c.floats[i];
  if (i < c.ints.size()) return static_cast<double>(c.ints[i]);
  return std::strtod(get_text(index), nullptr);
}

float EqData::get_float(int index) const {
  if (index >= 0 && static_cast<size_t>(index) < c_->floats.size()) return c_->floats[index];
  return static_cast<float>(get_double(index));
}

const char* EqData::get_text(int index) const {
  const EqDataContent& c = *c_;
  if (index >= 0 && static_cast<size_t>(index) < c.strings.size()) return c.strings[index].c_str();
  if (index == 0 && c.strings.empty()) return c.text.c_str();
  return "";
}

int EqData::value_count() const {
  const EqDataContent& c = *c_;
  size_t n = c.ints.size() + c.floats.size() + c.doubles.size() + c.strings.size();
  return static_cast<int>(n);
}

}  // namespace velmor
