// Writer of the channel-description document. Counts are taken from the vectors
// rather than from the nbits/ndims/nstats fields, so a written document always
// agrees with itself and its reader can hold it to that. Text fields are read no
// further than their size, in case a producer left one unterminated.
#include <cstdio>
#include <cstring>
#include <string>

#include "chan_descr_format.h"
#include "daq_diag.h"
#include "daq_text.h"
#include "orxa_xml.h"

namespace {

using namespace chan_descr_xml;

template <class T>
int count_present(const std::vector<T*>& v) {
  int n = 0;
  for (const T* p : v) n += p != nullptr;
  return n;
}

void add_int(std::string& out, const char* name, long long value) {
  char num[32];
  std::snprintf(num, sizeof num, "%lld", value);
  out += ' ';
  out += name;
  out += "=\"";
  out += num;
  out += '"';
}

template <std::size_t N>
void add_text(std::string& out, const char* name, const char (&field)[N]) {
  std::string bounded(field, field_length(field));
  out += ' ';
  out += name;
  out += "=\"";
  append_xml_escaped(out, bounded.c_str());
  out += '"';
}

void open_start_tag(std::string& out, const char* name) {
  out += '<';
  out += name;
}

// Ends a start tag, as an empty element when nothing will be nested in it.
// Returns whether children follow.
bool close_start_tag(std::string& out, bool children) {
  out += children ? ">\n" : "/>\n";
  return children;
}

void write_stat(std::string& out, const stat_descr& s) {
  open_start_tag(out, kStat);
  add_int(out, "stat", s.stat);
  add_text(out, "name", s.stat_name);
  add_text(out, "desc", s.stat_desc);
  add_text(out, "units", s.units);
  close_start_tag(out, false);
}

void write_dim(std::string& out, const dim_descr& d) {
  int nstats = count_present(d.stats);
  open_start_tag(out, kDim);
  add_int(out, "dim", d.dim);
  add_text(out, "name", d.dim_name);
  add_text(out, "desc", d.dim_desc);
  add_text(out, "units", d.units);
  add_int(out, "nstats", nstats);
  if (!close_start_tag(out, nstats != 0)) return;
  for (const stat_descr* s : d.stats) {
    if (s != nullptr) write_stat(out, *s);
  }
  END_TAGN(out, kDim);
}

void write_chan(std::string& out, const chan_descr_2010& c) {
  int nbits = count_present(c.bits);
  int ndims = count_present(c.dims);
  open_start_tag(out, kChan);
  add_int(out, "stream", c.stream);
  add_int(out, "ev_type", c.ev_type);
  add_int(out, "count", c.count);
  add_int(out, "dtype", c.dtype);
  add_int(out, "db_key", c.db_key);
  add_text(out, "prop_name", c.prop_name);
  add_text(out, "daq_name", c.daq_name);
  add_text(out, "prop_desc", c.prop_desc);
  add_text(out, "units", c.units);
  add_int(out, "max_size", c.max_size);
  add_int(out, "nbits", nbits);
  add_int(out, "ndims", ndims);
  add_text(out, "sb_name", c.sb_name);
  add_int(out, "set_point", c.set_point);
  add_text(out, "subsystem", c.subsystem);
  if (!close_start_tag(out, nbits != 0 || ndims != 0)) return;
  for (const bit_descr* b : c.bits) {
    if (b == nullptr) continue;
    open_start_tag(out, kBit);
    add_int(out, "bit", b->bit);
    add_text(out, "name", b->bit_name);
    add_text(out, "desc", b->bit_desc);
    close_start_tag(out, false);
  }
  for (const dim_descr* d : c.dims) {
    if (d != nullptr) write_dim(out, *d);
  }
  END_TAGN(out, kChan);
}

}  // namespace

const char* get_chan_descr_root_tag(int, int) { return kRoot; }

int dump_chan_desr(std::vector<chan_descr_2010*>* vc, char*, int, int, int, std::string* out,
                   std::vector<chan_descr_2010*>*) {
  if (vc == nullptr || out == nullptr) return -1;
  // Built aside and appended whole: a failure leaves *out as it was.
  try {
    std::string doc;
    set_xml_header(doc);
    START_TAGN(doc, kRoot);
    for (const chan_descr_2010* c : *vc) {
      if (c != nullptr) write_chan(doc, *c);
    }
    END_TAGN(doc, kRoot);
    out->append(doc);
  } catch (...) {
    daq_line("dump_chan_desr() out of memory");
    return -2;
  }
  return 0;
}
