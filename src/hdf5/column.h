// Column: one extendible dataset of a channel group and the rows buffered for
// it. Rows are kept in memory between flushes and appended in one block, so a
// record costs a copy and a flush costs one extent change and one write per
// dataset.
#ifndef DAQ_HDF5_COLUMN_H
#define DAQ_HDF5_COLUMN_H

#include <hdf5.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "h5_handle.h"

class Column {
 public:
  enum class Form { fixed, text, bytes };

  // A column of rows of `inner` elements of `type` (copied; native types), or
  // of one variable-length string or byte string per row.
  Column(std::string name, hid_t type, std::vector<hsize_t> inner, Form form = Form::fixed);

  // Creates the dataset, shape (0, inner...), first axis unlimited, chunked
  // (rows per chunk from the row size), gzip at level 1..9 when gzip > 0.
  bool create(hid_t group, int gzip);
  // Opens the existing dataset again (after the file was reopened).
  bool open(hid_t group);
  void close() { ds_.reset(); }

  // Fixed form: space for `rows` more rows, zero-filled, to be filled in place.
  void* grow(size_t rows);
  void add(const void* row) { add_rows(row, 1); }
  void add_rows(const void* rows, size_t n);
  // Text and byte forms: one element each; a row is complete once it has the
  // product of the inner sizes of them.
  void add_text(const std::string& text);
  void add_bytes(const void* data, size_t n);

  size_t pending_rows() const;
  size_t pending_bytes() const { return buf_.size(); }
  size_t row_bytes() const { return row_bytes_; }
  const std::string& name() const { return name_; }
  // Appends the pending rows to the dataset; true on failure (rows kept).
  bool write();

 private:
  H5Handle access() const;

  std::string name_;
  H5Handle type_;
  std::vector<hsize_t> inner_;
  Form form_;
  size_t row_bytes_;  // bytes of a row in memory (fixed form)
  H5Handle ds_;
  hsize_t rows_ = 0;                // rows in the file
  size_t pending_ = 0;              // fixed form: rows
  size_t elements_ = 1;             // elements of a row
  std::vector<unsigned char> buf_;  // fixed rows, or the bytes of every pending text/blob
  std::vector<size_t> ends_;        // text/blob form: end of each pending row in buf_
};

#endif
