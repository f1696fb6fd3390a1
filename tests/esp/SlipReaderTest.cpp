// The byte-fed frame reader: frames, empty frames, escapes, recovery at the next END, and a frame
// longer than its buffer, which must never be written past (guard bytes follow the buffer).
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "esp/SlipReader.h"

namespace flintmoor {
namespace {

using Bytes = std::vector<uint8_t>;
using R = SlipReader::Result;

class SlipReaderTest : public ::testing::Test {
 protected:
  static constexpr size_t kBuffer = 8;
  static constexpr uint8_t kGuard = 0xA5;

  SlipReaderTest() { memory.fill(kGuard); }

  // Feeds bytes and returns every result that is not kMore, with the frame read at each kFrame.
  std::vector<R> feed(const Bytes& bytes) {
    std::vector<R> results;
    for (uint8_t b : bytes) {
      const R r = reader.feed(b);
      if (r == R::kMore) continue;
      results.push_back(r);
      if (r == R::kFrame) frames.emplace_back(memory.begin(), memory.begin() + reader.size());
    }
    return results;
  }
  bool guardIntact() const {
    for (size_t i = kBuffer; i < memory.size(); ++i) {
      if (memory[i] != kGuard) return false;
    }
    return true;
  }

  std::array<uint8_t, kBuffer + 16> memory{};
  SlipReader reader{std::span<uint8_t>(memory.data(), kBuffer)};
  std::vector<Bytes> frames;
};

TEST_F(SlipReaderTest, BytesBeforeTheFirstEndAreSkippedAndEscapesDecode) {
  EXPECT_EQ(feed({'o', 'k', '\r', '\n', 0xC0, 0x01, 0xDB, 0xDC, 0xDB, 0xDD, 0x02, 0xC0}),
            std::vector<R>{R::kFrame});
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0], (Bytes{0x01, 0xC0, 0xDB, 0x02}));
  EXPECT_EQ(reader.skipped(), 0u);  // counted until the frame completed
}

TEST_F(SlipReaderTest, EmptyFramesAreSkippedAndCountedAsBytesOutsideFrames) {
  EXPECT_TRUE(feed({0xC0, 0xC0, 0xC0, 0xC0}).empty());
  EXPECT_EQ(reader.skipped(), 3u);
  EXPECT_EQ(feed({0x07, 0xC0}), std::vector<R>{R::kFrame});
  EXPECT_EQ(frames.back(), Bytes{0x07});
  // After a frame the reader hunts again: bytes up to the next END belong to no frame.
  EXPECT_TRUE(feed({0x55, 0x55}).empty());
  EXPECT_EQ(reader.skipped(), 2u);
}

TEST_F(SlipReaderTest, ABadEscapeIsReportedAtOnceAndTheRestOfItsFrameIsNoFrame) {
  EXPECT_EQ(feed({0xC0, 0x01, 0xDB, 0x41}), std::vector<R>{R::kBadEscape});
  // The bad frame's tail and its END, then the next frame whole.
  EXPECT_EQ(feed({0x05, 0x06, 0xC0, 0xC0, 0x01, 0x0A, 0xC0}), std::vector<R>{R::kFrame});
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0], (Bytes{0x01, 0x0A}));
  // An escape that runs into END is a bad escape too.
  EXPECT_EQ(feed({0xC0, 0x01, 0xDB, 0xC0, 0x02, 0xC0}), std::vector<R>{R::kBadEscape});
}

TEST_F(SlipReaderTest, TooLongForBuffer_StaysWithinBufferBoundariesAndRecoversAtTheNextEnd) {
  Bytes frame = {0xC0};
  for (int i = 0; i < 40; ++i) frame.push_back(0x30 + i % 10);
  frame.insert(frame.end(), {0xDB, 0xDC, 0xC0});  // an escape past the end as well
  EXPECT_EQ(feed(frame), std::vector<R>{R::kTooLong});
  EXPECT_TRUE(guardIntact());
  EXPECT_EQ(reader.size(), kBuffer);
  EXPECT_EQ(memory[0], 0x30);
  EXPECT_EQ(memory[kBuffer - 1], 0x37);

  // Exactly the buffer's size is a frame.
  EXPECT_EQ(feed({0xC0, 1, 2, 3, 4, 5, 6, 7, 0xDB, 0xDD, 0xC0}), std::vector<R>{R::kFrame});
  EXPECT_EQ(frames.back(), (Bytes{1, 2, 3, 4, 5, 6, 7, 0xDB}));
  EXPECT_TRUE(guardIntact());
}

TEST_F(SlipReaderTest, ResetDropsTheFrameInProgress) {
  feed({0xC0, 0x01, 0x02});
  reader.reset();
  EXPECT_TRUE(feed({0x03, 0xC0}).empty());  // hunting again: 03 is skipped, C0 opens a frame
  EXPECT_EQ(feed({0x04, 0xC0}), std::vector<R>{R::kFrame});
  EXPECT_EQ(frames.back(), Bytes{0x04});
}

}  // namespace
}  // namespace flintmoor
