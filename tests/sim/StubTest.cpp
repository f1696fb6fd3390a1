// The flasher stub of the virtual ESP32: its start and greeting, flash writing with the stub's
// checks and error codes, chip erase, MD5, and how long the flash work takes on the clock.
#include <gtest/gtest.h>

#include <numeric>

#include "SimHarness.h"

namespace flintmoor::simtest {
namespace {

class Stub : public SimBench {
 protected:
  void SetUp() override {
    connect();
    startStub();
  }

  Answer flashData(uint32_t seq, const Bytes& data, uint32_t checksumFlip = 0) {
    return command(0x03, concat(words({static_cast<uint32_t>(data.size()), seq, 0, 0}), data),
                   xorSum(data) ^ checksumFlip, 2000);
  }
};

Bytes pattern(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 13 + (i >> 8));
  return b;
}

TEST_F(Stub, GreetsOnceMemEndHasBeenAnsweredAndRunsFromThen) {
  EXPECT_EQ(board.mode(), VirtualEsp32::Mode::kStub);
  Answer sync = command(0x08, concat(Bytes{0x07, 0x07, 0x12, 0x20}, Bytes(32, 0x55)));
  EXPECT_EQ(sync.opcode, 0x08);
  EXPECT_EQ(sync.value, 0u);
  EXPECT_EQ(sync.data, (Bytes{0, 0}));
  EXPECT_TRUE(drain().empty()) << "the stub answers SYNC once";
  EXPECT_EQ(board.commands().back().loader, SimLoader::kStub);
}

TEST_F(Stub, WritesImageBlocksThatReadBackFromFlash) {
  Bytes image = pattern(40000, 3);
  ASSERT_EQ(command(0x02, words({49152, 3, 16384, 0x10000})).data, (Bytes{0, 0}));
  for (uint32_t seq = 0; seq < 3; ++seq) {
    size_t from = seq * 16384;
    size_t len = std::min<size_t>(16384, image.size() - from);
    Answer a = flashData(seq, Bytes(image.begin() + from, image.begin() + from + len));
    EXPECT_EQ(a.opcode, 0x03);
    EXPECT_EQ(a.size, 2);
    EXPECT_EQ(a.data, (Bytes{0, 0}));
  }
  auto flash = board.flash().bytes();
  EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin() + 0x10000));
  EXPECT_EQ(flash[0x10000 + 40000], 0xFF);
  EXPECT_EQ(flash[0x10000 - 1], 0xFF);
}

TEST_F(Stub, ErasesTheAnnouncedRegionAsTheBlocksComeIn) {
  auto flash = board.flash().bytes();
  std::fill(flash.begin() + 0x8000, flash.begin() + 0xA000, 0x00);
  command(0x02, words({8192, 2, 4096, 0x8000}));
  EXPECT_EQ(flash[0x8000], 0x00) << "nothing erased before a block arrives";
  flashData(0, Bytes(10, 0xA5));
  EXPECT_EQ(flash[0x8000], 0xA5);
  EXPECT_EQ(flash[0x800A], 0xFF) << "the rest of the block's sector was erased";
  EXPECT_EQ(flash[0x9000], 0x00);
  flashData(1, Bytes(1, 0x5A));
  EXPECT_EQ(flash[0x9000], 0x5A);
  EXPECT_EQ(flash[0x9FFF], 0xFF);
}

TEST_F(Stub, FlashDataErrorsCarryTheStubCodes) {
  Bytes d = pattern(100, 9);
  EXPECT_EQ(flashData(0, d).data, (Bytes{1, 0xC6})) << "not in flash mode";
  command(0x02, words({16384, 1, 16384, 0x20000}));
  EXPECT_EQ(flashData(0, d, 0x01).data, (Bytes{1, 0xC1}));
  EXPECT_EQ(flashData(1, d).data, (Bytes{1, 0xC5}));
  EXPECT_EQ(command(0x03, concat(words({101, 0, 0, 0}), d), xorSum(d)).data, (Bytes{1, 0xC0}));
  EXPECT_EQ(flashData(0, d).data, (Bytes{0, 0}));
  EXPECT_EQ(flashData(1, d).data, (Bytes{1, 0xC7})) << "beyond the announced region";
  EXPECT_EQ(board.flash().bytes()[0x20000 + 1], d[1]);

  EXPECT_EQ(command(0x02, words({16384, 1, 32768, 0x20000})).data, (Bytes{1, 0xC2}));
  EXPECT_EQ(command(0x02, words({4096, 1, 4096, 0x20100})).data, (Bytes{1, 0xC4}));
  EXPECT_EQ(command(0x02, words({8192, 1, 8192, 0x3FF000})).data, (Bytes{1, 0xC4}));
  EXPECT_EQ(command(0xD2, words({0, 16})).data, (Bytes{1, 0xFF}));
}

TEST_F(Stub, ReportsMd5AsSixteenRawBytes) {
  command(0x02, words({16384, 1, 16384, 0x1000}));
  Bytes abc = {'a', 'b', 'c'};
  flashData(0, abc);
  Answer md5 = command(0x13, words({0x1000, 3, 0, 0}));
  EXPECT_EQ(md5.size, 18);
  EXPECT_EQ(md5.data, (Bytes{0x90, 0x01, 0x50, 0x98, 0x3c, 0xd2, 0x4f, 0xb0, 0xd6, 0x96, 0x3f, 0x7d,
                             0x28, 0xe1, 0x7f, 0x72, 0x00, 0x00}));
  EXPECT_EQ(command(0x13, words({0x3FF000, 0x2000, 0, 0})).data, (Bytes{1, 0xC4}));
}

TEST_F(Stub, ReadsRegistersAndChangesSpeedLikeTheRom) {
  Answer id = command(0x0A, words({0x40001000}));
  EXPECT_EQ(id.value, 0x00F01D83u);
  EXPECT_EQ(id.data, (Bytes{0, 0}));
  EXPECT_EQ(command(0x0D, words({0})).data, (Bytes{0, 0}));
  EXPECT_EQ(command(0x0F, words({460800, 115200})).data, (Bytes{0, 0}));
  port.setBaudRate(460800);
  EXPECT_EQ(command(0x0A, words({0x40001000})).value, 0x00F01D83u);
}

TEST_F(Stub, FlashWorkTakesRealisticTime) {
  // A 16 KiB block: 4 sector erases and 64 page programs, after 16400 bytes at 115200 bit/s.
  command(0x02, words({16384, 1, 16384, 0x40000}));
  Bytes block = pattern(16384, 1);
  Bytes frame = requestFrame(0x03, concat(words({16384, 0, 0, 0}), block), xorSum(block));
  port.purge();
  int64_t start = clock.nowUs();
  send(frame);
  auto a = readAnswer(2000);
  ASSERT_TRUE(a.has_value());
  int64_t wire = static_cast<int64_t>(frame.size()) * 10 * 1'000'000 / 115200;
  int64_t work = 4 * 45000 + 64 * 700;
  EXPECT_GE(clock.nowUs() - start, wire + work);
  EXPECT_LT(clock.nowUs() - start, wire + work + 5000);
}

TEST_F(Stub, ChipEraseTakesSecondsAndLessWhenBlank) {
  int64_t start = clock.nowUs();
  EXPECT_EQ(command(0xD0, {}, 0, 20000).data, (Bytes{0, 0}));
  int64_t blank = clock.nowUs() - start;
  EXPECT_GE(blank, 1'000'000);
  EXPECT_LT(blank, 2'500'000);

  board.flash().bytes()[0x123456] = 0x00;
  start = clock.nowUs();
  EXPECT_EQ(command(0xD0, {}, 0, 20000).data, (Bytes{0, 0}));
  int64_t full = clock.nowUs() - start;
  EXPECT_GE(full, 7'000'000);
  EXPECT_LT(full, 11'000'000);
  EXPECT_TRUE(board.flash().isBlank());
}

}  // namespace
}  // namespace flintmoor::simtest
