// One switch on the data object's type decides every form; the forms read only
// through velmor::EqData's read side, so a value never needs the event buffer.
#include "value_format.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

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
  time_t t = static_cast<time_t>(seconds);
  struct tm utc {};
  gmtime_r(&t, &utc);
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06uZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<unsigned>(micros % 1000000u));
  return text;
}

std::string float_text(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.9g", value);
  return text;
}

namespace {

// The shortest double that prints as the float's 9 digits, so JSON does not
// show the float's binary tail.
nlohmann::ordered_json json_float(double value) {
  if (value != value) return nullptr;
  return std::strtod(float_text(value).c_str(), nullptr);
}

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
    s += float_text(v[i]);
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
  size_t n = 0;
  auto add = [&](const std::string& v) {
    if (n++ > 0) s += ' ';
    s += v;
  };
  int type = d.type();
  if (is_spectrum(type)) {
    for (int i = 0; i < d.spectrum_count(); ++i) {
      const velmor::SpectrumElement* e = d.get_spectrum(i);
      if (e == nullptr) continue;
      for (float v : e->data) add(float_text(v));
    }
  } else if (type == velmor::DATA_A_USTR) {
    for (int i = 0; i < d.ustr_count(); ++i) {
      const velmor::UstrElement* e = d.get_ustr(i);
      if (e == nullptr) continue;
      if (n++ > 0) s += ';';
      s += e->str + "=" + float_text(e->f1);
    }
  } else if (is_number_type(type)) {
    bool ints = type == velmor::DATA_INT || type == velmor::DATA_A_INT;
    for (int i = 0; i < d.value_count(); ++i)
      add(ints ? std::to_string(d.get_int(i)) : float_text(d.get_double(i)));
  } else if (is_text_type(type)) {
    for (int i = 0; i < d.value_count(); ++i) {
      if (n++ > 0) s += ';';
      s += d.get_text(i);
    }
  } else if (type == velmor::DATA_IMAGE) {
    n = static_cast<size_t>(d.get_image_length());
  }
  *count = n;
  return s;
}

namespace {

nlohmann::ordered_json spectrum_json(const velmor::SpectrumElement& e) {
  nlohmann::ordered_json j;
  j["name"] = e.comment;
  j["start"] = json_float(e.s_start);
  j["inc"] = json_float(e.s_inc);
  j["status"] = e.status;
  if (e.group) {
    j["id"] = e.id;
    j["groups"] = e.groups;
    j["group_size"] = e.group_size;
    j["group_inc"] = json_float(e.group_inc);
    j["stat_mask"] = e.stat_mask;
    nlohmann::ordered_json stats = nlohmann::ordered_json::array();
    for (float v : e.statistics) stats.push_back(json_float(v));
    j["statistics"] = std::move(stats);
  }
  nlohmann::ordered_json values = nlohmann::ordered_json::array();
  for (float v : e.data) values.push_back(json_float(v));
  j["values"] = std::move(values);
  return j;
}

}  // namespace

nlohmann::ordered_json value_json(const velmor::EqData& d) {
  int type = d.type();
  nlohmann::ordered_json j = nlohmann::ordered_json::object();
  if (is_spectrum(type)) {
    nlohmann::ordered_json spectra = nlohmann::ordered_json::array();
    for (int i = 0; i < d.spectrum_count(); ++i) {
      const velmor::SpectrumElement* e = d.get_spectrum(i);
      if (e != nullptr) spectra.push_back(spectrum_json(*e));
    }
    j["spectra"] = std::move(spectra);
  } else if (type == velmor::DATA_IMAGE) {
    const velmor::IMH* h = d.get_image_header();
    if (h != nullptr) {
      j["width"] = h->width;
      j["height"] = h->height;
      j["bpp"] = h->bpp;
      j["frame"] = h->frame;
    }
    j["comment"] = d.get_image_comm();
    j["length"] = d.get_image_length();
    const unsigned char* bytes = d.get_image_data();
    int n = d.get_image_length();
    j["data_base64"] = bytes != nullptr && n > 0 ? base64(bytes, static_cast<size_t>(n)) : "";
  } else if (type == velmor::DATA_A_USTR) {
    nlohmann::ordered_json items = nlohmann::ordered_json::array();
    for (int i = 0; i < d.ustr_count(); ++i) {
      const velmor::UstrElement* e = d.get_ustr(i);
      if (e == nullptr) continue;
      items.push_back({{"name", e->str},
                       {"value", json_float(e->f1)},
                       {"status", json_float(e->f2)},
                       {"number", e->i1},
                       {"time", e->tm}});
    }
    j["items"] = std::move(items);
  } else if (is_number_type(type)) {
    bool ints = type == velmor::DATA_INT || type == velmor::DATA_A_INT;
    nlohmann::ordered_json values = nlohmann::ordered_json::array();
    for (int i = 0; i < d.value_count(); ++i) {
      if (ints) {
        values.push_back(d.get_int(i));
      } else {
        values.push_back(json_float(d.get_double(i)));
      }
    }
    j["values"] = std::move(values);
  } else if (is_text_type(type)) {
    nlohmann::ordered_json texts = nlohmann::ordered_json::array();
    for (int i = 0; i < d.value_count(); ++i) texts.push_back(d.get_text(i));
    j["texts"] = std::move(texts);
  } else {
    return nullptr;
  }
  return j;
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
