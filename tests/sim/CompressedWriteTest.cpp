// Compressed flash writes through the ROM loader of the virtual ESP32: FLASH_DEFL_BEGIN's checks
// and erase, FLASH_DEFL_DATA carrying slices of one zlib stream with FLASH_DATA's checks, the
// inflate errors, the time the work takes, and FLASH_DEFL_END.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "SimHarness.h"
#include "base/Md5.h"

namespace flintmoor::simtest {
namespace {

class CompressedWrite : public SimBench {
 protected:
  void SetUp() override { connect(); }

  static Bytes romStatus(uint8_t status, uint8_t error) { return {status, error, 0x00, 0x00}; }

  Answer deflBegin(uint32_t size, uint32_t blocks, uint32_t blockSize, uint32_t offset) {
    return command(0x10, words({size, blocks, blockSize, offset}));
  }

  // Every 4096-byte slice of `stream` from `first` on, each expected to be answered with status 0.
  void sendSlices(const Bytes& stream, uint32_t first = 0) {
    for (uint32_t seq = first; seq < sliceCount(stream); ++seq) {
      Answer a = dataCommand(0x11, seq, slice(stream, seq));
      ASSERT_EQ(a.opcode, 0x11);
      ASSERT_EQ(a.data[0], 0) << "slice " << seq;
    }
  }

  bool flashHolds(uint32_t addr, const Bytes& image) {
    auto flash = board.flash().bytes();
    return std::equal(image.begin(), image.end(), flash.begin() + addr);
  }

  static std::string hex(const std::array<uint8_t, 16>& digest) {
    std::string out;
    for (uint8_t b : digest) {
      char two[3];
      std::snprintf(two, sizeof two, "%02x", b);
      out += two;
    }
    return out;
  }
};

TEST_F(CompressedWrite, StreamInSlicesLandsByteExactAndItsMd5Matches) {
  Bytes image = imageBytes(100000);
  Bytes stream = zlibStream(image);
  ASSERT_GT(sliceCount(stream), 5u);
  ASSERT_LT(stream.size(), image.size() * 6 / 10);
  Answer begin = deflBegin(100000, sliceCount(stream), 4096, 0x20000);
  EXPECT_EQ(begin.opcode, 0x10);
  EXPECT_EQ(begin.data, romStatus(0, 0));
  sendSlices(stream);
  EXPECT_TRUE(flashHolds(0x20000, image));
  EXPECT_EQ(board.flash().bytes()[0x20000 + 100000], 0xFF);
  EXPECT_EQ(board.flash().bytes()[0x20000 - 1], 0xFF);
  // No FLASH_DEFL_END is needed before the MD5.
  Answer md5 = command(0x13, words({0x20000, 100000, 0, 0}));
  EXPECT_EQ(std::string(md5.data.begin(), md5.data.begin() + 32), hex(flintmoor::md5(image)));
  EXPECT_EQ(Bytes(md5.data.begin() + 32, md5.data.end()), romStatus(0, 0));
  // FLASH_DEFL_END with flag 1 answers and leaves the loader, as FLASH_END does.
  EXPECT_EQ(command(0x12, words({1})).data, romStatus(0, 0));
  clock.sleepMs(20);
  EXPECT_EQ(board.mode(), VirtualEsp32::Mode::kApplication);
}

TEST_F(CompressedWrite, AnswerWaitsForThePagesItsSliceInflatesTo) {
  Bytes image(65536);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i % 61);
  Bytes stream = zlibStream(image);
  ASSERT_LT(stream.size(), 4096u);
  deflBegin(65536, 1, 4096, 0x40000);
  Bytes payload = words({static_cast<uint32_t>(stream.size()), 0, 0, 0});
  payload.insert(payload.end(), stream.begin(), stream.end());
  Bytes frame = requestFrame(0x11, payload, xorSum(stream));
  port.purge();
  int64_t start = clock.nowUs();
  send(frame);
  auto a = readAnswer(2000);
  ASSERT_TRUE(a.has_value());
  EXPECT_EQ(a->data, romStatus(0, 0));
  // A few hundred bytes on the wire, 256 pages of 700 us in the flash.
  int64_t wire = static_cast<int64_t>(frame.size()) * 10 * 1'000'000 / 115200;
  EXPECT_GE(clock.nowUs() - start, wire + 256 * 700);
  EXPECT_LT(clock.nowUs() - start, wire + 256 * 700 + 3000);
  EXPECT_TRUE(flashHolds(0x40000, image));
}

TEST_F(CompressedWrite, RawDeflateIsRefusedAndStopsTheWrite) {
  Bytes image = imageBytes(8192);
  Bytes raw = zlibStream(image, true);
  deflBegin(8192, sliceCount(raw), 4096, 0x10000);
  EXPECT_EQ(dataCommand(0x11, 0, slice(raw, 0)).data, romStatus(1, 0x0B));
  EXPECT_EQ(dataCommand(0x11, 1, slice(raw, 1)).data, romStatus(1, 0x06)) << "the write stopped";
  EXPECT_TRUE(board.flash().isBlank());

  Bytes stream = zlibStream(image);
  EXPECT_EQ(deflBegin(8192, sliceCount(stream), 4096, 0x10000).data, romStatus(0, 0x06))
      << "a new FLASH_DEFL_BEGIN starts over; the error byte stays";
  sendSlices(stream);
  EXPECT_TRUE(flashHolds(0x10000, image));
}

TEST_F(CompressedWrite, OutputBeyondTheAnnouncedSizeIsAnInflateError) {
  Bytes image(8192, 0x5A);
  Bytes stream = zlibStream(image);
  ASSERT_EQ(sliceCount(stream), 1u);
  deflBegin(8191, 1, 4096, 0x10000);
  EXPECT_EQ(dataCommand(0x11, 0, stream).data, romStatus(1, 0x0B));
  EXPECT_EQ(board.flash().bytes()[0x10000 + 8191], 0xFF);
  EXPECT_EQ(dataCommand(0x11, 1, stream).data, romStatus(1, 0x06)) << "the write stopped";

  deflBegin(8192, 1, 4096, 0x10000);
  EXPECT_EQ(dataCommand(0x11, 0, stream).data, romStatus(0, 0x06)) << "exactly as announced";
  EXPECT_TRUE(flashHolds(0x10000, image));
  EXPECT_EQ(dataCommand(0x11, 1, Bytes{0x00}).data, romStatus(1, 0x0B))
      << "data after the stream's end";
}

TEST_F(CompressedWrite, ABadBlockIsCountedAndTheStreamThenNeedsANewBegin) {
  Bytes image = imageBytes(30000, 7);
  Bytes stream = zlibStream(image);
  ASSERT_GE(sliceCount(stream), 3u);
  deflBegin(30000, sliceCount(stream), 4096, 0x50000);
  EXPECT_EQ(dataCommand(0x11, 0, slice(stream, 0), 0x01).data, romStatus(1, 0x07));
  EXPECT_EQ(dataCommand(0x11, 0, slice(stream, 0)).data, romStatus(1, 0x05))
      << "the ROM counted the bad block, so sequence 0 is behind";
  EXPECT_EQ(dataCommand(0x11, 2, slice(stream, 1)).data, romStatus(1, 0x0B))
      << "the stream misses what the failed blocks carried";
  EXPECT_EQ(dataCommand(0x11, 3, slice(stream, 1)).data, romStatus(1, 0x06));

  deflBegin(30000, sliceCount(stream), 4096, 0x50000);
  sendSlices(stream);
  EXPECT_TRUE(flashHolds(0x50000, image));
}

TEST_F(CompressedWrite, BeginRefusesStubBlocksUnalignedOffsetsAndRegionsOutsideTheFlash) {
  EXPECT_EQ(deflBegin(16384, 2, 8192, 0x10000).data, romStatus(1, 0x05));
  EXPECT_EQ(deflBegin(4096, 1, 4096, 0x10010).data, romStatus(1, 0x06));
  EXPECT_EQ(deflBegin(0x2000, 1, 4096, 0x3FF000).data, romStatus(1, 0x06));
  // The two kinds of write do not mix.
  command(0x02, words({4096, 1, 4096, 0x10000}));
  EXPECT_EQ(dataCommand(0x11, 0, zlibStream(Bytes(16, 1))).data, romStatus(1, 0x06));
}

TEST_F(CompressedWrite, BeginErasesTheCoveredSectorsFasterWhenTheyAreBlank) {
  auto flash = board.flash().bytes();
  flash[0x21FFF] = 0xFE;  // one bit cleared makes a sector non-blank
  std::fill(flash.begin() + 0x22000, flash.begin() + 0x23000, 0x00);
  flash[0x23000] = 0x12;
  // 9000 bytes from 0x20000 cover 0x20000 (blank), 0x21000 and 0x22000 (not blank).
  for (uint8_t opcode : {uint8_t{0x10}, uint8_t{0x02}}) {
    int64_t before = clock.nowUs();
    EXPECT_EQ(command(opcode, words({9000, 3, 4096, 0x20000})).data[0], 0) << int{opcode};
    int64_t erase = opcode == 0x10 ? 8'400 + 2 * 45'000 : 3 * 8'400;  // all blank the 2nd time
    EXPECT_GE(clock.nowUs() - before, erase) << int{opcode};
    EXPECT_LT(clock.nowUs() - before, erase + 5'000) << int{opcode};
  }
  EXPECT_EQ(flash[0x1FFFF], 0xFF);
  EXPECT_EQ(flash[0x22FFF], 0xFF);
  EXPECT_EQ(flash[0x23000], 0x12) << "the sector after the region is kept";
}

}  // namespace
}  // namespace flintmoor::simtest
