// The bootloader commands: payloads, time-outs, success tests, messages and log lines.
#include <gmock/gmock.h>

#include <array>
#include <functional>
#include <string>

#include "base/Error.h"
#include "tests/esp/EspFixture.h"

namespace flintmoor {
namespace {

using Bytes = std::vector<uint8_t>;
using ::testing::ElementsAre;

const std::string kSeparator(60, '=');

class CommandTest : public EspTest {
 protected:
  // The last request as sent: 8 header bytes then the payload.
  Bytes lastPacket() const { return line.packets().back(); }
  static Bytes header(uint8_t op, uint16_t size, uint8_t chk = 0) {
    return {0x00, op, uint8_t(size), uint8_t(size >> 8), chk, 0x00, 0x00, 0x00};
  }
  std::string messageOf(const std::function<void()>& f) {
    try {
      f();
    } catch (const Exception& e) {
      return e.what();
    }
    return "(nothing raised)";
  }
};

struct FlashStartCase {
  uint32_t offset, image, blocks, erase;
  const char* adr;
};

class FlashStartTest : public CommandTest, public ::testing::WithParamInterface<FlashStartCase> {};

TEST_P(FlashStartTest, AnnouncesWholeBlocksAndLogsThem) {
  const FlashStartCase c = GetParam();
  line.answerNext(ok(0x02));
  esp->flashStart(c.offset, c.image, 16384);
  EXPECT_EQ(lastPacket(), cat(header(0x02, 16), words({c.erase, c.blocks, 16384, c.offset})));
  EXPECT_THAT(log.lines(), ElementsAre(kSeparator, "BLK: " + std::to_string(c.blocks),
                                       "ERA: " + std::to_string(c.erase), c.adr));
}

INSTANTIATE_TEST_SUITE_P(Sizes, FlashStartTest,
                         ::testing::Values(FlashStartCase{0x10000, 16384, 1, 16384, "ADR: 10000"},
                                           FlashStartCase{0x8000, 16385, 2, 32768, "ADR: 8000"},
                                           FlashStartCase{0x1000, 0, 0, 0, "ADR: 1000"}));

TEST_F(CommandTest, FlashStartTakesAnyReplyButNeedsOne) {
  line.answerNext(failed(0x02, 0xC3));
  EXPECT_NO_THROW(esp->flashStart(0x1000, 100, 16384));
  EXPECT_EQ(messageOf([&] { esp->flashStart(0x1000, 100, 16384); }), "Error Flash Start");
  EXPECT_EQ(messageOf([&] { esp->flashStart(0x1000, 100, 0); }), "Error Flash Start");
}

TEST_F(CommandTest, FlashWriteFrameCarriesDataChecksum) {
  line.answerNext(ok(0x02));
  esp->flashStart(0x1000, 3, 16384);
  line.answerNext(ScriptedLine::reply(0x03, {0, 0}));
  const Bytes abc = {'a', 'b', 'c'};
  esp->flashWrite(abc.data(), 3);
  EXPECT_EQ(line.writes().back(), (Bytes{0xC0, 0x00, 0x03, 0x13, 0x00, 0x8F, 0x00, 0x00, 0x00, 0x03,
                                         0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                         0x00, 0x00, 0x00, 0x00, 0x00, 'a',  'b',  'c',  0xC0}));
}

TEST_F(CommandTest, FlashWriteNumbersBlocksAndSendsTheShortLastOneAsIs) {
  const Bytes image(16384 + 5, 0x00);
  line.answerNext(ok(0x02));
  esp->flashStart(0x10000, uint32_t(image.size()), 16384);
  line.answerNext(ok(0x03));
  line.answerNext(ok(0x03));
  esp->flashWrite(image.data(), 16384);
  esp->flashWrite(image.data() + 16384, 5);
  const auto packets = line.packets();
  ASSERT_EQ(packets.size(), 3u);
  EXPECT_EQ(Bytes(packets[1].begin(), packets[1].begin() + 24),
            cat(header(0x03, 16400, 0xEF), words({16384, 0, 0, 0})));
  EXPECT_EQ(packets[1].size(), 8u + 16400u);
  EXPECT_EQ(packets[2], cat(cat(header(0x03, 21, 0xEF), words({5, 1, 0, 0})), Bytes(5, 0)));

  // A new image starts again at 0.
  line.answerNext(ok(0x02));
  line.answerNext(ok(0x03));
  esp->flashStart(0x8000, 1, 16384);
  esp->flashWrite(image.data(), 1);
  const Bytes restarted = lastPacket();
  EXPECT_EQ(Bytes(restarted.begin() + 8, restarted.begin() + 16), words({1, 0}));
}

TEST_F(CommandTest, FlashWriteFailuresAndTheirLog) {
  line.answerNext(ok(0x02));
  esp->flashStart(0x1000, 6, 16384);
  const Bytes a = {'A'};
  for (int i = 0; i < 5; ++i) {
    line.answerNext(ok(0x03));
    esp->flashWrite(a.data(), 1);
  }
  log.C();

  EXPECT_EQ(messageOf([&] { esp->flashWrite(a.data(), 1); }), "Error Flash Write");
  line.answerNext(ScriptedLine::reply(0x03, {1}));  // no room for the error code
  EXPECT_EQ(messageOf([&] { esp->flashWrite(a.data(), 1); }), "Error Flash Write");
  EXPECT_TRUE(log.lines().empty());

  line.answerNext(failed(0x03, 0xC1));
  EXPECT_EQ(messageOf([&] { esp->flashWrite(a.data(), 1); }), "Error Flash");
  line.answerNext(failed(0x03, 0x05));
  EXPECT_EQ(messageOf([&] { esp->flashWrite(a.data(), 1); }), "Error Flash");
  const std::string dump0 =
      "0000:  00 03 11 00 AE 00 00 00 01 00 00 00 05 00 00 00  ................";
  const std::string dump1 = "0010:  00 00 00 00 00 00 00 00 41 .. .. .. .. .. .. ..  ........A";
  EXPECT_THAT(log.lines(), ElementsAre("  5: 1 = C1", dump0, dump1, "  5: 1 =  5", dump0, dump1));

  const Bytes tooBig(16401, 0);
  const size_t sent = line.writes().size();
  EXPECT_EQ(messageOf([&] { esp->flashWrite(tooBig.data(), 16401); }), "Error Flash Write");
  EXPECT_EQ(line.writes().size(), sent);
}

TEST_F(CommandTest, ReadRegTakesTheValueOnlyFromAFullSuccessfulReply) {
  uint32_t value = 0;
  line.answerNext(ok(0x0A, 0x00F01D83));
  esp->readReg(0x40001000, value);
  EXPECT_EQ(value, 0x00F01D83u);
  EXPECT_EQ(lastPacket(),
            (Bytes{0x00, 0x0A, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x40}));

  value = 0xDEADBEEF;
  EXPECT_EQ(messageOf([&] { esp->readReg(0x40001000, value); }), "Read Reg: 0x40001000");
  line.answerNext(ScriptedLine::reply(0x0A, {}, 0x1234));  // status byte left from before is 0
  EXPECT_EQ(messageOf([&] { esp->readReg(0x40001000, value); }), "Read Reg: 0x40001000");
  line.answerNext(failed(0x0A, 0x05));
  EXPECT_EQ(messageOf([&] { esp->readReg(0x3FF5A004, value); }), "Read Reg: 0x3FF5A004");
  EXPECT_EQ(value, 0xDEADBEEFu);
}

TEST_F(CommandTest, AStaleAnswerBeforeTheRightOneIsSkippedAndLogged) {
  // A further SYNC answer (the ROM sends eight) arrives before READ_REG's own.
  uint32_t value = 0;
  line.answerNext(cat(ok(0x08, 0x20120707), ok(0x0A, 0x00F01D83)));
  esp->readReg(0x40001000, value);
  EXPECT_EQ(value, 0x00F01D83u);
  EXPECT_THAT(log.lines(),
              ElementsAre("Stale answer 08 skipped, waiting for 0A",
                          "0000:  01 08 04 00 07 07 12 20 00 00 00 00 .. .. .. ..  ....... ...."));

  // The stub's answers (two status bytes) are matched the same way.
  line.answerNext(cat(ScriptedLine::reply(0x03, {0, 0}), ScriptedLine::reply(0x02, {0, 0})));
  EXPECT_NO_THROW(esp->flashStart(0x1000, 100, 16384));
}

TEST_F(CommandTest, OnlyWrongOpcodesEndInTheCommandsErrorWithinItsTimeOut) {
  // The ROM answers a command it does not know under the previous opcode.
  uint32_t value = 0xDEADBEEF;
  line.answerNext(failed(0x0A, 0x05));
  int64_t start = clock.nowUs();
  EXPECT_EQ(messageOf([&] { esp->eraseChip(); }), "Error ERASE_FLASH");
  EXPECT_LE(clock.nowUs() - start, 21'000'000);

  line.answerNext(ok(0x09, 0x1234));
  start = clock.nowUs();
  EXPECT_EQ(messageOf([&] { esp->readReg(0x3FF5A008, value); }), "Read Reg: 0x3FF5A008");
  EXPECT_EQ(value, 0xDEADBEEFu);
  EXPECT_LE(clock.nowUs() - start, 302'000);

  // A peer that answers every request with endless stale frames is cut off as well: after twice
  // the time-out, at the end of the frame then being read (14 bytes, 2 ms apart).
  Bytes flood;
  for (int i = 0; i < 400; ++i) flood = cat(flood, ok(0x08));
  line.answerNext(flood, 1000, 2000);
  start = clock.nowUs();
  EXPECT_EQ(messageOf([&] { esp->spiAttach(); }), "Error SPI_ATTACH");
  EXPECT_LE(clock.nowUs() - start, 2 * 100'000 + 14 * 2'000 + 1'000);
}

TEST_F(CommandTest, WriteRegSendsMaskAndDelay) {
  line.answerNext(ok(0x09));
  esp->writeReg(0x3FF5A004, 0x12345678);
  EXPECT_EQ(lastPacket(), cat(header(0x09, 16), words({0x3FF5A004, 0x12345678, 0xFFFFFFFF, 0})));
  line.answerNext(failed(0x09, 0x06));
  EXPECT_EQ(messageOf([&] { esp->writeReg(0x0000ABCD, 1); }), "Write Reg: 0x0000ABCD");
}

TEST_F(CommandTest, ChangeBaudSwitchesThePortOnlyWhenTheChipAgrees) {
  com.cPort.setCustomBaudRate(115200);
  esp->changeBaud(921600, 115200);
  EXPECT_EQ(line.baud(), 115200u);
  line.answerNext(failed(0x0F, 0x05));
  esp->changeBaud(921600, 115200);
  EXPECT_EQ(line.baud(), 115200u);

  line.answerNext(ok(0x0F));
  esp->changeBaud(921600, 115200);
  EXPECT_EQ(lastPacket(), cat(header(0x0F, 8), words({921600, 115200})));
  EXPECT_EQ(line.baud(), 921600u);
}

TEST_F(CommandTest, EraseChipWaitsLongAndAlwaysDumpsTheResponse) {
  line.answerNext(ok(0xD0), 19'900'000);
  esp->eraseChip();
  EXPECT_EQ(lastPacket(), header(0xD0, 0));
  EXPECT_THAT(log.lines(),
              ElementsAre("0000:  01 D0 04 00 00 00 00 00 00 00 00 00 .. .. .. ..  ............"));

  log.C();
  EXPECT_EQ(messageOf([&] { esp->eraseChip(); }), "Error ERASE_FLASH");
  EXPECT_EQ(log.lines().size(), 1u);  // the previous answer, still in Response

  // A length field beyond Response is dumped only as far as Response reaches.
  log.C();
  Bytes lying = {0xC0, 0x01, 0xD0, 0xFF, 0xFF, 0, 0, 0, 0, 1, 0x05, 0xC0};
  line.answerNext(lying);
  EXPECT_EQ(messageOf([&] { esp->eraseChip(); }), "Error ERASE_FLASH");
  EXPECT_EQ(log.lines().size(), (sizeof(TResponse) + 15) / 16);
}

TEST_F(CommandTest, EachCommandWaitsItsOwnTimeForTheAnswer) {
  uint32_t value = 0;
  const Bytes one = {0x00};
  struct Case {
    const char* name;
    uint8_t op;
    int64_t timeoutMs;
    std::function<void()> run;
  };
  const std::array<Case, 5> cases = {{
      {"READ_REG", 0x0A, 300, [&] { esp->readReg(0x40001000, value); }},
      {"WRITE_REG", 0x09, 300, [&] { esp->writeReg(0x3FF5A004, 1); }},
      {"FLASH_BEGIN", 0x02, 5000, [&] { esp->flashStart(0x1000, 1, 16384); }},
      {"FLASH_DATA", 0x03, 2000, [&] { esp->flashWrite(one.data(), 1); }},
      {"ERASE_FLASH", 0xD0, 20000, [&] { esp->eraseChip(); }},
  }};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    line.answerNext(ok(c.op), (c.timeoutMs - 10) * 1000);
    EXPECT_NO_THROW(c.run());
    line.answerNext(ok(c.op), (c.timeoutMs + 10) * 1000);
    EXPECT_THROW(c.run(), Exception);
    clock.sleepMs(100);  // the late answer arrives and is purged by the next command
  }

  // CHANGE_BAUDRATE raises nothing: the port's speed tells whether the answer counted.
  com.cPort.setCustomBaudRate(115200);
  line.answerNext(ok(0x0F), 210'000);
  esp->changeBaud(921600, 115200);
  EXPECT_EQ(line.baud(), 115200u);
  clock.sleepMs(100);
  line.answerNext(ok(0x0F), 190'000);
  esp->changeBaud(921600, 115200);
  EXPECT_EQ(line.baud(), 921600u);
}

TEST_F(CommandTest, AttachAndParameterCommands) {
  struct Case {
    std::function<void()> run;
    Bytes packet;
    const char* error;
  };
  const std::array<Case, 3> cases = {{
      {[&] { esp->spiAttach(); }, cat(header(0x0D, 4), words({0})), "Error SPI_ATTACH"},
      {[&] { esp->romSpiAttach(); }, cat(header(0x0D, 8), words({0, 0})), "Error SPI_ATTACH"},
      {[&] { esp->spiSetParams(); },
       // 24 payload bytes: the checksum rule covers bytes 16 on, 0xEF ^ 0x01 ^ 0xFF ^ 0xFF.
       cat(header(0x0B, 24, 0xEE), words({0, 0x400000, 0x10000, 0x1000, 0x100, 0xFFFF})),
       "Error SPI_SET_PARAMS"},
  }};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    line.answerNext(ok(c.packet[1]), 90'000);
    EXPECT_NO_THROW(c.run());
    EXPECT_EQ(lastPacket(), c.packet);
    line.answerNext(ok(c.packet[1]), 150'000);  // later than 100 ms
    EXPECT_EQ(messageOf(c.run), c.error);
    clock.sleepMs(100);  // the late answer arrives and is purged by the next command
    line.answerNext(failed(c.packet[1], 0x05));
    EXPECT_EQ(messageOf(c.run), c.error);
  }
}

TEST_F(CommandTest, RomFlashStartWaitsLongerForLargerRegions) {
  // 0x10001 bytes: 17 blocks, 69632 bytes to erase, two started 64 KiB: 9000 ms.
  line.answerNext(ok(0x02), 8'900'000);
  esp->romFlashStart(0x10000, 0x10001);
  EXPECT_EQ(lastPacket(), cat(header(0x02, 16), words({69632, 17, 4096, 0x10000})));
  EXPECT_THAT(log.lines(), ElementsAre(kSeparator, "BLK: 17", "ERA: 69632", "ADR: 10000"));

  line.answerNext(ok(0x02), 8'900'000);  // one started 64 KiB: 7000 ms
  EXPECT_EQ(messageOf([&] { esp->romFlashStart(0x10000, 1); }), "Error Flash Start");
  clock.sleepMs(2000);
  line.answerNext(failed(0x02, 0x05));
  EXPECT_EQ(messageOf([&] { esp->romFlashStart(0x10000, 1); }), "Error Flash Start");

  // Sequence starts again at 0.
  line.answerNext(ok(0x02));
  esp->romFlashStart(0, 4096);
  line.answerNext(ok(0x03));
  const Bytes one = {0x00};
  esp->flashWrite(one.data(), 1);
  const Bytes restarted = lastPacket();
  EXPECT_EQ(Bytes(restarted.begin() + 8, restarted.begin() + 16), words({1, 0}));
}

TEST_F(CommandTest, ReadFlashSlowTakesTheAskedBytesFromAPaddedOrExactAnswer) {
  Bytes flash(64);
  for (size_t i = 0; i < flash.size(); ++i) flash[i] = uint8_t(0xA0 + i);
  std::array<uint8_t, 64> out{};

  // The ROM answers 64 bytes whatever was asked: only the asked 10 are taken.
  line.answerNext(ScriptedLine::reply(0x0E, cat(flash, {0, 0, 0, 0})));
  esp->readFlashSlow(0x3000, 10, out.data());
  EXPECT_EQ(lastPacket(), cat(header(0x0E, 8), words({0x3000, 10})));
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 10), Bytes(flash.begin(), flash.begin() + 10));
  EXPECT_EQ(out[10], 0);

  // An answer of exactly the bytes asked is as good.
  out.fill(0);
  line.answerNext(
      ScriptedLine::reply(0x0E, cat(Bytes(flash.begin(), flash.begin() + 3), {0, 0, 0, 0})));
  esp->readFlashSlow(0x3000, 3, out.data());
  EXPECT_EQ(out[2], flash[2]);

  // Too few bytes, a failure status, or more than 64 asked: an error, and nothing written.
  out.fill(0);
  const std::array<Bytes, 2> refused = {
      ScriptedLine::reply(0x0E, cat(Bytes(flash.begin(), flash.begin() + 8), {0, 0, 0, 0})),
      ScriptedLine::reply(0x0E, cat(flash, {1, 0x09, 0, 0}))};
  for (const Bytes& answer : refused) {
    line.answerNext(answer);
    EXPECT_EQ(messageOf([&] { esp->readFlashSlow(0, 16, out.data()); }), "Error Read Flash");
  }
  EXPECT_EQ(messageOf([&] { esp->readFlashSlow(0, 65, out.data()); }), "Error Read Flash");
  EXPECT_EQ(out, (std::array<uint8_t, 64>{}));
}

TEST_F(CommandTest, FlashMd5ReadsRomAndStubAnswers) {
  const std::array<uint8_t, 16> expected = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF,
                                            0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10};
  const std::string hex = "0123456789abcdefFEDCBA9876543210";
  std::array<uint8_t, 16> digest{};

  // 3 MiB: 11000 ms.
  line.answerNext(ScriptedLine::reply(0x13, cat(Bytes(hex.begin(), hex.end()), {0, 0, 0, 0})),
                  10'900'000);
  esp->flashMd5(0x1000, 0x300000, digest.data());
  EXPECT_EQ(lastPacket(), cat(header(0x13, 16), words({0x1000, 0x300000, 0, 0})));
  EXPECT_EQ(digest, expected);

  digest.fill(0);
  line.answerNext(ScriptedLine::reply(0x13, cat(Bytes(expected.begin(), expected.end()), {0, 0})));
  esp->flashMd5(0x1000, 16, digest.data());
  EXPECT_EQ(digest, expected);

  digest.fill(0);
  Bytes badHex(hex.begin(), hex.end());
  badHex[7] = 'g';
  const std::array<Bytes, 4> refused = {
      ScriptedLine::reply(0x13, cat(Bytes(hex.begin(), hex.end()), {1, 0x09, 0, 0})),
      ScriptedLine::reply(0x13, cat(badHex, {0, 0, 0, 0})),
      ScriptedLine::reply(0x13, cat(Bytes(expected.begin(), expected.end()), {1, 0xC1})), ok(0x13)};
  for (const Bytes& answer : refused) {
    line.answerNext(answer);
    EXPECT_EQ(messageOf([&] { esp->flashMd5(0, 16, digest.data()); }), "Error SPI_FLASH_MD5");
  }
  EXPECT_EQ(digest, (std::array<uint8_t, 16>{}));
}

}  // namespace
}  // namespace flintmoor
