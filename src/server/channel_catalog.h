// The channel catalog of the DAQ data server: which channels exist, what kind of
// sub-block each produces and how large it is (format: docs/daq-server.md).
#ifndef DAQ_SERVER_CHANNEL_CATALOG_H
#define DAQ_SERVER_CHANNEL_CATALOG_H

#include <string>
#include <vector>

struct chan_descr_2010;

enum class ChannelKind {
  spectrum,
  multi_a,
  multi_b,
  group_spectrum,
  image,
  name_value,
  update,
  data_object,
  stamp,
  slow
};

struct CatalogChannel {
  std::string name;
  ChannelKind kind = ChannelKind::stamp;
  int length = 0;  // values (per sub-channel / per group)
  int groups = 1;  // group spectra
  int subs = 1;    // sub-channels of a group spectrum
  int width = 0;   // images
  int height = 0;
  int bpp = 0;
  int values = 0;  // name/value and update records
  int device = 0;  // device type in the high half of the type word
  std::string units;
  std::string desc;
  // The samples served of each sub-channel (of each group for group spectra):
  // sample_count of them from sample_start every sample_inc. Only a request's
  // own copy of a channel changes them; -1 serves the whole length.
  int sample_start = 0;
  int sample_inc = 1;
  int sample_count = -1;
};

// Bounds of a catalog file; real catalogs stay far below them.
constexpr long kMaxCatalogBytes = 16L * 1024 * 1024;
constexpr size_t kMaxCatalogLineBytes = 4096;

// The data type a kind's sub-block carries (0 for slow channels).
int channel_data_type(ChannelKind kind);
// The type word of a channel's sub-heads.
int channel_type_word(const CatalogChannel& channel);
// Values of one sub-channel (count of a description), sampling applied.
int channel_value_count(const CatalogChannel& channel);
// Kinds whose values have a sample index, so that sampling parameters apply.
bool channel_has_samples(ChannelKind kind);
// Samples served of one sub-channel or group of such a kind.
int channel_samples(const CatalogChannel& channel);
// The kind's name as a catalog file writes it.
const char* channel_kind_name(ChannelKind kind);

class ChannelCatalog {
 public:
  // The built-in catalog: one channel of every kind.
  static ChannelCatalog builtin();

  // Reads a catalog file. False on success; true with a one-line reason in
  // *error when the file cannot be read, is larger than kMaxCatalogBytes, or any
  // line breaks a rule (longer than kMaxCatalogLineBytes, a control character, a
  // channel whose event would not fit the data link, ...). The catalog is
  // unchanged on failure.
  bool load_file(const std::string& path, std::string* error);
  // The same from text (path only names it in messages).
  bool load_text(const std::string& text, const std::string& path, std::string* error);

  const CatalogChannel* find(const std::string& name) const;
  const std::vector<CatalogChannel>& channels() const { return channels_; }

  // New descriptions (allocated as clean_chan_desr_list releases them) of the
  // given channels, appended to out.
  static void describe(const std::vector<const CatalogChannel*>& channels,
                       std::vector<chan_descr_2010*>* out);

 private:
  std::vector<CatalogChannel> channels_;
};

#endif
