// The virtual chip's own SLIP codec, byte-exact, including malformed and oversized input.
#include <gtest/gtest.h>

#include <vector>

#include "sim/Slip.h"

namespace flintmoor {
namespace {

using Bytes = std::vector<uint8_t>;
using Result = SimSlipDecoder::Result;

// Feeds every byte and collects the frames and errors, in order.
struct Fed {
  std::vector<Bytes> frames;
  std::vector<Result> errors;
};

Fed feedAll(SimSlipDecoder& d, const Bytes& in) {
  Fed out;
  for (uint8_t b : in) {
    Result r = d.feed(b);
    if (r == Result::kFrame) out.frames.push_back(d.frame());
    if (r == Result::kBadEscape || r == Result::kTooLong) out.errors.push_back(r);
  }
  return out;
}

TEST(SimSlip, EncodeEscapesEndAndEscOnly) {
  Bytes out = {0xAA};
  simSlipEncode(Bytes{0x01, 0xC0, 0xDB, 0xDC, 0xDD, 0x00}, out);
  EXPECT_EQ(out, (Bytes{0xAA, 0xC0, 0x01, 0xDB, 0xDC, 0xDB, 0xDD, 0xDC, 0xDD, 0x00, 0xC0}));
  Bytes empty;
  simSlipEncode({}, empty);
  EXPECT_EQ(empty, (Bytes{0xC0, 0xC0}));
}

TEST(SimSlip, DecodesFramesAfterNoiseAndBackToBack) {
  SimSlipDecoder d(64);
  Fed f = feedAll(d, {'e', 't', 's', 0x0D, 0x0A, 0xC0, 0x01, 0xDB, 0xDC, 0x02, 0xC0, 0xC0, 0xDB,
                      0xDD, 0xC0, 0x33});
  ASSERT_EQ(f.frames.size(), 2u);
  EXPECT_EQ(f.frames[0], (Bytes{0x01, 0xC0, 0x02}));
  EXPECT_EQ(f.frames[1], (Bytes{0xDB}));
  EXPECT_TRUE(f.errors.empty());
}

TEST(SimSlip, TwoEndsInARowAreNoFrame) {
  SimSlipDecoder d(64);
  Fed f = feedAll(d, {0xC0, 0xC0, 0xC0, 0x07, 0xC0});
  ASSERT_EQ(f.frames.size(), 1u);
  EXPECT_EQ(f.frames[0], (Bytes{0x07}));
}

TEST(SimSlip, BadEscapeDropsTheFrameAndTheNextFrameStillDecodes) {
  SimSlipDecoder d(64);
  // DB 41, and DB followed by END.
  Fed f = feedAll(d, {0xC0, 0x01, 0xDB, 0x41, 0x02, 0xC0, 0xC0, 0x05, 0xC0, 0xC0, 0xDB, 0xC0, 0xC0,
                      0x06, 0xC0});
  EXPECT_EQ(f.errors, (std::vector<Result>{Result::kBadEscape, Result::kBadEscape}));
  ASSERT_EQ(f.frames.size(), 2u);
  EXPECT_EQ(f.frames[0], (Bytes{0x05}));
  EXPECT_EQ(f.frames[1], (Bytes{0x06}));
}

TEST(SimSlip, TooLongFrameIsDroppedWithinItsLimitAndDecodingRecovers) {
  SimSlipDecoder d(4);
  Fed f = feedAll(d, {0xC0, 1, 2, 3, 4, 0xC0, 0xC0, 1, 2, 3, 4, 5, 6, 7, 0xC0, 0xC0, 8, 0xC0});
  EXPECT_EQ(f.errors, (std::vector<Result>{Result::kTooLong}));
  ASSERT_EQ(f.frames.size(), 2u);
  EXPECT_EQ(f.frames[0], (Bytes{1, 2, 3, 4}));
  EXPECT_EQ(f.frames[1], (Bytes{8}));
}

// A frame cut short by the next frame's leading END: the ROM's way hunts for another END and
// loses the next frame; the stub's way takes the END as the next frame's start too.
TEST(SimSlip, AFrameCutShortLosesTheNextUnlessTheEndOpensIt) {
  const Bytes cut = {0xC0, 0x01, 0x02, 0xC0, 0x03, 0x04, 0xC0};
  SimSlipDecoder rom(64);
  Fed f = feedAll(rom, cut);
  ASSERT_EQ(f.frames.size(), 1u);
  EXPECT_EQ(f.frames[0], (Bytes{0x01, 0x02}));

  SimSlipDecoder stub(64);
  stub.setEndOpensNext(true);
  f = feedAll(stub, cut);
  ASSERT_EQ(f.frames.size(), 2u);
  EXPECT_EQ(f.frames[1], (Bytes{0x03, 0x04}));
  // Empty frames between frames are still no frames.
  f = feedAll(stub, {0xC0, 0xC0, 0x05, 0xC0});
  ASSERT_EQ(f.frames.size(), 1u);
  EXPECT_EQ(f.frames[0], (Bytes{0x05}));
}

}  // namespace
}  // namespace flintmoor
