// One switch on the data object's type decides every form; the forms read only
// through velmor::EqData's read side, so a value never needs the event buffer.
#include "value_format.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <vector>

#include "json_text.h"
#include "number_text.h"
#include "velmor.h"

std::string data_type_name(int dtype, bool slow) {
  if (slow) return "slow";
  switch (dtype) {
    case 1:
      return "eqdata";
    case 2:
      return "namval";
    case 3:
      return "image";
    case 4:
      return "spectrum";
    case 5:
      return "gspectrum";
    case 6:
      return "stamp";
    case 25:
      return "multi-a";
    case 26:
      return "multi-b";
    case 33:
      return "update";
    default:
      return "type " + std::to_string(dtype);
  }
}

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

std::string first_values(const std::vector<float>& v, int max_values) {
  std::string s = "[";
  size_t n = v.size() < static_cast<size_t>(max_values) ? v.size() : max_values;
  for (size_t i = 0; i < n; ++i) {
    if (i > 0) s += ' ';
    append_float_text(s, v[i]);
  }
  if (n < v.size()) s += n > 0 ? " ..." : "...";
  return s + "]";
}

std::string spectrum_summary(const velmor::EqData& d, int max_values) {
  int n = d.spectrum_count();
  const velmor::SpectrumElement* first = d.get_spectrum(0);
  if (n == 0 || first == nullptr) return "no spectrum";
  if (n == 1) {
    std::string s = (first->group ? "groups " + std::to_string(first->groups) + "x" +
                                        std::to_string(first->group_size) + " "
                                  : "length " + std::to_string(first->data.size()) + " ");
    return s + first_values(first->data, max_values);
  }
  size_t total = 0;
  for (int i = 0; i < n; ++i) {
    const velmor::SpectrumElement* e = d.get_spectrum(i);
    if (e != nullptr) total += e->data.size();
  }
  return std::to_string(n) + " spectra, " + std::to_string(first->data.size()) + " values each, " +
         std::to_string(total) + " in all; " + first->comment + " " +
         first_values(first->data, max_values);
}

std::string ustr_summary(const velmor::EqData& d, int max_values) {
  int n = d.ustr_count();
  std::string s = std::to_string(n) + (n == 1 ? " value:" : " values:");
  for (int i = 0; i < n && i < max_values; ++i) {
    const velmor::UstrElement* e = d.get_ustr(i);
    if (e == nullptr) continue;
    s += " " + e->str + "=" + float_text(e->f1);
  }
  if (n > max_values) s += " ...";
  return s;
}

std::string number_summary(const velmor::EqData& d, int max_values) {
  int n = d.value_count();
  bool ints = d.type() == velmor::DATA_INT || d.type() == velmor::DATA_A_INT;
  auto one = [&](int i) {
    return ints ? std::to_string(d.get_int(i)) : float_text(d.get_double(i));
  };
  if (n == 1) return one(0);
  std::string s = "length " + std::to_string(n) + " [";
  for (int i = 0; i < n && i < max_values; ++i) s += (i > 0 ? " " : "") + one(i);
  return s + (n > max_values ? " ...]" : "]");
}

}  // namespace

std::string value_summary(const velmor::EqData& d, int max_values) {
  int type = d.type();
  if (is_spectrum(type)) return spectrum_summary(d, max_values);
  if (type == velmor::DATA_IMAGE) {
    const velmor::IMH* h = d.get_image_header();
    if (h == nullptr) return "image (no header)";
    return "image " + std::to_string(h->width) + "x" + std::to_string(h->height) + " bpp " +
           std::to_string(h->bpp) + ", " + std::to_string(d.get_image_length()) + " bytes";
  }
  if (type == velmor::DATA_A_USTR) return ustr_summary(d, max_values);
  if (is_number_type(type)) return number_summary(d, max_values);
  if (is_text_type(type)) return std::string("\"") + d.get_text(0) + "\"";
  if (type == velmor::DATA_NULL) return "-";
  return "type " + std::to_string(type);
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
    for (int i = 0; i < d.spectrum_count(); ++i) {
      const velmor::SpectrumElement* e = d.get_spectrum(i);
      if (e == nullptr) continue;
      for (float v : e->data) {
        if (n++ > 0) s += ' ';
        append_float_text(s, v);
      }
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
    for (int i = 0; i < d.value_count(); ++i) {
      if (n++ > 0) s += ' ';
      if (ints) {
        s += std::to_string(d.get_int(i));
      } else {
        append_float_text(s, d.get_double(i));
      }
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
    j.key(is_number_type(type) ? "values" : "texts");
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
