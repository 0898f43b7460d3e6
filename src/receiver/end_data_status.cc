#include "end_data_status.h"

namespace {

// Indexed by -status.
const char* const kStatusTexts[] = {
    "Ok",
    "No required data",
    "Some entry(ies) are still not ready",
    "Time period out of one in the processed file (End of data)",
    "Not initialized",
    "Channel(s) not found",
    "Internal error (Event ID jump?), try to extract by time",
    "Invalid input parameter",
    "Incorrect point of time",
    "Bad file format",
    "File(s) not found",
};

}  // namespace

const char* end_data_status_text(int status) {
  constexpr int kCount = static_cast<int>(sizeof kStatusTexts / sizeof kStatusTexts[0]);
  if (status > 0 || status <= -kCount) return "Unknown";
  return kStatusTexts[-status];
}
