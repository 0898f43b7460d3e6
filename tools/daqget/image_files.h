// Pictures of image records for --save-images: each image a file of its own in
// one directory, in the form its depth needs, whatever the records' format.
//
// Depth (bytes a pixel, the image header's bpp) to file:
//   1: 8-bit grey PNG       2: 16-bit grey PNG
//   3: 8-bit RGB PNG        4: 32-bit grey TIFF (beyond what PNG holds)
// Other depths are skipped. Pixels of more than one byte are read
// little-endian, as the frames carry them.
//
// Names: EVENT_CHANNEL.png (or .tif), the event number with at least ten
// digits so names sort in event order, every character of the channel outside
// A-Z a-z 0-9 . - replaced by '_' (so "CAMERA/SCREEN/IMAGE" becomes
// CAMERA_SCREEN_IMAGE). A file is written beside its name and renamed into
// place, so a viewer never opens half a picture.
#ifndef DAQGET_IMAGE_FILES_H
#define DAQGET_IMAGE_FILES_H

#include <cstdint>
#include <string>

#include "daq_fetch.h"

namespace velmor {
class EqData;
}

class ImageFiles {
 public:
  // Creates the directory (and missing parents). False on success; true with
  // a one-line reason in *error.
  bool open(const std::string& dir, std::string* error);

  // Every image of a record. An image whose header does not fit its bytes is
  // skipped with one line on standard error; the first file that cannot be
  // written is named with one line and ends the pictures of the run.
  void save(const DaqFetchRecord& record);
  // One image; false when a file was written.
  bool save_image(uint64_t event, const std::string& channel, const velmor::EqData& image);

  // The file name (without the directory) an image of that depth gets; "" for
  // a depth with no picture form.
  static std::string file_name(uint64_t event, const std::string& channel, int bpp);

  long written() const { return written_; }
  long skipped() const { return skipped_; }
  // A file could not be written: the run's output is incomplete.
  bool failed() const { return failed_; }

 private:
  std::string dir_;
  long written_ = 0;
  long skipped_ = 0;
  bool failed_ = false;
};

#endif
