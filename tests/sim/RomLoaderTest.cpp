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

TEST_F(RomLoader, SyncIsAnsweredEightTimesWithTheRomValueWord) {
  open();
  downloadReset();
  drain();
  send(syncFrame());
  Bytes oneAnswer = {0xC0, 0x01, 0x08, 0x04, 0x00, 0x07, 0x07,
                     0x12, 0x20, 0x00, 0x00, 0x00, 0x00, 0xC0};
  Bytes expected;
  for (int i = 0; i < 8; ++i) expected.insert(expected.end(), oneAnswer.begin(), oneAnswer.end());
  int64_t sent = clock.nowUs();
  int first = port.readByte(10);
  int64_t firstAt = clock.nowUs();
  Bytes got = {static_cast<uint8_t>(first)};
  Bytes rest = drain();
  got.insert(got.end(), rest.begin(), rest.end());
  EXPECT_EQ(got, expected);
  // The first answer starts 1 to 3 ms after the frame has arrived (46 bytes at 115200: 4 ms).
  EXPECT_GE(firstAt - sent, 4000 + 1000);
  EXPECT_LE(firstAt - sent, 4000 + 3000 + 100);
}

TEST_F(RomLoader, IgnoresASyncWithAWrongPattern) {
  connect();
  Bytes payload = concat(Bytes{0x07, 0x07, 0x12, 0x20}, Bytes(32, 0x55));
  payload[20] = 0x54;
  send(0x08, payload);
  EXPECT_TRUE(drain(300).empty());
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
  EXPECT_EQ(id.value, 0x00F01D83u);
  EXPECT_EQ(id.data, romStatus(0, 0));

  Answer attach = command(0x0D, words({0}));
  EXPECT_EQ(attach.opcode, 0x0D);
  EXPECT_EQ(attach.value, 0x00F01D83u) << "value word repeats the last READ_REG";
  EXPECT_EQ(attach.data, romStatus(0, 0));

  Answer bad = command(0x0D, words({0, 0, 0}));  // 12 bytes: neither 4 nor 8
  EXPECT_EQ(bad.data, romStatus(1, 0x05));
  Answer eight = command(0x0D, words({0, 0}));
  EXPECT_EQ(eight.data, romStatus(0, 0x05)) << "error byte stays from the earlier failure";
}

TEST_F(RomLoader, UnknownCommandsAreAnsweredUnderThePreviousOpcode) {
  connect();
  command(0x0A, words({0x3FF5A004}));
  Answer erase = command(0xD0, {});
  EXPECT_EQ(erase.opcode, 0x0A);
  EXPECT_EQ(erase.value, 0x5E102030u);
  EXPECT_EQ(erase.data, romStatus(1, 0x05));
  Answer other = command(0x42, words({1}));
  EXPECT_EQ(other.opcode, 0x0A) << "an unknown command does not become the previous one";
  EXPECT_EQ(board.commands().back().opcode, 0x42);
}

TEST_F(RomLoader, ChangeBaudrateAnswersAtTheOldSpeedThenSwitches) {
  connect();
  port.purge();
  send(0x0F, words({921600, 0}));
  auto a = readAnswer();
  ASSERT_TRUE(a.has_value());
  EXPECT_EQ(a->opcode, 0x0F);
  EXPECT_EQ(a->data, romStatus(0, 0));
  EXPECT_EQ(board.chipBaud(), 921600u);

  // Still at the old speed, the next request arrives garbled and is not understood.
  send(0x0A, words({0x40001000}));
  EXPECT_FALSE(readFrame(200).has_value());

  port.setBaudRate(921600);
  Answer id = command(0x0A, words({0x40001000}));
  EXPECT_EQ(id.value, 0x00F01D83u);

  // Answers heard at the wrong speed are garbled the same way every time, and never hold an END.
  port.setBaudRate(115200);
  port.purge();
  send(requestFrame(0x0A, words({0x40001000})));  // garbled on the way in: no answer
  port.setBaudRate(921600);
  send(0x0A, words({0x40001000}));
  port.setBaudRate(115200);
  clock.sleepMs(50);
  Bytes first = drain();
  EXPECT_EQ(first.size(), 14u);
  EXPECT_EQ(std::count(first.begin(), first.end(), 0xC0), 0);
  port.setBaudRate(921600);
  send(0x0A, words({0x40001000}));
  port.setBaudRate(115200);
  clock.sleepMs(50);
  EXPECT_EQ(drain(), first);

  auto& speeds = board.baudChanges();
  ASSERT_FALSE(speeds.empty());
  EXPECT_TRUE(std::any_of(speeds.begin(), speeds.end(), [](const SimBaudChange& c) {
    return c.side == SimSide::kChip && c.baud == 921600;
  }));
}

TEST_F(RomLoader, DetectsTheSpeedOfTheFirstSync) {
  open(230400);
  downloadReset();
  Bytes bootText = drain();
  EXPECT_FALSE(bootText.empty());
  EXPECT_EQ(std::count(bootText.begin(), bootText.end(), 'w'), 0)
      << "boot text goes out at 115200 and is garbled at 230400";
  send(syncFrame());
  auto a = readAnswer();
  ASSERT_TRUE(a.has_value());
  EXPECT_EQ(a->opcode, 0x08);
  EXPECT_EQ(board.chipBaud(), 230400u);
}

TEST_F(RomLoader, MemoryCommandsCheckSequenceAndChecksum) {
  connect();
  Bytes data = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80};
  EXPECT_EQ(command(0x05, words({8, 1, 6144, 0x3FFDEBA8})).data, romStatus(0, 0));
  EXPECT_EQ(command(0x07, concat(words({8, 0, 0, 0}), data), xorSum(data) ^ 1).data,
            romStatus(1, 0x07));
  EXPECT_EQ(command(0x07, concat(words({8, 1, 0, 0}), data), xorSum(data)).data,
            romStatus(1, 0x05));
  EXPECT_EQ(command(0x07, concat(words({9, 0, 0, 0}), data), xorSum(data)).data, romStatus(1, 0x05))
      << "length word disagrees with the data";
  EXPECT_EQ(command(0x07, concat(words({8, 0, 0, 0}), data), xorSum(data)).data,
            romStatus(0, 0x05));
  EXPECT_EQ(command(0x07, concat(words({8, 1, 0, 0}), data), xorSum(data)).data, romStatus(1, 0x05))
      << "more data than MEM_BEGIN announced";
  EXPECT_EQ(command(0x05, words({16, 1, 6144, 0x50000000})).data, romStatus(1, 0x06)) << "not RAM";

  // MEM_END with flag 1 answers and stays in the loader.
  Answer end = command(0x06, words({1, 0x3FFDEBA8}));
  EXPECT_EQ(end.opcode, 0x06);
  EXPECT_FALSE(readFrame(50).has_value());
  EXPECT_EQ(board.mode(), VirtualEsp32::Mode::kLoader);
}

TEST_F(RomLoader, FlashBeginRefusesStubBlocksAndUnalignedOffsetsAndErasesWholeSectors) {
  connect();
  EXPECT_EQ(command(0x02, words({16384, 1, 16384, 0x10000})).data, romStatus(1, 0x05));
  EXPECT_EQ(command(0x02, words({16384, 2, 8192, 0x10000})).data, romStatus(1, 0x05));
  EXPECT_EQ(command(0x02, words({4096, 1, 4096, 0x10010})).data, romStatus(1, 0x06));

  auto flash = board.flash().bytes();
  std::fill(flash.begin() + 0x1F000, flash.begin() + 0x23000, 0x00);
  int64_t before = clock.nowUs();
  // 5000 bytes from 0x20000 touch two sectors: 0x20000 and 0x21000.
  Answer a = command(0x02, words({5000, 2, 4096, 0x20000}), 0, 200);
  int64_t took = clock.nowUs() - before;
  EXPECT_EQ(a.data, romStatus(0, 0x06));
  EXPECT_GE(took, 2 * 45000);
  EXPECT_LT(took, 2 * 45000 + 10000);
  EXPECT_EQ(flash[0x1FFFF], 0x00);
  EXPECT_EQ(flash[0x20000], 0xFF);
  EXPECT_EQ(flash[0x21FFF], 0xFF);
  EXPECT_EQ(flash[0x22000], 0x00);
}

TEST_F(RomLoader, WritesFlashAndReportsItsMd5AsHexText) {
  connect();
  command(0x02, words({3, 1, 4096, 0x9000}));
  Bytes abc = {'a', 'b', 'c'};
  Answer w = command(0x03, concat(words({3, 0, 0, 0}), abc), 0x8F);
  EXPECT_EQ(w.data, romStatus(0, 0));
  EXPECT_EQ(board.flash().bytes()[0x9000], 'a');
  EXPECT_EQ(board.flash().bytes()[0x9002], 'c');

  Answer md5 = command(0x13, words({0x9000, 3, 0, 0}));
  EXPECT_EQ(md5.size, 36);
  std::string hex(md5.data.begin(), md5.data.begin() + 32);
  EXPECT_EQ(hex, "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(Bytes(md5.data.begin() + 32, md5.data.end()), romStatus(0, 0));
}

TEST_F(RomLoader, AfterAFlashDataErrorTheAddressStaysBehind) {
  connect();
  command(0x02, words({8192, 2, 4096, 0x30000}));
  Bytes a(4096, 0x11), b(4096, 0x22);
  EXPECT_EQ(command(0x03, concat(words({4096, 0, 0, 0}), a), xorSum(a) ^ 0x01).data,
            romStatus(1, 0x07));
  // The host goes on with sequence 1; the ROM takes it but writes where block 0 belonged.
  EXPECT_EQ(command(0x03, concat(words({4096, 1, 0, 0}), b), xorSum(b)).data, romStatus(0, 0x07));
  auto flash = board.flash().bytes();
  EXPECT_EQ(flash[0x30000], 0x22);
  EXPECT_EQ(flash[0x31000], 0xFF);
}

TEST_F(RomLoader, FlashDataChecksLengthSequenceAndBlockSize) {
  connect();
  Bytes d(16, 0x5A);
  EXPECT_EQ(command(0x03, concat(words({16, 0, 0, 0}), d), xorSum(d)).data, romStatus(1, 0x06))
      << "no FLASH_BEGIN yet";
  command(0x02, words({4096, 1, 16, 0x40000}));
  EXPECT_EQ(command(0x03, concat(words({16, 1, 0, 0}), d), xorSum(d)).data, romStatus(1, 0x05));
  command(0x02, words({4096, 1, 8, 0x40000}));
  EXPECT_EQ(command(0x03, concat(words({16, 0, 0, 0}), d), xorSum(d)).data, romStatus(1, 0x05))
      << "block larger than announced";
}

TEST_F(RomLoader, FlashEndRebootsIntoTheLoaderOrLeavesIt) {
  connect();
  command(0x04, words({0}));
  clock.sleepMs(20);
  EXPECT_EQ(board.mode(), VirtualEsp32::Mode::kLoader);
  EXPECT_EQ(board.boots().back().mode, VirtualEsp32::Mode::kLoader);
  Bytes text = drain();
  std::string s(text.begin(), text.end());
  EXPECT_NE(s.find("waiting for download"), std::string::npos);

  send(syncFrame());
  ASSERT_TRUE(readAnswer().has_value());
  drain();
  command(0x04, words({1}));
  clock.sleepMs(20);
  EXPECT_EQ(board.mode(), VirtualEsp32::Mode::kApplication);
}

TEST_F(RomLoader, RecordsEveryRequestWithItsPayload) {
  connect();
  board.clearRecord();
  Bytes data = {0xC0, 0xDB, 0x00};
  command(0x05, words({3, 1, 6144, 0x3FFDEBA8}));
  command(0x07, concat(words({3, 0, 0, 0}), data), xorSum(data));
  ASSERT_EQ(board.commands().size(), 2u);
  const SimCommand& mem = board.commands()[1];
  EXPECT_EQ(mem.loader, SimLoader::kRom);
  EXPECT_EQ(mem.opcode, 0x07);
  EXPECT_EQ(mem.size, 19);
  EXPECT_EQ(mem.checksum, xorSum(data));
  EXPECT_EQ(mem.payload, concat(words({3, 0, 0, 0}), data));
}

}  // namespace
}  // namespace flintmoor::simtest
