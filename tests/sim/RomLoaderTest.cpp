// The ROM loader of the virtual ESP32 as the wire shows it: SYNC, registers, the speed change,
// the memory commands, flash writing by the ROM, MD5, and the ROM's answer quirks.
#include <gtest/gtest.h>

#include "SimHarness.h"

namespace flintmoor::simtest {
namespace {

using RomLoader = SimBench;

Bytes romStatus(uint8_t status, uint8_t error) {
  return {status, error, 0x00, 0x00};
}

TEST_F(RomLoader, SyncIsAnsweredEightTimesAfterOneToThreeMs) {
  open();
  downloadReset();
  drain();
  Bytes wrong = syncFrame();
  wrong[30] = 0x54;
  send(wrong);
  EXPECT_TRUE(drain(100).empty()) << "a SYNC with another pattern is ignored";

  send(syncFrame());
  int64_t sent = clock.nowUs();
  Bytes got = {static_cast<uint8_t>(port.readByte(10))};
  int64_t firstAt = clock.nowUs();
  Bytes rest = drain();
  got.insert(got.end(), rest.begin(), rest.end());
  Bytes one = {0xC0, 0x01, 0x08, 0x04, 0x00, 0x07, 0x07, 0x12, 0x20, 0x00, 0x00, 0x00, 0x00, 0xC0};
  Bytes expected;
  for (int i = 0; i < 8; ++i) expected.insert(expected.end(), one.begin(), one.end());
  EXPECT_EQ(got, expected);
  // The frame takes 4 ms at 115200 bit/s; the first answer byte follows 1 to 3 ms later.
  EXPECT_GE(firstAt - sent, 4000 + 1000);
  EXPECT_LE(firstAt - sent, 4000 + 3000 + 100);
}

VirtualEsp32Options macOptions() {
  VirtualEsp32Options options;
  options.mac = {0x24, 0x0A, 0xA1, 0xB2, 0xC3, 0xD4};
  return options;
}

class RomLoaderWithMac : public SimBench {
 protected:
  RomLoaderWithMac() : SimBench(macOptions()) {}
};

TEST_F(RomLoaderWithMac, ReadsChipIdAndMacWordsAndRemembersWrittenRegisters) {
  connect();
  EXPECT_EQ(command(0x0A, words({0x40001000})).value, 0x00F01D83u);
  EXPECT_EQ(command(0x0A, words({0x3FF5A004})).value, 0xA1B2C3D4u);
  uint32_t high = command(0x0A, words({0x3FF5A008})).value;
  EXPECT_EQ(high & 0xFFFF, 0x240Au);
  EXPECT_EQ(high >> 24, 0u) << "only a CRC byte sits above the MAC bytes";
  EXPECT_EQ(command(0x09, words({0x3FF00050, 0x12345678, 0x0000FF00, 0})).data, romStatus(0, 0));
  EXPECT_EQ(command(0x0A, words({0x3FF00050})).value, 0x00005600u);
}

TEST_F(RomLoader, AnswersCarryTheLastValueAndStickyErrorByte) {
  connect();
  Answer id = command(0x0A, words({0x40001000}));
  EXPECT_EQ(id.size, 4);
  EXPECT_EQ(id.data, romStatus(0, 0));
  Answer attach = command(0x0D, words({0}));
  EXPECT_EQ(attach.opcode, 0x0D);
  EXPECT_EQ(attach.value, 0x00F01D83u) << "value word repeats the last READ_REG";
  EXPECT_EQ(command(0x0B, words({0, 0x400000, 0x10000, 0x1000, 0x100, 0xFFFF})).data,
            romStatus(0, 0));
  EXPECT_EQ(command(0x0D, words({0, 0, 0})).data, romStatus(1, 0x05));
  EXPECT_EQ(command(0x0D, words({0, 0})).data, romStatus(0, 0x05))
      << "the error byte stays from the earlier failure";
}

TEST_F(RomLoader, UnknownCommandsAreAnsweredUnderThePreviousOpcode) {
  connect();
  command(0x0A, words({0x3FF5A004}));
  Answer erase = command(0xD0, {});
  EXPECT_EQ(erase.opcode, 0x0A);
  EXPECT_EQ(erase.value, 0x5E102030u);
  EXPECT_EQ(erase.data, romStatus(1, 0x05));
  EXPECT_EQ(command(0x42, words({1})).opcode, 0x0A)
      << "an unknown command does not become the previous one";
}

TEST_F(RomLoader, ChangeBaudrateAnswersAtTheOldSpeedThenSwitches) {
  connect();
  Answer a = command(0x0F, words({921600, 0}));
  EXPECT_EQ(a.opcode, 0x0F);
  EXPECT_EQ(a.data, romStatus(0, 0));
  EXPECT_EQ(board.chipBaud(), 921600u);
  // Still at the old speed, the port hears the empty frame that follows the switch garbled, and
  // the next request arrives garbled and is not understood.
  clock.sleepMs(50);
  Bytes emptyFrame = drain();
  EXPECT_EQ(emptyFrame.size(), 2u);
  EXPECT_EQ(std::count(emptyFrame.begin(), emptyFrame.end(), 0xC0), 0);
  send(0x0A, words({0x40001000}));
  EXPECT_TRUE(drain(200).empty());
  port.setBaudRate(921600);
  EXPECT_EQ(command(0x0A, words({0x40001000})).value, 0x00F01D83u);

  // An answer heard at the wrong speed is garbled the same way every time and holds no END.
  auto heardAtOldSpeed = [&] {
    port.setBaudRate(921600);
    send(0x0A, words({0x40001000}));
    port.setBaudRate(115200);
    clock.sleepMs(50);
    return drain();
  };
  Bytes first = heardAtOldSpeed();
  EXPECT_EQ(first.size(), 14u);
  EXPECT_EQ(std::count(first.begin(), first.end(), 0xC0), 0);
  EXPECT_EQ(heardAtOldSpeed(), first);
}

TEST_F(RomLoader, AnEmptyFrameFollowsTheSwitchAtTheNewSpeed) {
  connect();
  port.purge();
  send(0x0F, words({460800, 0}));
  auto a = readAnswer();
  ASSERT_TRUE(a.has_value());
  EXPECT_EQ(a->data, romStatus(0, 0));
  int64_t answered = clock.nowUs();
  port.setBaudRate(460800);
  EXPECT_EQ(port.readByte(10), 0xC0);
  int64_t first = clock.nowUs();
  EXPECT_EQ(port.readByte(10), 0xC0);
  int64_t second = clock.nowUs();
  EXPECT_TRUE(drain().empty());
  // The UART takes 1 ms to switch; each END then takes ten bit times at 460800 bit/s (21.7 us).
  EXPECT_GE(first - answered, 1000 + 21);
  EXPECT_LE(first - answered, 1000 + 23);
  EXPECT_NEAR(second - first, 22, 1);
}

TEST_F(RomLoader, ARequestSentIntoTheSwitchIsLostAndOneSentAfterItIsAnswered) {
  connect();
  Bytes block(1000, 0x3C);
  command(0x05, words({2000, 2, 1000, 0x3FFD0000}));
  port.purge();
  send(0x0F, words({921600, 0}));
  ASSERT_TRUE(readAnswer().has_value());
  port.setBaudRate(921600);
  // Sent at once: the first 90-odd bytes, the opening END among them, arrive during the switch;
  // the clean rest is skipped as bytes before a frame.
  Bytes payload = words({1000, 0, 0, 0});
  payload.insert(payload.end(), block.begin(), block.end());
  send(0x07, payload, xorSum(block));
  EXPECT_FALSE(readAnswer(100).has_value()) << "only the empty frame came";
  // Sequence 0 again after waiting: the lost block was never taken.
  clock.sleepMs(50);
  EXPECT_EQ(dataCommand(0x07, 0, block).data, romStatus(0, 0));
  EXPECT_EQ(command(0x0A, words({0x40001000})).value, 0x00F01D83u);
}

TEST_F(RomLoader, DetectsTheSpeedOfTheFirstSync) {
  open(230400);
  downloadReset();
  std::string bootText;
  for (uint8_t b : drain()) bootText += static_cast<char>(b);
  EXPECT_FALSE(bootText.empty());
  EXPECT_EQ(bootText.find("waiting"), std::string::npos) << "sent at 115200, heard at 230400";
  send(syncFrame());
  auto a = readAnswer();
  ASSERT_TRUE(a.has_value());
  EXPECT_EQ(a->opcode, 0x08);
  EXPECT_EQ(board.chipBaud(), 230400u);
}

TEST_F(RomLoader, MemoryCommandsCheckSequenceChecksumLengthAndRegion) {
  connect();
  Bytes data = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80};
  EXPECT_EQ(command(0x05, words({8, 1, 6144, 0x3FFDEBA8})).data, romStatus(0, 0));
  EXPECT_EQ(dataCommand(0x07, 0, data, 0x01).data, romStatus(1, 0x07));
  EXPECT_EQ(dataCommand(0x07, 1, data).data, romStatus(1, 0x05));
  EXPECT_EQ(dataCommand(0x07, 0, data, 0, 9).data, romStatus(1, 0x05));
  EXPECT_EQ(dataCommand(0x07, 0, data).data, romStatus(0, 0x05));
  EXPECT_EQ(dataCommand(0x07, 1, data).data, romStatus(1, 0x05)) << "more than announced";
  EXPECT_EQ(command(0x05, words({16, 1, 6144, 0x50000000})).data, romStatus(1, 0x06)) << "not RAM";
  // MEM_END with flag 1 answers and stays in the loader.
  EXPECT_EQ(command(0x06, words({1, 0x3FFDEBA8})).opcode, 0x06);
  EXPECT_FALSE(readFrame(50).has_value());
  EXPECT_EQ(board.mode(), VirtualEsp32::Mode::kLoader);

  const SimCommand& last = board.commands()[board.commands().size() - 3];
  EXPECT_EQ(last.loader, SimLoader::kRom);
  EXPECT_EQ(last.opcode, 0x07);
  EXPECT_EQ(last.size, 24);
  EXPECT_EQ(last.checksum, xorSum(data));
  EXPECT_EQ(Bytes(last.payload.begin() + 16, last.payload.end()), data);
}

TEST_F(RomLoader, FlashBeginRefusesStubBlocksAndUnalignedOffsetsAndErasesWholeSectors) {
  connect();
  EXPECT_EQ(command(0x02, words({16384, 1, 16384, 0x10000})).data, romStatus(1, 0x05));
  EXPECT_EQ(command(0x02, words({16384, 2, 8192, 0x10000})).data, romStatus(1, 0x05));
  EXPECT_EQ(command(0x02, words({4096, 1, 4096, 0x10010})).data, romStatus(1, 0x06));

  auto flash = board.flash().bytes();
  std::fill(flash.begin() + 0x1F000, flash.begin() + 0x23000, 0x00);
  int64_t before = clock.nowUs();
  // 5000 bytes from 0x20000 touch two sectors, each erased in 45 ms before the answer.
  EXPECT_EQ(command(0x02, words({5000, 2, 4096, 0x20000})).data, romStatus(0, 0x06));
  EXPECT_GE(clock.nowUs() - before, 2 * 45000);
  EXPECT_LT(clock.nowUs() - before, 2 * 45000 + 10000);
  EXPECT_EQ(flash[0x1FFFF], 0x00);
  EXPECT_EQ(flash[0x20000], 0xFF);
  EXPECT_EQ(flash[0x21FFF], 0xFF);
  EXPECT_EQ(flash[0x22000], 0x00);
}

TEST_F(RomLoader, WritesFlashAndReportsItsMd5AsHexText) {
  connect();
  EXPECT_EQ(dataCommand(0x03, 0, Bytes(16, 0x5A)).data, romStatus(1, 0x06)) << "no FLASH_BEGIN";
  command(0x02, words({3, 1, 4096, 0x9000}));
  Answer w = dataCommand(0x03, 0, {'a', 'b', 'c'});
  EXPECT_EQ(board.commands().back().checksum, 0x8Fu);
  EXPECT_EQ(w.data, romStatus(0, 0x06));
  EXPECT_EQ(board.flash().bytes()[0x9000], 'a');
  EXPECT_EQ(board.flash().bytes()[0x9002], 'c');
  Answer md5 = command(0x13, words({0x9000, 3, 0, 0}));
  EXPECT_EQ(md5.size, 36);
  EXPECT_EQ(std::string(md5.data.begin(), md5.data.begin() + 32),
            "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(Bytes(md5.data.begin() + 32, md5.data.end()), romStatus(0, 0x06));
}

TEST_F(RomLoader, ReadFlashSlowAnswersAtMost64BytesThenItsStatus) {
  connect();
  for (uint32_t i = 0; i < 200; ++i) board.flash().bytes()[0x3000 + i] = uint8_t(i);
  Answer big = command(0x0E, words({0x3000, 1024}));
  ASSERT_EQ(big.size, 68);
  EXPECT_EQ(Bytes(big.data.begin(), big.data.begin() + 64),
            Bytes(board.flash().bytes().begin() + 0x3000, board.flash().bytes().begin() + 0x3040));
  EXPECT_EQ(big.data[64], 0);
  Answer small = command(0x0E, words({0x3010, 3}));
  ASSERT_EQ(small.size, 7);
  EXPECT_EQ(Bytes(small.data.begin(), small.data.begin() + 3), (Bytes{0x10, 0x11, 0x12}));
  // Past the end of the flash, or nothing asked: the ROM fails to act.
  EXPECT_EQ(command(0x0E, words({0x3FFFF0, 64})).data, romStatus(1, 0x06));
  EXPECT_EQ(command(0x0E, words({0x3000, 0})).data, romStatus(1, 0x06));
}

TEST_F(RomLoader, AfterAFlashDataErrorTheAddressStaysBehind) {
  connect();
  command(0x02, words({8192, 2, 4096, 0x30000}));
  EXPECT_EQ(dataCommand(0x03, 0, Bytes(4096, 0x11), 0x01).data, romStatus(1, 0x07));
  // The host goes on with sequence 1; the ROM takes it but writes where block 0 belonged.
  EXPECT_EQ(dataCommand(0x03, 1, Bytes(4096, 0x22)).data, romStatus(0, 0x07));
  EXPECT_EQ(board.flash().bytes()[0x30000], 0x22);
  EXPECT_EQ(board.flash().bytes()[0x31000], 0xFF);
  EXPECT_EQ(dataCommand(0x03, 1, Bytes(16, 0x33)).data, romStatus(1, 0x05)) << "sequence";
  command(0x02, words({4096, 1, 8, 0x40000}));
  EXPECT_EQ(dataCommand(0x03, 0, Bytes(16, 0x33)).data, romStatus(1, 0x05)) << "block size";
}

TEST_F(RomLoader, FlashEndRebootsIntoTheLoaderOrLeavesIt) {
  connect();
  command(0x04, words({0}));
  std::string text;
  for (uint8_t b : drain()) text += static_cast<char>(b);
  EXPECT_NE(text.find("waiting for download"), std::string::npos);
  EXPECT_EQ(board.boots().back().mode, VirtualEsp32::Mode::kLoader);
  send(syncFrame());
  ASSERT_TRUE(readAnswer().has_value());
  drain();
  command(0x04, words({1}));
  clock.sleepMs(20);
  EXPECT_EQ(board.mode(), VirtualEsp32::Mode::kApplication);
}

}  // namespace
}  // namespace flintmoor::simtest
