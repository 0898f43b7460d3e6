// The byte examples of docs/control-transport.md, both ways: the documented bytes
// decode to the documented fields, and the fields encode to exactly those bytes.
// Round trips alone would pass a mistake shared by encoder and decoder.
#include <gtest/gtest.h>

#include <string>

#include "frame.h"
#include "velmor.h"

namespace {
std::string bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out.push_back(static_cast<char>(v));
  return out;
}

// A get of "DAQ.REP5" without input, request id 7.
const std::string kGetFrame =
    bytes({0x56, 0x4D, 0x01, 0x02, 0x07, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0A,
           0x00, 0x00, 0x00, 0x08, 0x00, 0x44, 0x41, 0x51, 0x2E, 0x52, 0x45, 0x50, 0x35});

// An integer 42 (type 3), no time, event 0, length 1.
const std::string kIntegerObject = bytes(
    {0x56, 0x45, 0x51, 0x44, 0x01, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00,  // magic .. type
     0x00, 0x00, 0x00, 0x00,                                                  // error
     0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // seconds, micros
     0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,  // event, length
     0x01, 0x00, 0x00, 0x00,                                                  // 1 section
     0x03, 0x00, 0x00, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,  // tag 3, size, count
     0x2A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});                        // 42
}  // namespace

TEST(TransportGoldenBytes, GetFrameWithoutInput) {
  std::string built;
  ASSERT_FALSE(velmor::build_request(built, velmor::kFrameGet, 7, "DAQ.REP5", nullptr));
  EXPECT_EQ(built, kGetFrame);

  velmor::FrameHead head;
  ASSERT_EQ(velmor::decode_frame_head(kGetFrame.data(), &head), nullptr);
  EXPECT_EQ(head.kind, velmor::kFrameGet);
  EXPECT_EQ(head.id, 7u);
  EXPECT_EQ(head.status, 0);
  EXPECT_EQ(head.size, 10u);
  std::string property;
  velmor::EqData in;
  in.set_int(1);
  ASSERT_EQ(
      velmor::decode_request(kGetFrame.data() + velmor::kFrameHeadSize, head.size, &property, &in),
      nullptr);
  EXPECT_EQ(property, "DAQ.REP5");
  EXPECT_EQ(in.type(), velmor::DATA_NULL) << "no input is an empty object";
}

TEST(TransportGoldenBytes, IntegerDataObject) {
  velmor::EqData value;
  value.set_int(42);
  std::string built;
  ASSERT_FALSE(value.serialize(built));
  EXPECT_EQ(built, kIntegerObject);

  velmor::EqData read;
  ASSERT_FALSE(read.deserialize(kIntegerObject.data(), kIntegerObject.size()));
  EXPECT_EQ(read.type(), velmor::DATA_INT);
  EXPECT_EQ(read.error(), 0);
  EXPECT_EQ(read.get_time_seconds(), 0);
  EXPECT_EQ(read.get_time_microseconds(), 0);
  EXPECT_EQ(read.get_mpnum(), 0);
  EXPECT_EQ(read.get_length(), 1);
  EXPECT_EQ(read.value_count(), 1);
  EXPECT_EQ(read.get_int(), 42);
}
