// Rows per chunk: about 1 MiB of rows, 1 to 4096 of them, so small values are
// appended into a shared chunk and an image is one chunk that HDF5 writes
// straight to the file (a row that fills its chunk bypasses the chunk cache).
#include "column.h"

#include <algorithm>
#include <cstring>

#include "h5_attributes.h"

namespace {

constexpr size_t kChunkTarget = 1u << 20;
constexpr hsize_t kMaxChunkRows = 4096;

hid_t type_for(hid_t type, Column::Form form) {
  if (form == Column::Form::text) return h5_vlen_string_type();
  if (form == Column::Form::bytes) return H5Tvlen_create(H5T_NATIVE_UINT8);
  return H5Tcopy(type);
}

}  // namespace

// A chunk of one row is always written whole: with no chunk cache it goes from
// our buffer to the file without a copy into the cache first.
H5Handle Column::access() const {
  H5Handle dapl = h5_plist(H5Pcreate(H5P_DATASET_ACCESS));
  if (dapl.valid() && row_bytes_ >= kChunkTarget)
    H5Pset_chunk_cache(dapl.get(), 0, 0, H5D_CHUNK_CACHE_W0_DEFAULT);
  return dapl;
}

Column::Column(std::string name, hid_t type, std::vector<hsize_t> inner, Form form)
    : name_(std::move(name)),
      type_(h5_type(type_for(type, form))),
      inner_(std::move(inner)),
      form_(form) {
  for (hsize_t n : inner_) elements_ *= n;
  row_bytes_ = H5Tget_size(type_.get()) * elements_;
  if (elements_ == 0) elements_ = 1;  // texts of an empty row: none are added
}

bool Column::create(hid_t group, int gzip) {
  std::vector<hsize_t> dims{0}, max{H5S_UNLIMITED}, chunk;
  dims.insert(dims.end(), inner_.begin(), inner_.end());
  // A chunk may not exceed a fixed dimension: an empty inner axis (an empty
  // array) is declared unlimited so that its chunk of 1 is allowed.
  for (hsize_t n : inner_) max.push_back(n == 0 ? H5S_UNLIMITED : n);
  hsize_t rows =
      std::clamp<hsize_t>(kChunkTarget / std::max<size_t>(row_bytes_, 1), 1, kMaxChunkRows);
  chunk.push_back(rows);
  for (hsize_t n : inner_) chunk.push_back(std::max<hsize_t>(n, 1));
  H5Handle space =
      h5_space(H5Screate_simple(static_cast<int>(dims.size()), dims.data(), max.data()));
  H5Handle dcpl = h5_plist(H5Pcreate(H5P_DATASET_CREATE));
  if (!space.valid() || !dcpl.valid()) return true;
  if (H5Pset_chunk(dcpl.get(), static_cast<int>(chunk.size()), chunk.data()) < 0) return true;
  // Shuffling the bytes of multi-byte numbers first lets gzip find the slowly
  // changing high bytes: smaller files, and less time in the compressor.
  if (gzip > 0 && H5Tget_size(type_.get()) > 1 && H5Pset_shuffle(dcpl.get()) < 0) return true;
  if (gzip > 0 && H5Pset_deflate(dcpl.get(), static_cast<unsigned>(gzip)) < 0) return true;
  ds_ = h5_dataset(H5Dcreate2(group, name_.c_str(), type_.get(), space.get(), H5P_DEFAULT,
                              dcpl.get(), access().get()));
  rows_ = 0;
  return !ds_.valid();
}

bool Column::open(hid_t group) {
  ds_ = h5_dataset(H5Dopen2(group, name_.c_str(), access().get()));
  if (!ds_.valid()) return true;
  H5Handle space = h5_space(H5Dget_space(ds_.get()));
  std::vector<hsize_t> dims(inner_.size() + 1);
  if (H5Sget_simple_extent_dims(space.get(), dims.data(), nullptr) < 0) return true;
  rows_ = dims[0];
  return false;
}

void* Column::grow(size_t rows) {
  size_t at = buf_.size();  // fixed form only
  buf_.resize(at + rows * row_bytes_);
  pending_ += rows;
  return buf_.data() + at;
}

void Column::add_rows(const void* rows, size_t n) {
  if (n > 0) std::memcpy(grow(n), rows, n * row_bytes_);
}

void Column::add_text(const std::string& text) {
  // Stored with its NUL: the write hands HDF5 C strings in place. A text with
  // a NUL inside ends there, as HDF5 strings do.
  buf_.insert(buf_.end(), text.c_str(), text.c_str() + text.size() + 1);
  ends_.push_back(buf_.size());
}

void Column::add_bytes(const void* data, size_t n) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  buf_.insert(buf_.end(), p, p + n);
  ends_.push_back(buf_.size());
}

size_t Column::pending_rows() const {
  return form_ == Form::fixed ? pending_ : ends_.size() / elements_;
}

bool Column::write() {
  size_t pending = pending_rows();
  if (pending == 0) return false;
  if (!ds_.valid()) return true;
  std::vector<hsize_t> dims{rows_ + pending}, start{rows_}, count{pending};
  for (hsize_t n : inner_) {
    dims.push_back(n);
    start.push_back(0);
    count.push_back(n);
  }
  if (H5Dset_extent(ds_.get(), dims.data()) < 0) return true;
  H5Handle file_space = h5_space(H5Dget_space(ds_.get()));
  if (H5Sselect_hyperslab(file_space.get(), H5S_SELECT_SET, start.data(), nullptr, count.data(),
                          nullptr) < 0)
    return true;
  H5Handle mem_space =
      h5_space(H5Screate_simple(static_cast<int>(count.size()), count.data(), nullptr));
  herr_t rc;
  if (form_ == Form::fixed) {
    rc = H5Dwrite(ds_.get(), type_.get(), mem_space.get(), file_space.get(), H5P_DEFAULT,
                  buf_.data());
  } else if (form_ == Form::text) {
    std::vector<const char*> texts(ends_.size());
    size_t begin = 0;
    for (size_t i = 0; i < texts.size(); ++i) {
      texts[i] = reinterpret_cast<const char*>(buf_.data() + begin);
      begin = ends_[i];
    }
    rc = H5Dwrite(ds_.get(), type_.get(), mem_space.get(), file_space.get(), H5P_DEFAULT,
                  texts.data());
  } else {
    std::vector<hvl_t> blobs(ends_.size());
    size_t begin = 0;
    for (size_t i = 0; i < blobs.size(); ++i) {
      blobs[i].len = ends_[i] - begin;
      blobs[i].p = buf_.data() + begin;
      begin = ends_[i];
    }
    rc = H5Dwrite(ds_.get(), type_.get(), mem_space.get(), file_space.get(), H5P_DEFAULT,
                  blobs.data());
  }
  if (rc < 0) return true;
  rows_ += pending;
  pending_ = 0;
  buf_.clear();
  ends_.clear();
  return false;
}
