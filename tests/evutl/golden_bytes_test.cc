// The example event of docs/event-format.md, both ways: the builder writes
// exactly the documented bytes, and the documented bytes read through the
// stream structures and the type table give the documented fields. Offsets
// below come from the document, not from the structures, so a layout mistake
// shared by writer and reader is caught.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "orxa_event_builder.h"

namespace {
void put_u32(std::string& b, std::size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<char>(v >> (8 * i));
}

void put_text(std::string& b, std::size_t at, const char* text) {
  std::memcpy(&b[at], text, std::strlen(text));
}

// Legacy event 7 at 1700000000 s 250000 us, server "SRV", one stamp-only
// sub-block "TRIG" (data type 6).
std::string documented_event() {
  std::string b(596, '\0');
  put_u32(b, 0, 0xFFEEFFEE);   // pattern
  put_u32(b, 4, 596);          // event_length = 36 + (284 + 272) + 4
  put_u32(b, 8, 7);            // event_number
  put_u32(b, 12, 0);           // event_type
  put_u32(b, 16, 1700000000);  // event_time
  put_u32(b, 20, 250000);
  put_u32(b, 32, 1);  // tmask 0, status 0, num_svr_block 1
  // Server block head at 36: time, ltotal, mpulse, server[256], tmask, status, nchan.
  put_u32(b, 36, 1700000000);
  put_u32(b, 40, 250000);
  put_u32(b, 44, 556);
  put_u32(b, 48, 7);
  put_text(b, 52, "SRV");
  put_u32(b, 316, 1);
  // Sub-head at 320: chname[256], dtype, error, ldata (268 padded to 8).
  put_text(b, 320, "TRIG");
  put_u32(b, 576, 6);
  put_u32(b, 584, 272);
  put_u32(b, 592, 596);  // tail
  return b;
}

template <class T>
T read_at(const std::string& b, std::size_t at) {
  T value;
  std::memcpy(&value, b.data() + at, sizeof value);
  return value;
}
}  // namespace

TEST(EventGoldenBytes, BuilderWritesTheDocumentedExample) {
  OrxaEventBuilder builder(ORXA_FORMAT_LEGACY);
  builder.begin(7, time_stamp{1700000000u, 250000u}, ORXA_EV_HB, "SRV");
  ASSERT_FALSE(builder.add_stamp("TRIG", 6));
  size_t length = 0;
  const char* event = builder.finish(&length);
  ASSERT_NE(event, nullptr);
  const std::string expected = documented_event();
  ASSERT_EQ(length, expected.size());
  for (size_t i = 0; i < length; ++i) {
    ASSERT_EQ(static_cast<uint8_t>(event[i]), static_cast<uint8_t>(expected[i]))
        << "first difference at byte " << i;
  }
}

TEST(EventGoldenBytes, DocumentedExampleReadsAsDocumented) {
  const std::string b = documented_event();
  const auto h = read_at<orxa_eventheader>(b, 0);
  EXPECT_EQ(h.pattern, static_cast<uint32_t>(ORXA_EVENT_PATTERN));
  EXPECT_EQ(h.event_length, 596u);
  EXPECT_EQ(h.event_number, 7u);
  EXPECT_EQ(h.event_type, static_cast<uint32_t>(ORXA_EV_HB));
  EXPECT_EQ(h.event_time.timeup, 1700000000u);
  EXPECT_EQ(h.event_time.timelow, 250000u);
  EXPECT_EQ(h.num_svr_block, 1);

  const auto s = read_at<orxa_serv_block_head_2010>(b, sizeof h);
  EXPECT_EQ(sizeof h + sizeof s, 320u) << "the first sub-head starts at 320";
  EXPECT_EQ(s.time.timeup, 1700000000u);
  EXPECT_EQ(s.ltotal, 556);
  EXPECT_EQ(s.mpulse, 7);
  EXPECT_STREQ(s.server, "SRV");
  EXPECT_EQ(s.nchan, 1);

  const auto sub = read_at<orxa_serv_block_subhead_2010>(b, 320);
  EXPECT_STREQ(sub.chname, "TRIG");
  EXPECT_EQ(sub.dtype, 6);
  EXPECT_EQ(sub.error, 0);
  EXPECT_EQ(sub.ldata, 272);
  EXPECT_EQ(get_data_structure_type(sub.dtype), ORXA_DATA_STAMP);
  EXPECT_EQ(read_at<orxa_eventtail>(b, 320 + sub.ldata).event_length, h.event_length);
}
