// Building and comparing description lists for the tests.
#ifndef CHAN_DESCR_FIXTURE_H
#define CHAN_DESCR_FIXTURE_H

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "orxa_chan_descr.h"

class DescrList {
 public:
  DescrList() = default;
  ~DescrList() { clean_chan_desr_list(&v); }
  DescrList(const DescrList&) = delete;
  DescrList& operator=(const DescrList&) = delete;
  std::vector<chan_descr_2010*> v;
};

template <std::size_t N>
void set_text(char (&field)[N], const std::string& text) {
  std::size_t n = text.size() < N - 1 ? text.size() : N - 1;
  std::memcpy(field, text.data(), n);
  field[n] = '\0';
}

class RandomDescr {
 public:
  explicit RandomDescr(unsigned seed) : rng_(seed) {}

  chan_descr_2010* make() {
    auto* c = new chan_descr_2010();
    c->stream = any_int();
    c->ev_type = static_cast<unsigned>(rng_());
    c->count = any_int();
    c->dtype = pick(4) == 0 ? UINT_MAX : static_cast<unsigned>(rng_() % 100);
    c->db_key = any_int();
    set_text(c->prop_name, text(255));
    set_text(c->daq_name, text(255));
    set_text(c->prop_desc, text(255));
    set_text(c->units, text(15));
    c->max_size = any_int();
    c->nbits = static_cast<int>(pick(4));
    for (int i = 0; i < c->nbits; ++i) {
      auto* b = new bit_descr();
      b->bit = any_int();
      set_text(b->bit_name, text(63));
      set_text(b->bit_desc, text(79));
      c->bits.push_back(b);
    }
    c->ndims = static_cast<int>(pick(3));
    for (int i = 0; i < c->ndims; ++i) {
      auto* d = new dim_descr();
      d->dim = any_int();
      set_text(d->dim_name, text(63));
      set_text(d->dim_desc, text(79));
      set_text(d->units, text(15));
      d->nstats = static_cast<int>(pick(3));
      for (int k = 0; k < d->nstats; ++k) {
        auto* s = new stat_descr();
        s->stat = any_int();
        set_text(s->stat_name, text(63));
        set_text(s->stat_desc, text(79));
        set_text(s->units, text(15));
        d->stats.push_back(s);
      }
      c->dims.push_back(d);
    }
    set_text(c->sb_name, text(255));
    c->set_point = any_int();
    set_text(c->subsystem, text(63));
    return c;
  }

 private:
  unsigned pick(unsigned n) { return static_cast<unsigned>(rng_() % n); }
  int any_int() {
    switch (pick(5)) {
      case 0:
        return INT_MIN;
      case 1:
        return INT_MAX;
      case 2:
        return 0;
      default:
        return static_cast<int>(rng_());
    }
  }
  // Texts of up to max bytes from ASCII, the special characters and whole UTF-8
  // sequences (never cut, so the field holds the text exactly).
  std::string text(std::size_t max) {
    static const char* const pieces[] = {"a",
                                         "Z",
                                         "9",
                                         "/",
                                         " ",
                                         "\"",
                                         "'",
                                         "<",
                                         ">",
                                         "&",
                                         "\t",
                                         "\n",
                                         "\r",
                                         "&amp;",
                                         "\xC3\xA4",
                                         "\xE2\x82\xAC",
                                         "\xF0\x9F\x98\x80",
                                         "]]>",
                                         "-"};
    std::string out;
    std::size_t want = pick(3) == 0 ? max : pick(static_cast<unsigned>(max) + 1);
    while (true) {
      const char* p = pieces[pick(sizeof pieces / sizeof pieces[0])];
      if (out.size() + std::strlen(p) > want) break;
      out += p;
    }
    return out;
  }
  std::mt19937 rng_;
};

inline void expect_same(const chan_descr_2010& a, const chan_descr_2010& b) {
  EXPECT_EQ(a.stream, b.stream);
  EXPECT_EQ(a.ev_type, b.ev_type);
  EXPECT_EQ(a.count, b.count);
  EXPECT_EQ(a.dtype, b.dtype);
  EXPECT_EQ(a.db_key, b.db_key);
  EXPECT_STREQ(a.prop_name, b.prop_name);
  EXPECT_STREQ(a.daq_name, b.daq_name);
  EXPECT_STREQ(a.prop_desc, b.prop_desc);
  EXPECT_STREQ(a.units, b.units);
  EXPECT_EQ(a.max_size, b.max_size);
  EXPECT_EQ(a.nbits, b.nbits);
  EXPECT_EQ(a.ndims, b.ndims);
  EXPECT_STREQ(a.sb_name, b.sb_name);
  EXPECT_EQ(a.set_point, b.set_point);
  EXPECT_STREQ(a.subsystem, b.subsystem);
  ASSERT_EQ(a.bits.size(), b.bits.size());
  for (std::size_t i = 0; i < a.bits.size(); ++i) {
    EXPECT_EQ(a.bits[i]->bit, b.bits[i]->bit);
    EXPECT_STREQ(a.bits[i]->bit_name, b.bits[i]->bit_name);
    EXPECT_STREQ(a.bits[i]->bit_desc, b.bits[i]->bit_desc);
  }
  ASSERT_EQ(a.dims.size(), b.dims.size());
  for (std::size_t i = 0; i < a.dims.size(); ++i) {
    const dim_descr& x = *a.dims[i];
    const dim_descr& y = *b.dims[i];
    EXPECT_EQ(x.dim, y.dim);
    EXPECT_STREQ(x.dim_name, y.dim_name);
    EXPECT_STREQ(x.dim_desc, y.dim_desc);
    EXPECT_STREQ(x.units, y.units);
    EXPECT_EQ(x.nstats, y.nstats);
    ASSERT_EQ(x.stats.size(), y.stats.size());
    for (std::size_t k = 0; k < x.stats.size(); ++k) {
      EXPECT_EQ(x.stats[k]->stat, y.stats[k]->stat);
      EXPECT_STREQ(x.stats[k]->stat_name, y.stats[k]->stat_name);
      EXPECT_STREQ(x.stats[k]->stat_desc, y.stats[k]->stat_desc);
      EXPECT_STREQ(x.stats[k]->units, y.stats[k]->units);
    }
  }
}

#endif
