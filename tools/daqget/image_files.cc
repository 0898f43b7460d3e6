// The sizes in an image header come from the network: they are checked
// against the bytes actually held before a row is read.
#include "image_files.h"

#include <png.h>
#include <sys/stat.h>
#include <tiffio.h>
#include <unistd.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <vector>

#include "fetched_record.h"
#include "velmor.h"

namespace {

// libpng reports through longjmp; the message is kept for our own line.
struct PngFailure {
  std::jmp_buf jump;
  char text[200];
};

void png_failed(png_structp png, png_const_charp message) {
  auto* failure = static_cast<PngFailure*>(png_get_error_ptr(png));
  std::snprintf(failure->text, sizeof failure->text, "%s", message);
  std::longjmp(failure->jump, 1);
}

void png_warned(png_structp, png_const_charp) {}

// Only plain data between setjmp and longjmp: nothing to unwind.
bool write_png(std::FILE* f, const unsigned char* pixels, int width, int height, int bpp,
               std::string* error) {
  PngFailure failure{};
  png_structp png =
      png_create_write_struct(PNG_LIBPNG_VER_STRING, &failure, png_failed, png_warned);
  if (png == nullptr) {
    *error = "out of memory";
    return true;
  }
  png_infop info = png_create_info_struct(png);
  if (info == nullptr) {
    png_destroy_write_struct(&png, nullptr);
    *error = "out of memory";
    return true;
  }
  if (setjmp(failure.jump) != 0) {
    png_destroy_write_struct(&png, &info);
    *error = failure.text;
    return true;
  }
  png_init_io(png, f);
  png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height),
               bpp == 2 ? 16 : 8, bpp == 3 ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  if (bpp == 2) png_set_swap(png);  // little-endian samples, PNG's are big-endian
  size_t row_bytes = static_cast<size_t>(width) * static_cast<size_t>(bpp);
  for (int y = 0; y < height; ++y) png_write_row(png, pixels + row_bytes * static_cast<size_t>(y));
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return false;
}

// libtiff's handlers print several lines of their own; ours is the one line.
void tiff_quiet(const char*, const char*, va_list) {}

bool write_tiff(const std::string& path, const unsigned char* pixels, int width, int height,
                std::string* error) {
  TIFFSetErrorHandler(tiff_quiet);
  TIFFSetWarningHandler(tiff_quiet);
  TIFF* t = TIFFOpen(path.c_str(), "w");
  if (t == nullptr) {
    *error = "cannot create the file";
    return true;
  }
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(width));
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(height));
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 32);
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
  TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_UINT);
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
  TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(t, 0));
  // The file holds samples in this machine's order; the frame's are little-endian.
  std::vector<uint32_t> row(static_cast<size_t>(width));
  bool failed = false;
  for (int y = 0; y < height && !failed; ++y) {
    const unsigned char* p = pixels + static_cast<size_t>(y) * row.size() * 4;
    for (size_t x = 0; x < row.size(); ++x, p += 4)
      row[x] = p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
    failed = TIFFWriteScanline(t, row.data(), static_cast<uint32_t>(y), 0) < 0;
  }
  // Closing writes the directory: a full disk may only show here.
  failed = !TIFFFlush(t) || failed;
  TIFFClose(t);
  if (failed) *error = "write failed";
  return failed;
}

bool make_directories(const std::string& dir) {
  for (size_t at = dir.find('/', 1);; at = dir.find('/', at + 1)) {
    std::string part = dir.substr(0, at);
    if (mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) return true;
    if (at == std::string::npos) break;
  }
  struct stat st {};
  if (stat(dir.c_str(), &st) != 0) return true;
  if (!S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    return true;
  }
  return false;
}

}  // namespace

bool ImageFiles::open(const std::string& dir, std::string* error) {
  if (make_directories(dir)) {
    *error = "daqget: --save-images " + dir + ": " + std::strerror(errno);
    return true;
  }
  dir_ = dir.back() == '/' ? dir : dir + "/";
  return false;
}

std::string ImageFiles::file_name(uint64_t event, const std::string& channel, int bpp) {
  if (bpp < 1 || bpp > 4) return "";
  char number[32];
  std::snprintf(number, sizeof number, "%010llu_", static_cast<unsigned long long>(event));
  std::string name = number;
  // A name stays well inside the 255 bytes a file name may have.
  for (size_t i = 0; i < channel.size() && i < 200; ++i) {
    char c = channel[i];
    bool safe = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                c == '.' || c == '-';
    name += safe ? c : '_';
  }
  return name + (bpp == 4 ? ".tif" : ".png");
}

bool ImageFiles::save_image(uint64_t event, const std::string& channel,
                            const velmor::EqData& image) {
  if (failed_ || dir_.empty()) return true;
  const velmor::IMH* h = image.get_image_header();
  const unsigned char* pixels = image.get_image_data();
  std::string reason;
  std::string name;
  if (h == nullptr) {
    reason = "no image header";
  } else if (h->width <= 0 || h->height <= 0) {
    reason = "size " + std::to_string(h->width) + "x" + std::to_string(h->height);
  } else if ((name = file_name(event, channel, h->bpp)).empty()) {
    reason = "no picture form for " + std::to_string(h->bpp) + " bytes a pixel";
  } else {
    uint64_t need = static_cast<uint64_t>(h->width) * static_cast<uint64_t>(h->height) *
                    static_cast<uint64_t>(h->bpp);
    uint64_t held = pixels != nullptr ? static_cast<uint64_t>(image.get_image_length()) : 0;
    if (need > held) {
      reason = std::to_string(h->width) + "x" + std::to_string(h->height) + " bpp " +
               std::to_string(h->bpp) + " needs " + std::to_string(need) +
               " bytes, the record holds " + std::to_string(held);
    }
  }
  if (!reason.empty()) {
    ++skipped_;
    std::fprintf(stderr, "daqget: image of %s at event %llu skipped: %s\n", channel.c_str(),
                 static_cast<unsigned long long>(event), reason.c_str());
    return true;
  }

  std::string path = dir_ + name;
  std::string part = dir_ + "." + name + ".part";
  std::string error;
  bool bad;
  if (h->bpp == 4) {
    bad = write_tiff(part, pixels, h->width, h->height, &error);
  } else {
    std::FILE* f = std::fopen(part.c_str(), "wb");
    bad = f == nullptr;
    if (bad) {
      error = std::strerror(errno);
    } else {
      bad = write_png(f, pixels, h->width, h->height, h->bpp, &error);
      if (std::fclose(f) != 0 && !bad) {
        bad = true;
        error = std::strerror(errno);
      }
    }
  }
  if (!bad && std::rename(part.c_str(), path.c_str()) != 0) {
    bad = true;
    error = std::strerror(errno);
  }
  if (bad) {
    unlink(part.c_str());
    failed_ = true;
    std::fprintf(stderr, "daqget: %s: %s; no further images are saved\n", path.c_str(),
                 error.c_str());
    return true;
  }
  ++written_;
  return false;
}

void ImageFiles::save(const DaqFetchRecord& record) {
  if (record.slow || record.values == nullptr) return;
  const std::vector<EqData_dtype*>& values = *record.values;
  for (size_t i = 0; i < values.size(); ++i) {
    const EqData_dtype* v = values[i];
    if (v == nullptr || v->data == nullptr || v->data->type() != velmor::DATA_IMAGE) continue;
    save_image(record.event, fetched_channel_name(record, i), *v->data);
  }
}
