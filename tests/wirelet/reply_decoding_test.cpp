// The decoding tables, on each boundary.
#include <gtest/gtest.h>

#include "pipe_transfer.h"

namespace {

using wirelet::PipeReader;

struct Decoded {
  int result;
  StatusCode status;
};

Decoded Decode(PipeReader::DecodeMode mode, uint8_t code, uint8_t group = 0, uint8_t detail = 0) {
  uint8_t frame[300] = {};
  frame[1] = code;
  frame[2] = group;
  frame[3] = detail;
  frame[7] = code;
  Decoded out{-1, 0xFFFF};
  out.result = PipeReader::DecodeReply(mode, frame, &out.status);
  return out;
}

TEST(ReplyDecoding, ErrorCodesOnTheirBoundaries) {
  const struct {
    uint8_t code;
    StatusCode status;
  } cases[] = {
      {0x00, 2504}, {0x01, 2600}, {0x05, 2600}, {0x06, 2504}, {0x10, 2504}, {0x12, 2504},
      {0x20, 2504}, {0x21, 2100}, {0x22, 2504}, {0x30, 2504}, {0x31, 2101}, {0x34, 2104},
      {0x37, 2107}, {0x38, 2504}, {0x60, 2504}, {0x61, 2200}, {0x67, 2206}, {0x6D, 2212},
      {0x6E, 2504}, {0xFF, 2504},
  };
  for (const auto& c : cases) {
    Decoded d = Decode(PipeReader::kErrorMode, c.code);
    EXPECT_EQ(d.status, c.status) << "code 0x" << std::hex << int(c.code);
    EXPECT_EQ(d.result, 0) << "code 0x" << std::hex << int(c.code);
  }
}

TEST(ReplyDecoding, StatesOnTheirBoundaries) {
  const struct {
    uint8_t state;
    StatusCode status;
    int result;
  } cases[] = {
      // A transfer error code is no state of its own.
      {0x00, 0, 1},    {0x01, 2504, 0}, {0x05, 2504, 0}, {0x21, 2100, 0}, {0x31, 2101, 0},
      {0x37, 2107, 0}, {0x38, 2504, 0}, {0x60, 2504, 0}, {0x61, 2200, 1}, {0x6D, 2212, 1},
      {0x6E, 2504, 0}, {0xFF, 2504, 0},
  };
  for (const auto& c : cases) {
    Decoded d = Decode(PipeReader::kStatusMode, c.state);
    EXPECT_EQ(d.status, c.status) << "state 0x" << std::hex << int(c.state);
    EXPECT_EQ(d.result, c.result) << "state 0x" << std::hex << int(c.state);
  }
}

TEST(ReplyDecoding, GroupsAndDetailsAfter0x11InBothModes) {
  const struct {
    uint8_t group;
    uint8_t detail;
    StatusCode status;
  } cases[] = {
      {0, 0, 2504}, {1, 0, 2500}, {5, 9, 2500}, {7, 1, 2504}, {255, 1, 2504},
      {6, 0, 2504}, {6, 1, 2309}, {6, 2, 2306}, {6, 4, 2306}, {6, 5, 2305},
      {6, 9, 2305}, {6, 10, 2504}, {6, 255, 2504},
  };
  for (auto mode : {PipeReader::kErrorMode, PipeReader::kStatusMode}) {
    for (const auto& c : cases) {
      Decoded d = Decode(mode, 0x11, c.group, c.detail);
      EXPECT_EQ(d.status, c.status) << "mode " << mode << " group " << int(c.group)
                                    << " detail " << int(c.detail);
      EXPECT_EQ(d.result, 0);
    }
  }
}

TEST(ReplyDecoding, NullStatusIsAllowed) {
  uint8_t frame[300] = {};
  frame[1] = 0x21;
  EXPECT_EQ(PipeReader::DecodeReply(PipeReader::kErrorMode, frame, nullptr), 0);
  EXPECT_EQ(PipeReader::DecodeReply(PipeReader::kStatusMode, frame, nullptr), 1);
}

}  // namespace
