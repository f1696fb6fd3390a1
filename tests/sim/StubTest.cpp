// The flasher stub of the virtual ESP32: its start and greeting (any image, the build's own
// included), flash writing with the stub's checks and codes, chip erase, MD5, and the time the
// flash work takes on the clock.
#include <gtest/gtest.h>

#include "SimHarness.h"
#include "esp/StubResource.h"

namespace flintmoor::simtest {
namespace {

class Stub : public SimBench {
 protected:
  void SetUp() override {
    connect();
    startStub();
  }
};

Bytes pattern(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 13 + (i >> 8));
  return b;
}

using StubStart = SimBench;

TEST_F(StubStart, TheBuildsStubImageStartsAndGreets) {
  // Segments at the offsets of the resource layout: L at 18, text at 22, then the addresses.
  std::span<const uint8_t> image = stubResource("STUB_ESP32");
  ASSERT_EQ(image.size(), 3394u);
  Bytes img(image.begin(), image.end());
  uint32_t textLen = le32(img, 18);
  Bytes text(img.begin() + 22, img.begin() + 22 + textLen);
  Bytes data(img.begin() + 3364, img.begin() + 3364 + img[3363]);
  connect();
  command(0x05, words({textLen, 0, 6144, le32(img, 3330)}));
  dataCommand(0x07, 0, text);
  command(0x05, words({static_cast<uint32_t>(data.size()), 1, 6144, le32(img, 3388)}));
  dataCommand(0x07, 0, data);
  command(0x06, words({0, le32(img, 3347)}));
  auto greeting = readFrame(200);
  ASSERT_TRUE(greeting.has_value());
  EXPECT_EQ(*greeting, (Bytes{'O', 'H', 'A', 'I'}));
  EXPECT_EQ(board.mode(), VirtualEsp32::Mode::kStub);
}

TEST_F(StubStart, AJumpOutsideTheLoadedImageHaltsTheChip) {
  connect();
  command(0x05, words({16, 1, 6144, 0x400BE000}));
  dataCommand(0x07, 0, Bytes(16, 0x01));
  command(0x06, words({0, 0x400BE010}));
  EXPECT_FALSE(readFrame(200).has_value());
  EXPECT_EQ(board.mode(), VirtualEsp32::Mode::kHalted);
}

TEST_F(Stub, AnswersWithTwoStatusBytesAndSyncOnce) {
  Bytes frame = syncFrame();
  Answer sync = command(0x08, Bytes(frame.begin() + 9, frame.end() - 1));
  EXPECT_EQ(sync.opcode, 0x08);
  EXPECT_EQ(sync.value, 0u);
  EXPECT_EQ(sync.data, (Bytes{0, 0}));
  EXPECT_TRUE(drain().empty());
  Answer id = command(0x0A, words({0x40001000}));
  EXPECT_EQ(id.value, 0x00F01D83u);
  EXPECT_EQ(id.data, (Bytes{0, 0}));
  EXPECT_EQ(command(0x0D, words({0})).data, (Bytes{0, 0}));
  EXPECT_EQ(command(0xD2, words({0, 16})).data, (Bytes{1, 0xC0})) << "READ_FLASH takes four words";
  EXPECT_EQ(command(0x0E, words({0, 16})).data, (Bytes{1, 0xFF})) << "the ROM's slow read";
  EXPECT_EQ(command(0x05, words({16, 1, 16, 0x400BE000})).data, (Bytes{1, 0xFF}));
  EXPECT_EQ(command(0x10, words({4096, 1, 4096, 0x10000})).data, (Bytes{0, 0}));
  EXPECT_EQ(board.commands().back().loader, SimLoader::kStub);
  EXPECT_EQ(command(0x0F, words({460800, 115200})).data, (Bytes{0, 0}));
  port.setBaudRate(460800);
  EXPECT_EQ(command(0x0A, words({0x40001000})).value, 0x00F01D83u);
}

// The firmware decodes a frame from the END that ended the one before: a request cut short by
// the next request's leading END is answered as malformed, and the next request is served.
TEST_F(Stub, ARequestCutShortByTheNextIsAnsweredAndTheNextServed) {
  port.purge();
  Bytes cut = {0xC0, 0x00, 0x03, 0x10, 0x04, 0xEF, 0x00, 0x00, 0x00};
  cut.insert(cut.end(), 12, 0x00);
  send(cut);
  Bytes sync = syncFrame();
  send(sync);
  auto first = readAnswer();
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first->opcode, 0x03);
  EXPECT_EQ(first->data, (Bytes{0x01, 0xC0}));
  auto second = readAnswer();
  ASSERT_TRUE(second.has_value()) << "the request after the cut one was lost";
  EXPECT_EQ(second->opcode, 0x08);
  EXPECT_EQ(second->data, (Bytes{0x00, 0x00}));
}

TEST_F(Stub, WritesImageBlocksThatReadBackFromFlash) {
  Bytes image = pattern(40000, 3);
  ASSERT_EQ(command(0x02, words({49152, 3, 16384, 0x10000})).data, (Bytes{0, 0}));
  for (uint32_t seq = 0; seq < 3; ++seq) {
    auto from = image.begin() + seq * 16384;
    Answer a = dataCommand(0x03, seq, Bytes(from, std::min(from + 16384, image.end())));
    EXPECT_EQ(a.opcode, 0x03);
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
  dataCommand(0x03, 0, Bytes(10, 0xA5));
  EXPECT_EQ(flash[0x8000], 0xA5);
  EXPECT_EQ(flash[0x800A], 0xFF) << "the rest of the block's sector was erased";
  EXPECT_EQ(flash[0x9000], 0x00);
  dataCommand(0x03, 1, Bytes(1, 0x5A));
  EXPECT_EQ(flash[0x9000], 0x5A);
  EXPECT_EQ(flash[0x9FFF], 0xFF);
}

TEST_F(Stub, RefusesBadRequestsWithItsOwnCodes) {
  Bytes d = pattern(100, 9);
  EXPECT_EQ(dataCommand(0x03, 0, d).data, (Bytes{1, 0xC6})) << "not in flash mode";
  command(0x02, words({16384, 1, 16384, 0x20000}));
  EXPECT_EQ(dataCommand(0x03, 0, d, 0x01).data, (Bytes{1, 0xC1}));
  EXPECT_EQ(dataCommand(0x03, 1, d).data, (Bytes{1, 0xC5}));
  EXPECT_EQ(dataCommand(0x03, 0, d, 0, 101).data, (Bytes{1, 0xC0}));
  EXPECT_EQ(dataCommand(0x03, 0, d).data, (Bytes{0, 0}));
  EXPECT_EQ(dataCommand(0x03, 1, d).data, (Bytes{1, 0xC7})) << "beyond the announced region";
  EXPECT_EQ(command(0x02, words({16384, 1, 32768, 0x20000})).data, (Bytes{1, 0xC2}));
  EXPECT_EQ(command(0x02, words({4096, 1, 4096, 0x20100})).data, (Bytes{1, 0xC3}));
  EXPECT_EQ(command(0x02, words({8192, 1, 8192, 0x3FF000})).data, (Bytes{0, 0}))
      << "the stub's bound is 16 MiB until SPI_SET_PARAMS";
  EXPECT_EQ(command(0x0B, words({0, 4u << 20, 65536, 4096, 256, 0xFFFF})).data, (Bytes{0, 0}));
  EXPECT_EQ(command(0x02, words({8192, 1, 8192, 0x3FF000})).data, (Bytes{1, 0xC3}));
}

TEST_F(Stub, ReportsMd5AsSixteenRawBytes) {
  command(0x02, words({16384, 1, 16384, 0x1000}));
  dataCommand(0x03, 0, {'a', 'b', 'c'});
  Answer md5 = command(0x13, words({0x1000, 3, 0, 0}));
  EXPECT_EQ(md5.size, 18);
  EXPECT_EQ(md5.data, (Bytes{0x90, 0x01, 0x50, 0x98, 0x3c, 0xd2, 0x4f, 0xb0, 0xd6, 0x96, 0x3f, 0x7d,
                             0x28, 0xe1, 0x7f, 0x72, 0x00, 0x00}));
  EXPECT_EQ(command(0x13, words({0x3FF000, 0x2000, 0, 0})).data, (Bytes{1, 0xC4}))
      << "inside the stub's bound, past the chip's end: the flash fails";
  command(0x0B, words({0, 4u << 20, 65536, 4096, 256, 0xFFFF}));
  EXPECT_EQ(command(0x13, words({0x3FF000, 0x2000, 0, 0})).data, (Bytes{1, 0xC3}));
}

TEST_F(Stub, ChangeBaudrateSwitchesAtOnceWithoutAnEmptyFrame) {
  port.purge();
  send(0x0F, words({921600, 115200}));
  ASSERT_TRUE(readAnswer().has_value());
  port.setBaudRate(921600);
  send(0x0A, words({0x40001000}));
  EXPECT_EQ(drain(),
            (Bytes{0xC0, 0x01, 0x0A, 0x02, 0x00, 0x83, 0x1D, 0xF0, 0x00, 0x00, 0x00, 0xC0}));
}

TEST_F(Stub, FlashWorkTakesRealisticTime) {
  // A 16 KiB block: 16424 bytes at 115200 bit/s, 4 sector erases (two of them of blank sectors)
  // and 64 page programs.
  auto flash = board.flash().bytes();
  std::fill(flash.begin() + 0x41000, flash.begin() + 0x43000, 0x00);
  command(0x02, words({16384, 1, 16384, 0x40000}));
  Bytes block = pattern(16384, 1);
  Bytes frame = requestFrame(
      0x03,
      [&] {
        Bytes p = words({16384, 0, 0, 0});
        p.insert(p.end(), block.begin(), block.end());
        return p;
      }(),
      xorSum(block));
  port.purge();
  int64_t start = clock.nowUs();
  send(frame);
  ASSERT_TRUE(readAnswer(2000).has_value());
  int64_t wire = static_cast<int64_t>(frame.size()) * 10 * 1'000'000 / 115200;
  EXPECT_LT(clock.nowUs() - start, wire + 2000) << "answered before it is written";
  // FLASH_END (sent while the block is written) waits for the writing; then its 12-byte answer.
  EXPECT_EQ(command(0x04, words({1})).data, (Bytes{0, 0}));
  wire += 12 * 10 * 1'000'000 / 115200;
  int64_t work = 2 * 45000 + 2 * 8400 + 64 * 700;
  EXPECT_GE(clock.nowUs() - start, wire + work);
  EXPECT_LT(clock.nowUs() - start, wire + work + 5000);

  start = clock.nowUs();
  EXPECT_EQ(command(0xD0, {}, 0, 20000).data, (Bytes{0, 0}));
  EXPECT_GE(clock.nowUs() - start, 7'000'000) << "a chip erase takes seconds";
  EXPECT_LT(clock.nowUs() - start, 11'000'000);
  EXPECT_TRUE(board.flash().isBlank());
  start = clock.nowUs();
  command(0xD0, {}, 0, 20000);
  EXPECT_GE(clock.nowUs() - start, 1'000'000) << "less on a blank chip";
  EXPECT_LT(clock.nowUs() - start, 2'500'000);
}

TEST_F(Stub, EraseRegionErasesBlankSectorsFaster) {
  auto flash = board.flash().bytes();
  flash[0x62345] = 0x00;
  flash[0x64000] = 0x00;
  EXPECT_EQ(command(0xD1, words({0x60000, 0x1000, 0, 0})).data, (Bytes{1, 0xC0}));
  EXPECT_EQ(command(0xD1, words({0x60100, 0x1000})).data, (Bytes{1, 0xC3}));
  int64_t start = clock.nowUs();
  EXPECT_EQ(command(0xD1, words({0x60000, 0x4000})).data, (Bytes{0, 0}));
  // 18 bytes out and 12 back at 115200 bit/s around one full and three blank sector erases.
  int64_t work = 45000 + 3 * 8400;
  EXPECT_GE(clock.nowUs() - start, work + 2600);
  EXPECT_LT(clock.nowUs() - start, work + 3000);
  EXPECT_EQ(flash[0x62345], 0xFF);
  EXPECT_EQ(flash[0x64000], 0x00) << "the sector after the region is kept";
}

}  // namespace
}  // namespace flintmoor::simtest
