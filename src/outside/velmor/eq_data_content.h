// The value behind an EqData. Shared by the storing/reading code and the
// serialiser; not part of the library's interface.
#ifndef VELMOR_EQ_DATA_CONTENT_H
#define VELMOR_EQ_DATA_CONTENT_H

#include <string>
#include <vector>

#include "velmor.h"

namespace velmor {

struct EqDataContent {
  int type = DATA_NULL;
  int error = 0;
  std::string error_text;
  long seconds = 0;
  int microseconds = 0;
  long event = 0;
  int length = 0;

  std::string text;  // DATA_STRING / DATA_XML
  std::vector<long> ints;
  std::vector<float> floats;
  std::vector<double> doubles;
  std::vector<std::string> strings;

  std::vector<UstrElement> ustr;
  std::vector<SpectrumElement> spectra;

  bool has_image = false;
  IMH image_header{};
  std::vector<unsigned char> image;
  std::string image_comment;
};

// Empties c but keeps the capacity of its buffers, so an object reused for
// call after call (or record after record) does not reallocate large arrays.
void reset_content(EqDataContent& c);

// A stretch of serialised bytes left in the object instead of copied: it
// belongs at offset `at` of the copied bytes (before the byte found there).
struct WirePiece {
  size_t at;
  const char* data;
  size_t size;
};

// Arrays smaller than this are copied; a reference costs an iovec entry.
constexpr size_t kMinReferencedPiece = 64 * 1024;

// The library's internal access to an EqData's content.
struct EqDataAccess {
  // As EqData::serialize, but with refs, large arrays stay in the object and
  // are listed in refs (valid while the object is unchanged).
  static bool serialize(const EqData& d, std::string& out, std::vector<WirePiece>* refs);
};

}  // namespace velmor

#endif
