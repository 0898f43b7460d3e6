// Channel catalog: the built-in default and the line-oriented catalog file.
// A file is taken whole or not at all, so a half-read catalog never serves. The
// file is read only up to its bound, so a device or a runaway file cannot take
// the server's memory, and every channel must fit one event of the data link.
#include "channel_catalog.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <unordered_set>

#include "daq_text.h"
#include "event_synth.h"
#include "orxa_chan_descr.h"
#include "orxa_evutl.h"
#include "tidewire.h"

namespace {

const char kBuiltinCatalog[] =
    "DIAG/TOROID/T1.SPECT    spectrum  length=1024 units=mA desc=\"toroid current\"\n"
    "DIAG/ADC/INPUTS         multi-a   length=64 units=V desc=\"ADC inputs\"\n"
    "DIAG/BPM/BPM1           multi-b   length=16 units=mm desc=\"beam position monitor\"\n"
    "DIAG/GSPECT/G1          gspectrum subs=2 length=256 groups=4 units=V\n"
    "CAMERA/SCREEN/IMAGE     image     width=160 height=120 bpp=2\n"
    "RF/STATUS/NAMES         namval    values=8\n"
    "VACUUM/UPDATE/PUMPS     update    values=6 units=mbar\n"
    "MAGNET/QUAD/Q1.CURRENT  eqdata    length=16 units=A\n"
    "TIMING/TRIGGER/STAMP    stamp\n"
    "SLOW/TEMP/T1            slow      units=C\n"
    "SLOW/PRESSURE/P1        slow      units=mbar\n";

constexpr long kMaxImageBytes = 64L * 1024 * 1024;

struct KindName {
  const char* name;
  ChannelKind kind;
};
const KindName kKinds[] = {
    {"spectrum", ChannelKind::spectrum}, {"multi-a", ChannelKind::multi_a},
    {"multi-b", ChannelKind::multi_b},   {"gspectrum", ChannelKind::group_spectrum},
    {"image", ChannelKind::image},       {"namval", ChannelKind::name_value},
    {"update", ChannelKind::update},     {"eqdata", ChannelKind::data_object},
    {"stamp", ChannelKind::stamp},       {"slow", ChannelKind::slow},
};

// Splits a line into blank-separated tokens; a double-quoted part may hold blanks.
bool split_tokens(const std::string& line, std::vector<std::string>* tokens) {
  std::string token;
  bool in_token = false;
  bool quoted = false;
  for (char c : line) {
    if (quoted) {
      if (c == '"')
        quoted = false;
      else
        token += c;
    } else if (c == '"') {
      quoted = true;
      in_token = true;
    } else if (c == ' ' || c == '\t' || c == '\r') {
      if (in_token) tokens->push_back(token);
      token.clear();
      in_token = false;
    } else {
      token += c;
      in_token = true;
    }
  }
  if (quoted) return true;
  if (in_token) tokens->push_back(token);
  return false;
}

bool read_int(const std::string& text, long low, long high, int* out) {
  if (text.empty()) return true;
  errno = 0;
  char* end = nullptr;
  long v = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < low || v > high) return true;
  *out = static_cast<int>(v);
  return false;
}

void apply_defaults(CatalogChannel* c) {
  switch (c->kind) {
    case ChannelKind::spectrum:
      c->length = 1024;
      break;
    case ChannelKind::multi_a:
      c->length = 64;
      break;
    case ChannelKind::multi_b:
      c->length = 16;
      break;
    case ChannelKind::group_spectrum:
      c->subs = 2;
      c->length = 256;
      c->groups = 4;
      break;
    case ChannelKind::image:
      c->width = 160;
      c->height = 120;
      c->bpp = 2;
      break;
    case ChannelKind::name_value:
      c->values = 8;
      break;
    case ChannelKind::update:
      c->values = 6;
      break;
    case ChannelKind::data_object:
      c->length = 16;
      break;
    case ChannelKind::stamp:
    case ChannelKind::slow:
      break;
  }
}

// Applies one key=value; a one-line reason in *why on failure.
bool apply_key(CatalogChannel* c, const std::string& key, const std::string& value,
               std::string* why) {
  bool bad = false;
  if (key == "length")
    bad = read_int(value, 1, 1048576, &c->length);
  else if (key == "groups")
    bad = read_int(value, 1, 1024, &c->groups);
  else if (key == "subs")
    bad = read_int(value, 1, 64, &c->subs);
  else if (key == "values")
    bad = read_int(value, 1, 1024, &c->values);
  else if (key == "width")
    bad = read_int(value, 1, 8192, &c->width);
  else if (key == "height")
    bad = read_int(value, 1, 8192, &c->height);
  else if (key == "bpp")
    bad = read_int(value, 1, 8, &c->bpp);
  else if (key == "device")
    bad = read_int(value, 0, 65535, &c->device);
  else if (key == "units") {
    bad = value.size() > 15;
    c->units = value;
  } else if (key == "desc") {
    bad = value.size() > 255;
    c->desc = value;
  } else {
    *why = "unknown key '" + key + "'";
    return true;
  }
  if (bad) *why = "bad value for " + key + ": '" + value + "'";
  return bad;
}

bool parse_line(const std::vector<std::string>& tokens, CatalogChannel* c, std::string* why) {
  if (tokens.size() < 2) {
    *why = "a channel needs a name and a kind";
    return true;
  }
  c->name = tokens[0];
  if (c->name.size() > 255) {
    *why = "channel name longer than 255 bytes";
    return true;
  }
  bool known = false;
  for (const KindName& k : kKinds) {
    if (tokens[1] == k.name) {
      c->kind = k.kind;
      known = true;
    }
  }
  if (!known) {
    *why = "unknown kind '" + tokens[1] + "'";
    return true;
  }
  apply_defaults(c);
  for (size_t i = 2; i < tokens.size(); ++i) {
    size_t eq = tokens[i].find('=');
    if (eq == std::string::npos) {
      *why = "expected key=value, got '" + tokens[i] + "'";
      return true;
    }
    if (apply_key(c, tokens[i].substr(0, eq), tokens[i].substr(eq + 1), why)) return true;
  }
  if (c->kind == ChannelKind::image &&
      static_cast<long>(c->width) * c->height * c->bpp > kMaxImageBytes) {
    *why = "image larger than 64 MB";
    return true;
  }
  if (c->kind == ChannelKind::group_spectrum &&
      static_cast<long>(c->length) * c->groups * c->subs > 1048576) {
    *why = "group spectrum with more than 1048576 values";
    return true;
  }
  // The larger headers of the 2024 generation, so the channel fits either one.
  uint64_t bytes = synth_event_bytes(true, {c});
  if (bytes > TIDEWIRE_MAX_MESSAGE) {
    *why = "one event of this channel takes " + std::to_string(bytes) +
           " bytes, more than the data link carries (" + std::to_string(TIDEWIRE_MAX_MESSAGE) + ")";
    return true;
  }
  return false;
}

// A byte that would break the one-line messages or the fixed text fields.
bool control_character(const std::string& line) {
  for (char c : line) {
    unsigned char u = static_cast<unsigned char>(c);
    if ((u < 0x20 && c != '\t' && c != '\r') || u == 0x7f) return true;
  }
  return false;
}

}  // namespace

int channel_data_type(ChannelKind kind) {
  switch (kind) {
    case ChannelKind::spectrum:
      return ORXA_DT_SPECTRUM;
    case ChannelKind::multi_a:
      return ORXA_MULTI_SPECT_A;
    case ChannelKind::multi_b:
      return ORXA_MULTI_SPECT_B;
    case ChannelKind::group_spectrum:
      return ORXA_DT_GSPECTRUM;
    case ChannelKind::image:
      return ORXA_DT_IMAGE_EXT;
    case ChannelKind::name_value:
      return ORXA_DT_NAMVAL;
    case ChannelKind::update:
      return ORXA_UPD_BLOCK_2010;
    case ChannelKind::data_object:
      return ORXA_DT_EQDATA;
    case ChannelKind::stamp:
      return ORXA_DT_STAMP;
    case ChannelKind::slow:
      return 0;
  }
  return 0;
}

int channel_type_word(const CatalogChannel& channel) {
  return orxa_type_word(channel_data_type(channel.kind), channel.device);
}

bool channel_has_samples(ChannelKind kind) {
  return kind == ChannelKind::spectrum || kind == ChannelKind::multi_a ||
         kind == ChannelKind::multi_b || kind == ChannelKind::group_spectrum;
}

int channel_samples(const CatalogChannel& channel) {
  return channel.sample_count >= 0 ? channel.sample_count : channel.length;
}

const char* channel_kind_name(ChannelKind kind) {
  for (const KindName& k : kKinds) {
    if (k.kind == kind) return k.name;
  }
  return "?";
}

int channel_value_count(const CatalogChannel& channel) {
  switch (channel.kind) {
    case ChannelKind::group_spectrum:
      return channel_samples(channel) * channel.groups;
    case ChannelKind::image:
      return channel.width * channel.height;
    case ChannelKind::name_value:
    case ChannelKind::update:
      return channel.values;
    case ChannelKind::stamp:
    case ChannelKind::slow:
      return 1;
    case ChannelKind::data_object:
      return channel.length;
    default:
      return channel_samples(channel);
  }
}

ChannelCatalog ChannelCatalog::builtin() {
  ChannelCatalog catalog;
  std::string error;
  catalog.load_text(kBuiltinCatalog, "built-in", &error);
  return catalog;
}

bool ChannelCatalog::load_file(const std::string& path, std::string* error) {
  FILE* in = std::fopen(path.c_str(), "rb");
  if (in == nullptr) {
    *error = "daq-server: catalog " + path + " cannot be read";
    return true;
  }
  // Lines are measured as they arrive, so a file without line ends stops at the
  // first over-long line; one byte past the size bound tells a file at the bound
  // from a larger one.
  std::string text;
  std::string why;
  int line = 1;
  size_t line_bytes = 0;
  char chunk[65536];
  size_t got = 0;
  while (why.empty() && (got = std::fread(chunk, 1, sizeof chunk, in)) > 0) {
    for (const char* p = chunk; p < chunk + got;) {
      const char* end = static_cast<const char*>(std::memchr(p, '\n', chunk + got - p));
      line_bytes += static_cast<size_t>((end != nullptr ? end : chunk + got) - p);
      if (line_bytes > kMaxCatalogLineBytes) {
        why = ":" + std::to_string(line) + ": line longer than " +
              std::to_string(kMaxCatalogLineBytes) + " bytes, the catalog's limit";
        break;
      }
      if (end == nullptr) break;
      ++line;
      line_bytes = 0;
      p = end + 1;
    }
    text.append(chunk, got);
    if (why.empty() && text.size() > static_cast<size_t>(kMaxCatalogBytes)) {
      why = ": larger than " + std::to_string(kMaxCatalogBytes) + " bytes, the catalog's limit";
    }
  }
  bool failed = std::ferror(in) != 0;
  std::fclose(in);
  if (failed) {
    *error = "daq-server: catalog " + path + " cannot be read";
    return true;
  }
  if (!why.empty()) {
    *error = "daq-server: catalog " + path + why;
    return true;
  }
  return load_text(text, path, error);
}

bool ChannelCatalog::load_text(const std::string& text, const std::string& path,
                               std::string* error) {
  std::vector<CatalogChannel> read;
  std::unordered_set<std::string> names;  // a large file must not cost quadratic time
  std::istringstream lines(text);
  std::string line;
  int number = 0;
  while (std::getline(lines, line)) {
    ++number;
    std::vector<std::string> tokens;
    std::string why;
    CatalogChannel channel;
    size_t first = line.find_first_not_of(" \t\r");
    if (line.size() > kMaxCatalogLineBytes) {
      why = "line longer than " + std::to_string(kMaxCatalogLineBytes) +
            " bytes, the catalog's limit";
    } else if (first == std::string::npos || line[first] == '#') {
      continue;
    } else if (control_character(line)) {
      why = "control character in the line";
    } else if (split_tokens(line, &tokens)) {
      why = "unterminated quote";
    } else if (!parse_line(tokens, &channel, &why) && !names.insert(channel.name).second) {
      why = "channel " + channel.name + " given twice";
    }
    if (!why.empty()) {
      *error = "daq-server: catalog " + path + ":" + std::to_string(number) + ": " + why;
      return true;
    }
    read.push_back(channel);
  }
  if (read.empty()) {
    *error = "daq-server: catalog " + path + " holds no channel";
    return true;
  }
  channels_ = std::move(read);
  return false;
}

const CatalogChannel* ChannelCatalog::find(const std::string& name) const {
  for (const CatalogChannel& c : channels_) {
    if (c.name == name) return &c;
  }
  return nullptr;
}

void ChannelCatalog::describe(const std::vector<const CatalogChannel*>& channels,
                              std::vector<chan_descr_2010*>* out) {
  for (const CatalogChannel* c : channels) {
    auto* d = new chan_descr_2010();
    d->stream = 1;
    d->ev_type = 0;
    d->count = channel_value_count(*c);
    d->dtype = static_cast<unsigned>(channel_data_type(c->kind));
    d->db_key = 0;
    copy_text(d->prop_name, c->name.c_str());
    copy_text(d->daq_name, c->name.c_str());
    copy_text(d->prop_desc, c->desc.c_str());
    copy_text(d->units, c->units.c_str());
    d->max_size =
        c->kind == ChannelKind::image ? c->width * c->height * c->bpp : 4 * channel_value_count(*c);
    d->nbits = 0;
    d->ndims = 0;
    bool spectral = c->kind == ChannelKind::spectrum || c->kind == ChannelKind::multi_a ||
                    c->kind == ChannelKind::multi_b || c->kind == ChannelKind::group_spectrum;
    if (spectral) {
      auto* dim = new dim_descr();
      dim->dim = 0;
      copy_text(dim->dim_name, "sample");
      copy_text(dim->dim_desc, "sample index");
      copy_text(dim->units, c->units.c_str());
      dim->nstats = 0;
      d->dims.push_back(dim);
      d->ndims = 1;
    }
    d->sb_name[0] = '\0';
    d->set_point = 0;
    std::string subsystem = c->name.substr(0, c->name.find('/'));
    copy_text(d->subsystem, subsystem.c_str());
    out->push_back(d);
  }
}
