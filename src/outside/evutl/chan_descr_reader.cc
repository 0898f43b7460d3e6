// Reader of the channel-description document. The SAX parser reports element
// starts only, so structure comes from order: bits and dimensions belong to the
// last description, statistics to its last dimension. A description joins the
// caller's list only once complete and checked (its counts against its
// children), and the whole call is undone on any failure, so a caller never
// holds half a list.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "chan_descr_format.h"
#include "daq_diag.h"
#include "daq_text.h"
#include "orxa_xml.h"

namespace {

using namespace chan_descr_xml;

enum ReadResult {
  kOk = 0,
  kBadArguments = -1,
  kNoRoot = -2,
  kBadAttribute = -3,
  kBadStructure = -4,
  kNotWellFormed = -5,
  kNoMemory = -6,
};

struct ChanDeleter {
  void operator()(chan_descr_2010* d) const { delete_chan_descr(d); }
};
using ChanHolder = std::unique_ptr<chan_descr_2010, ChanDeleter>;

class DescrListReader {
 public:
  explicit DescrListReader(SAX_Memory_Parser& parser) : parser_(parser) {}

  // Handles the element just reported by the parser.
  int element(const char* tag, std::vector<chan_descr_2010*>& out) {
    if (std::strcmp(tag, kChan) == 0) {
      int rc = finish(out);
      if (rc != kOk) return rc;
      return read_chan();
    }
    if (std::strcmp(tag, kBit) == 0) return read_bit();
    if (std::strcmp(tag, kDim) == 0) return read_dim();
    if (std::strcmp(tag, kStat) == 0) return read_stat();
    return kOk;
  }

  // Checks the description in progress and hands it to the list.
  int finish(std::vector<chan_descr_2010*>& out) {
    if (!current_) return kOk;
    chan_descr_2010& c = *current_;
    if (c.nbits != static_cast<long>(c.bits.size()) ||
        c.ndims != static_cast<long>(c.dims.size())) {
      return fail_structure(c.prop_name, "bit or dimension count does not match");
    }
    for (const dim_descr* d : c.dims) {
      if (d->nstats != static_cast<long>(d->stats.size())) {
        return fail_structure(c.prop_name, "statistics count does not match");
      }
    }
    out.push_back(current_.get());
    current_.release();
    return kOk;
  }

 private:
  int read_chan() {
    current_.reset(new chan_descr_2010());
    chan_descr_2010& c = *current_;
    if (!int_attr("stream", &c.stream) || !unsigned_attr("ev_type", &c.ev_type) ||
        !int_attr("count", &c.count) || !unsigned_attr("dtype", &c.dtype) ||
        !int_attr("db_key", &c.db_key) || !text_attr("prop_name", c.prop_name) ||
        !text_attr("daq_name", c.daq_name) || !text_attr("prop_desc", c.prop_desc) ||
        !text_attr("units", c.units) || !int_attr("max_size", &c.max_size) ||
        !int_attr("nbits", &c.nbits) || !int_attr("ndims", &c.ndims) ||
        !text_attr("sb_name", c.sb_name) || !int_attr("set_point", &c.set_point) ||
        !text_attr("subsystem", c.subsystem)) {
      return kBadAttribute;
    }
    return kOk;
  }

  int read_bit() {
    if (!current_) return fail_structure(kBit, "outside a channel description");
    std::unique_ptr<bit_descr> b(new bit_descr());
    if (!int_attr("bit", &b->bit) || !text_attr("name", b->bit_name) ||
        !text_attr("desc", b->bit_desc)) {
      return kBadAttribute;
    }
    current_->bits.push_back(b.get());
    b.release();
    return kOk;
  }

  int read_dim() {
    if (!current_) return fail_structure(kDim, "outside a channel description");
    std::unique_ptr<dim_descr> d(new dim_descr());
    if (!int_attr("dim", &d->dim) || !text_attr("name", d->dim_name) ||
        !text_attr("desc", d->dim_desc) || !text_attr("units", d->units) ||
        !int_attr("nstats", &d->nstats)) {
      return kBadAttribute;
    }
    current_->dims.push_back(d.get());
    d.release();
    return kOk;
  }

  int read_stat() {
    if (!current_ || current_->dims.empty()) return fail_structure(kStat, "outside a dimension");
    std::unique_ptr<stat_descr> s(new stat_descr());
    if (!int_attr("stat", &s->stat) || !text_attr("name", s->stat_name) ||
        !text_attr("desc", s->stat_desc) || !text_attr("units", s->units)) {
      return kBadAttribute;
    }
    current_->dims.back()->stats.push_back(s.get());
    s.release();
    return kOk;
  }

  const char* required(const char* name) {
    char* value = nullptr;
    if (parser_.get_attr(name, &value) != 0 || value == nullptr) {
      daq_print("parse_descr_list_read() missing attribute %s\n", name);
      return nullptr;
    }
    return value;
  }

  // Whole decimals only: a value a writer of this format would never produce is
  // refused rather than guessed at.
  bool number_attr(const char* name, long long min, long long max, long long* out) {
    const char* text = required(name);
    if (text == nullptr) return false;
    // strtoll would also take blanks and a '+' before the digits.
    const char* digits = *text == '-' ? text + 1 : text;
    if (*digits < '0' || *digits > '9') {
      daq_print("parse_descr_list_read() invalid number in %s\n", name);
      return false;
    }
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(text, &end, 10);
    if (end == text || *end != '\0' || errno == ERANGE || v < min || v > max) {
      daq_print("parse_descr_list_read() invalid number in %s\n", name);
      return false;
    }
    *out = v;
    return true;
  }

  bool int_attr(const char* name, int* field) {
    long long v = 0;
    if (!number_attr(name, INT_MIN, INT_MAX, &v)) return false;
    *field = static_cast<int>(v);
    return true;
  }

  bool unsigned_attr(const char* name, unsigned* field) {
    long long v = 0;
    if (!number_attr(name, 0, UINT_MAX, &v)) return false;
    *field = static_cast<unsigned>(v);
    return true;
  }

  template <std::size_t N>
  bool text_attr(const char* name, char (&field)[N]) {
    const char* text = required(name);
    if (text == nullptr) return false;
    copy_text(field, text);
    return true;
  }

  int fail_structure(const char* where, const char* why) {
    daq_print("parse_descr_list_read() %s: %s\n", where, why);
    return kBadStructure;
  }

  SAX_Memory_Parser& parser_;
  ChanHolder current_;
};

int read_list(SAX_Memory_Parser& parser, std::vector<chan_descr_2010*>& out) {
  if (!parser.init_ok() || parser.start()) {
    daq_line("parse_descr_list_read() cannot read the document");
    return kBadArguments;
  }
  DescrListReader reader(parser);
  bool in_list = false;
  char* tag = nullptr;
  char* value = nullptr;
  while (parser.parse(&tag, &value) == 0) {
    if (tag == nullptr) continue;
    if (!in_list) {
      in_list = std::strcmp(tag, kRoot) == 0;
      continue;
    }
    int rc = reader.element(tag, out);
    if (rc != kOk) return rc;
  }
  if (parser.get_error_counter() != 0) {
    daq_line("parse_descr_list_read() the document is not well-formed");
    return kNotWellFormed;
  }
  if (!in_list) {
    daq_print("parse_descr_list_read() no %s element\n", kRoot);
    return kNoRoot;
  }
  return reader.finish(out);
}

}  // namespace

int parse_descr_list_read(char* xml, std::vector<chan_descr_2010*>* vc, bool, bool) {
  if (xml == nullptr || vc == nullptr) {
    daq_line("parse_descr_list_read() no document or no list");
    return kBadArguments;
  }
  std::vector<chan_descr_2010*> added;
  int rc = kOk;
  try {
    SAX_Memory_Parser parser(xml);
    rc = read_list(parser, added);
    if (rc == kOk) vc->insert(vc->end(), added.begin(), added.end());
  } catch (const std::bad_alloc&) {
    daq_line("parse_descr_list_read() out of memory");
    rc = kNoMemory;
  } catch (...) {
    rc = kBadArguments;
  }
  if (rc != kOk) clean_chan_desr_list(&added);
  return rc;
}
