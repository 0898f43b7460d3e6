// Requests of a few hundred thousand channels: merging, comparing, validating
// with a request file and writing the document keep every defined result (order,
// duplicates, what counts as equal) and finish; the suite's timeout is the bound.
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "protocol_fixtures.h"

namespace {
const int kChannels = 200000;

std::string channel_name(int i) { return "SEC/DEV" + std::to_string(i) + "/PROP"; }

orxa_chan_prms prms_with_start(int start) {
  orxa_chan_prms p = unset_prms();
  p.start = start;
  return p;
}

// Channels 0..n-1 in order, each with start = i + offset; files likewise.
void fill(daq_server_request& r, int n, int offset) {
  for (int i = 0; i < n; ++i) {
    add_channel(r, channel_name(i).c_str(), prms_with_start(i + offset));
    add_text(r.file_list, ("f" + std::to_string(i)).c_str());
  }
}
}  // namespace

TEST(LargeRequest, MergeKeepsOrigFirstAndAddsEachNewNameOnce) {
  Request orig;
  Request from;
  // orig: the odd channels; from: every channel, the even ones twice.
  for (int i = 1; i < kChannels; i += 2) {
    add_channel(orig, channel_name(i).c_str(), prms_with_start(-i));
    add_text(orig.file_list, ("f" + std::to_string(i)).c_str());
  }
  fill(from, kChannels, 0);
  for (int i = 0; i < kChannels; i += 2) {
    add_channel(from, channel_name(i).c_str(), prms_with_start(7));
    add_text(from.file_list, ("f" + std::to_string(i)).c_str());
  }
  ASSERT_EQ(merge_daq_request(&orig, &from), 0);
  ASSERT_EQ(orig.chan_list.size(), static_cast<std::size_t>(kChannels));
  ASSERT_EQ(orig.file_list.size(), static_cast<std::size_t>(kChannels));
  const std::size_t half = kChannels / 2;
  int wrong = 0;
  for (std::size_t k = 0; k < half; ++k) {
    int odd = static_cast<int>(2 * k + 1);
    int even = static_cast<int>(2 * k);
    const daq_channel_entry* kept = orig.chan_list[k];
    const daq_channel_entry* added = orig.chan_list[half + k];
    if (kept->name != channel_name(odd) || kept->prms.start != -odd) ++wrong;
    if (added->name != channel_name(even) || added->prms.start != even) ++wrong;
    if (orig.file_list[half + k] != "f" + std::to_string(even)) ++wrong;
  }
  EXPECT_EQ(wrong, 0);
}

TEST(LargeRequest, SameRequestsIgnoresOrderAndFindsOneChangedEntry) {
  Request a;
  Request b;
  fill(a, kChannels, 0);
  fill(b, kChannels, 0);
  std::reverse(b.chan_list.begin(), b.chan_list.end());
  std::reverse(b.file_list.begin(), b.file_list.end());
  EXPECT_EQ(same_requests(&a, &b), 1);
  b.chan_list[kChannels / 3]->prms.tlength = 2.5f;
  EXPECT_EQ(same_requests(&a, &b), -13);
  b.chan_list[kChannels / 3]->prms.tlength = -1.0f;
  b.file_list[kChannels / 3][0] = 'g';
  EXPECT_EQ(same_requests(&a, &b), -15);
}

TEST(LargeRequest, RequestFileValidatedWrittenAndReadBack) {
  Request in_file;
  in_file.id = 12;
  fill(in_file, kChannels, 1);
  std::string doc;
  create_xml_daq_request(&in_file, doc, 1);
  char path[] = "/tmp/large_request_XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, doc.data(), doc.size()), static_cast<ssize_t>(doc.size()));
  close(fd);

  Request r;
  r.id = 5;
  r.run_first = 1;
  r.run_last = 2;
  add_channel(r, channel_name(kChannels - 1).c_str(), prms_with_start(3));
  std::snprintf(r.conf_file, sizeof r.conf_file, "%s", path);
  EXPECT_EQ(validate_daq_request(&r, true), 0);
  unlink(path);
  ASSERT_EQ(r.chan_list.size(), static_cast<std::size_t>(kChannels));
  EXPECT_EQ(r.chan_list[0]->prms.start, 3) << "the caller's own entry stays first";
  EXPECT_EQ(r.chan_list[1]->prms.start, 1);
  EXPECT_EQ(r.file_list.size(), static_cast<std::size_t>(kChannels));

  std::string written;
  create_xml_daq_request(&r, written, 1);
  Request back;
  ASSERT_EQ(parse_daq_request(&written[0], &back), 0);
  EXPECT_EQ(same_requests(&r, &back), 1);
}
