// The packet link's two kinds of failure, the command rows' payload layouts and time-out rules.
#include <stdexcept>
#include <string>

#include "esp/Commands.h"
#include "esp/PacketLink.h"
#include "tests/esp/EspFixture.h"

namespace flintmoor {
namespace {

class PacketLinkTest : public EspTest {};

TEST_F(PacketLinkTest, NoAnswerIsALineErrorAndAStatusIsTheChipsRefusal) {
  // Nothing comes: the line is to blame, with the fault the speed fallback looks at.
  uint32_t value = 0;
  try {
    esp->readReg(0x40001000, value);
    FAIL() << "no answer raised nothing";
  } catch (const LineError& e) {
    EXPECT_EQ(std::string(e.what()), "Read Reg: 0x40001000");
    EXPECT_EQ(e.fault(), TPacketFault::pfNoFrame);
  }
  // The chip refuses: opcode, status and error code travel with the same message.
  line.answerNext(failed(kWriteReg, 0x05));
  try {
    esp->writeReg(0x3FF00000, 1);
    FAIL() << "a refusal raised nothing";
  } catch (const ChipRefusal& e) {
    EXPECT_EQ(std::string(e.what()), "Write Reg: 0x3FF00000");
    EXPECT_EQ(e.opcode(), kWriteReg);
    EXPECT_EQ(e.status(), 1);
    EXPECT_EQ(e.error(), 0x05);
  }
  // A block the chip received damaged (stub 0xC1, ROM 0x07) is the line's fault again.
  const uint8_t block[4] = {1, 2, 3, 4};
  for (uint8_t damaged : {uint8_t{0xC1}, uint8_t{0x07}}) {
    line.answerNext(failed(kFlashData, damaged));
    try {
      esp->flashWrite(block, sizeof block);
      FAIL() << "a damaged block raised nothing";
    } catch (const LineError& e) {
      EXPECT_EQ(std::string(e.what()), "Error Flash");
      EXPECT_EQ(e.fault(), TPacketFault::pfChecksum);
    }
  }
}

TEST_F(PacketLinkTest, APayloadNotLaidOutAsTheRowSaysIsRefusedBeforeAnythingIsSent) {
  PacketLink& link = esp->link();
  const uint8_t threeBytes[3] = {};
  EXPECT_THROW(link.exchange(command::kReadRegRule, threeBytes, 100), std::invalid_argument);
  const uint8_t twoWords[8] = {};
  EXPECT_THROW(link.exchange(command::kFlashDataRule, twoWords, 100), std::invalid_argument);
  EXPECT_TRUE(line.writes().empty());

  Payload payload;
  payload.word(1);
  for (size_t n = 4; n + 4 <= Payload::kCapacity; n += 4) payload.word(0);
  EXPECT_THROW(payload.word(2), std::length_error);
}

TEST(CommandRows, TimeOutsGrowWithTheWorkTheChipDoesBeforeItAnswers) {
  using namespace command;
  EXPECT_EQ(kReadRegRule.timeoutMs(1u << 30), 300);
  // An erase: 2 s for every started 64 KiB.
  EXPECT_EQ(kFlashBeginRomRule.timeoutMs(0), 5000);
  EXPECT_EQ(kFlashBeginRomRule.timeoutMs(1), 7000);
  EXPECT_EQ(kFlashBeginRomRule.timeoutMs(0x10001), 9000);
  // An MD5: 2 s for every started MiB; an inflated block: 10 ms for every started KiB.
  EXPECT_EQ(kFlashMd5Rule.timeoutMs(0x100000), 7000);
  EXPECT_EQ(kFlashDeflDataRule.timeoutMs(0x10000), 2640);
}

}  // namespace
}  // namespace flintmoor
