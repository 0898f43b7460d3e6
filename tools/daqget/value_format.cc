// One switch on the data object's type decides every form; the forms read only
// through velmor::EqData's read side, so a value never needs the event buffer.
#include "value_format.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <vector>

#include "daq_type_name.h"
#include "decimal_text.h"
#include "json_text.h"
#include "number_text.h"
#include "velmor.h"

std::string data_type_name(int dtype, bool slow) { return slow ? "slow" : daq_type_name(dtype); }

std::string iso_time(uint32_t seconds, uint32_t micros) {
  // Records come in runs of the same second: the date and clock are worked out
  // once per second, only the microseconds per call.
  thread_local uint32_t last_seconds = 0;
  thread_local char last[80] = "";
  if (last[0] == '\0' || seconds != last_seconds) {
    time_t t = static_cast<time_t>(seconds);
    struct tm utc {};
    gmtime_r(&t, &utc);
    std::snprintf(last, sizeof last, "%04d-%02d-%02dT%02d:%02d:%02d.", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
    last_seconds = seconds;
  }
  char text[48];
  size_t n = std::strlen(last);
  std::memcpy(text, last, n);
  uint32_t us = micros % 1000000u;
  for (int i = 5; i >= 0; --i, us /= 10)
    text[n + static_cast<size_t>(i)] = static_cast<char>('0' + us % 10);
  text[n + 6] = 'Z';
  return std::string(text, n + 7);
}

std::string float_text(double value) {
  std::string text;
  append_float_text(text, value);
  return text;
}

namespace {

bool is_spectrum(int type) {
  return type == velmor::DATA_A_TS_SPECTRUM || type == velmor::DATA_A_TS_GSPECTRUM;
}

bool is_number_type(int type) {
  switch (type) {
    case velmor::DATA_INT:
    case velmor::DATA_FLOAT:
    case velmor::DATA_DOUBLE:
    case velmor::DATA_A_INT:
    case velmor::DATA_A_FLOAT:
    case velmor::DATA_A_DOUBLE:
      return true;
    default:
      return false;
  }
}

bool is_text_type(int type) {
  return type == velmor::DATA_STRING || type == velmor::DATA_XML || type == velmor::DATA_A_STRING;
}

// "[v v v ...]": the first max_values values.
void append_first_values(std::string& s, const std::vector<float>& v, int max_values) {
  s += '[';
  size_t n = v.size() < static_cast<size_t>(max_values) ? v.size() : max_values;
  {
    NumberRun run(s);
    for (size_t i = 0; i < n; ++i) run.float_text(i > 0 ? ' ' : '\0', v[i]);
  }
  if (n < v.size()) s += n > 0 ? " ..." : "...";
  s += ']';
}

void spectrum_summary(std::string& s, const velmor::EqData& d, int max_values) {
  int n = d.spectrum_count();
  const velmor::SpectrumElement* first = d.get_spectrum(0);
  if (n == 0 || first == nullptr) {
    s += "no spectrum";
    return;
  }
  if (n == 1) {
    if (first->group) {
      s += "groups ";
      append_decimal(s, first->groups);
      s += 'x';
      append_decimal(s, first->group_size);
    } else {
      s += "length ";
      append_decimal(s, first->data.size());
    }
    s += ' ';
    append_first_values(s, first->data, max_values);
    return;
  }
  size_t total = 0;
  for (int i = 0; i < n; ++i) {
    const velmor::SpectrumElement* e = d.get_spectrum(i);
    if (e != nullptr) total += e->data.size();
  }
  s += std::to_string(n) + " spectra, " + std::to_string(first->data.size()) + " values each, " +
       std::to_string(total) + " in all; " + first->comment + " ";
  append_first_values(s, first->data, max_values);
}

void ustr_summary(std::string& s, const velmor::EqData& d, int max_values) {
  int n = d.ustr_count();
  append_decimal(s, n);
  s += n == 1 ? " value:" : " values:";
  for (int i = 0; i < n && i < max_values; ++i) {
    const velmor::UstrElement* e = d.get_ustr(i);
    if (e == nullptr) continue;
    s += ' ';
    s += e->str;
    s += '=';
    append_float_text(s, e->f1);
  }
  if (n > max_values) s += " ...";
}

void number_summary(std::string& s, const velmor::EqData& d, int max_values) {
  int n = d.value_count();
  bool ints = d.type() == velmor::DATA_INT || d.type() == velmor::DATA_A_INT;
  auto one = [&](int i) {
    if (ints) {
      append_decimal(s, d.get_int(i));
    } else {
      append_float_text(s, d.get_double(i));
    }
  };
  if (n == 1) {
    one(0);
    return;
  }
  s += "length ";
  append_decimal(s, n);
  s += " [";
  for (int i = 0; i < n && i < max_values; ++i) {
    if (i > 0) s += ' ';
    one(i);
  }
  s += n > max_values ? " ...]" : "]";
}

}  // namespace

std::string value_summary(const velmor::EqData& d, int max_values) {
  std::string s;
  append_value_summary(s, d, max_values);
  return s;
}

void append_value_summary(std::string& s, const velmor::EqData& d, int max_values) {
  int type = d.type();
  if (is_spectrum(type)) {
    spectrum_summary(s, d, max_values);
  } else if (type == velmor::DATA_IMAGE) {
    const velmor::IMH* h = d.get_image_header();
    if (h == nullptr) {
      s += "image (no header)";
    } else {
      s += "image " + std::to_string(h->width) + "x" + std::to_string(h->height) + " bpp " +
           std::to_string(h->bpp) + ", " + std::to_string(d.get_image_length()) + " bytes";
    }
  } else if (type == velmor::DATA_A_USTR) {
    ustr_summary(s, d, max_values);
  } else if (is_number_type(type)) {
    number_summary(s, d, max_values);
  } else if (is_text_type(type)) {
    s += '"';
    s += d.get_text(0);
    s += '"';
  } else if (type == velmor::DATA_NULL) {
    s += '-';
  } else {
    s += "type " + std::to_string(type);
  }
}

bool value_numbers_plain(const velmor::EqData& d) {
  int type = d.type();
  return is_spectrum(type) || is_number_type(type) || type == velmor::DATA_IMAGE;
}

std::string value_numbers(const velmor::EqData& d, size_t* count) {
  std::string s;
  *count = append_value_numbers(s, d);
  return s;
}

size_t append_value_numbers(std::string& s, const velmor::EqData& d) {
  size_t n = 0;
  int type = d.type();
  if (is_spectrum(type)) {
    NumberRun run(s);
    for (int i = 0; i < d.spectrum_count(); ++i) {
      const velmor::SpectrumElement* e = d.get_spectrum(i);
      if (e == nullptr) continue;
      for (float v : e->data) run.float_text(n++ > 0 ? ' ' : '\0', v);
    }
  } else if (type == velmor::DATA_A_USTR) {
    for (int i = 0; i < d.ustr_count(); ++i) {
      const velmor::UstrElement* e = d.get_ustr(i);
      if (e == nullptr) continue;
      if (n++ > 0) s += ';';
      s += e->str;
      s += '=';
      append_float_text(s, e->f1);
    }
  } else if (is_number_type(type)) {
    bool ints = type == velmor::DATA_INT || type == velmor::DATA_A_INT;
    int count = d.value_count();
    if (ints) {
      for (int i = 0; i < count; ++i, ++n) {
        if (n > 0) s += ' ';
        s += std::to_string(d.get_int(i));
      }
    } else {
      NumberRun run(s);
      for (int i = 0; i < count; ++i) run.float_text(n++ > 0 ? ' ' : '\0', d.get_double(i));
    }
  } else if (is_text_type(type)) {
    for (int i = 0; i < d.value_count(); ++i) {
      if (n++ > 0) s += ';';
      s += d.get_text(i);
    }
  } else if (type == velmor::DATA_IMAGE) {
    n = static_cast<size_t>(d.get_image_length());
  }
  return n;
}

namespace {

void spectrum_json(std::string& out, const velmor::SpectrumElement& e) {
  out += '{';
  JsonText j(out);
  j.key("name").text(e.comment);
  j.key("start").real(e.s_start);
  j.key("inc").real(e.s_inc);
  j.key("status").integer(e.status);
  if (e.group) {
    j.key("id").integer(e.id);
    j.key("groups").integer(e.groups);
    j.key("group_size").integer(e.group_size);
    j.key("group_inc").real(e.group_inc);
    j.key("stat_mask").integer(e.stat_mask);
    j.key("statistics").reals(std::begin(e.statistics), std::end(e.statistics));
  }
  j.key("values").reals(e.data.data(), e.data.data() + e.data.size());
  out += '}';
}

}  // namespace

void append_value_json(std::string& out, const velmor::EqData& d) {
  int type = d.type();
  bool known = is_spectrum(type) || type == velmor::DATA_IMAGE || type == velmor::DATA_A_USTR ||
               is_number_type(type) || is_text_type(type);
  if (!known) {
    out += "null";
    return;
  }
  out += '{';
  JsonText j(out);
  bool first = true;
  if (is_spectrum(type)) {
    j.key("spectra");
    out += '[';
    for (int i = 0; i < d.spectrum_count(); ++i) {
      const velmor::SpectrumElement* e = d.get_spectrum(i);
      if (e == nullptr) continue;
      j.next(&first);
      spectrum_json(out, *e);
    }
    out += ']';
  } else if (type == velmor::DATA_IMAGE) {
    const velmor::IMH* h = d.get_image_header();
    if (h != nullptr) {
      j.key("width").integer(h->width);
      j.key("height").integer(h->height);
      j.key("bpp").integer(h->bpp);
      j.key("frame").integer(h->frame);
    }
    j.key("comment").text(d.get_image_comm());
    j.key("length").integer(d.get_image_length());
    const unsigned char* bytes = d.get_image_data();
    int n = d.get_image_length();
    j.key("data_base64")
        .text(bytes != nullptr && n > 0 ? base64(bytes, static_cast<size_t>(n)) : std::string());
  } else if (type == velmor::DATA_A_USTR) {
    j.key("items");
    out += '[';
    for (int i = 0; i < d.ustr_count(); ++i) {
      const velmor::UstrElement* e = d.get_ustr(i);
      if (e == nullptr) continue;
      j.next(&first);
      out += '{';
      JsonText item(out);
      item.key("name").text(e->str);
      item.key("value").real(e->f1);
      item.key("status").real(e->f2);
      item.key("number").integer(e->i1);
      item.key("time").integer(e->tm);
      out += '}';
    }
    out += ']';
  } else {
    bool ints = type == velmor::DATA_INT || type == velmor::DATA_A_INT;
    if (is_number_type(type)) {
      j.key("values");
    } else {
      j.key("texts");
    }
    out += '[';
    for (int i = 0; i < d.value_count(); ++i) {
      j.next(&first);
      if (!is_number_type(type)) {
        j.text(d.get_text(i));
      } else if (ints) {
        j.integer(d.get_int(i));
      } else {
        j.real(d.get_double(i));
      }
    }
    out += ']';
  }
  out += '}';
}

nlohmann::ordered_json value_json(const velmor::EqData& d) {
  std::string text;
  append_value_json(text, d);
  return nlohmann::ordered_json::parse(text);
}

std::string base64(const unsigned char* bytes, size_t n) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((n + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 2 < n; i += 3) {
    uint32_t v = (uint32_t{bytes[i]} << 16) | (uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  if (i < n) {
    uint32_t v = uint32_t{bytes[i]} << 16;
    if (i + 1 < n) v |= uint32_t{bytes[i + 1]} << 8;
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += i + 1 < n ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}
