// Every fault switch of the virtual ESP32, seen from the port: what the host gets, and when.
#include <gtest/gtest.h>

#include <functional>
#include <numeric>
#include <string>

#include "SimHarness.h"
#include "comio/SerialDevice.h"

namespace flintmoor::simtest {
namespace {

using Mode = VirtualEsp32::Mode;

class FaultSwitch : public SimBench {
 protected:
  void fault(const char* text) { board.addFault(parseSimFault(text)); }

  // Connected, stub running, FLASH_BEGIN for `blocks` 4 KiB blocks at 0x10000.
  void readyToWrite(uint32_t blocks) {
    connect();
    startStub();
    command(0x02, words({blocks * 4096, blocks, 4096, 0x10000}));
  }

  static Bytes block(uint32_t seq) { return Bytes(4096, static_cast<uint8_t>(0x10 + seq)); }

  // Sends FLASH_DATA without reading its answer.
  void sendBlock(uint32_t seq) {
    Bytes payload = words({4096, seq, 0, 0});
    Bytes data = block(seq);
    payload.insert(payload.end(), data.begin(), data.end());
    port.purge();
    send(0x03, payload, xorSum(data));
  }

  // A 32-byte image at 0x400BE000 started at its first byte.
  void memLoadAndJump() {
    command(0x05, words({32, 0, 6144, 0x400BE000}));
    dataCommand(0x07, 0, Bytes(32, 0x11));
    EXPECT_EQ(command(0x06, words({0, 0x400BE000})).opcode, 0x06);
  }
};

TEST_F(FaultSwitch, SilentBoardNeverAnswers) {
  fault("silent");
  open();
  downloadReset();
  send(syncFrame());
  EXPECT_TRUE(drain(300).empty());
  EXPECT_EQ(board.mode(), Mode::kAbsent);
  EXPECT_EQ(board.lineChanges().size(), 7u) << "the bridge itself still works";
}

TEST_F(FaultSwitch, NoBootStrapBootsTheApplicationAtEveryDownloadResetAndIgnoresSync) {
  fault("no-boot-strap");
  open();
  for (int reset = 0; reset < 2; ++reset) {
    board.clearRecord();
    downloadReset();
    const Bytes raw = drain();
    const std::string text(raw.begin(), raw.end());
    EXPECT_NE(text.find("rst:0x1 (POWERON_RESET),boot:0x13 (SPI_FAST_FLASH_BOOT)\r\n"),
              std::string::npos)
        << text;
    ASSERT_EQ(board.boots().size(), 1u);
    EXPECT_EQ(board.boots()[0].mode, Mode::kApplication);
  }
  port.purge();
  send(syncFrame());
  const Bytes after = drain(300);
  EXPECT_EQ(std::find(after.begin(), after.end(), 0xC0), after.end()) << "no frame answers SYNC";
  EXPECT_TRUE(board.commands().empty());
}

TEST_F(FaultSwitch, ChatterPutsBootTextBeforeEveryAnswer) {
  fault("chatter");
  connect();
  port.purge();
  send(0x0A, words({0x40001000}));
  Bytes raw = drain();
  auto end = std::find(raw.begin(), raw.end(), 0xC0);
  ASSERT_NE(end, raw.end());
  EXPECT_NE(std::string(raw.begin(), end).find("waiting for download\r\n"), std::string::npos);
  EXPECT_EQ(Bytes(end, raw.end()),
            (Bytes{0xC0, 0x01, 0x0A, 0x04, 0x00, 0x83, 0x1D, 0xF0, 0x00, 0, 0, 0, 0, 0xC0}));
}

TEST_F(FaultSwitch, S2ReportsItsIdAndKeepsItsMacAtItsOwnAddresses) {
  fault("s2");
  connect();
  EXPECT_EQ(command(0x0A, words({0x40001000})).value, 0x000007C6u);
  EXPECT_EQ(command(0x0A, words({0x3F41A044})).value, 0x5E102030u);
  EXPECT_EQ(command(0x0A, words({0x3F41A048})).value & 0xFFFF, 0x0200u);
}

TEST_F(FaultSwitch, UnknownChipReportsNeitherKnownId) {
  fault("unknown-chip");
  connect();
  uint32_t id = command(0x0A, words({0x40001000})).value;
  EXPECT_NE(id, 0x00F01D83u);
  EXPECT_NE(id, 0x000007C6u);
}

TEST_F(FaultSwitch, SlowEnDefeatsTheFastTimingButNotTheSlowOne) {
  fault("slow-en");
  open();
  downloadReset(150, 100);  // FastLow, FastHigh
  clock.sleepMs(300);
  EXPECT_EQ(board.boots().back().mode, Mode::kApplication);
  send(syncFrame());
  EXPECT_FALSE(readAnswer(200).has_value());

  downloadReset(1400, 500);  // SlowLow, SlowHigh
  EXPECT_EQ(board.boots().back().mode, Mode::kLoader);
  drain();
  send(syncFrame());
  auto a = readAnswer(200);
  ASSERT_TRUE(a.has_value());
  EXPECT_EQ(a->opcode, 0x08);
}

TEST_F(FaultSwitch, NoBaudRefusesTheSpeedChange) {
  fault("no-baud");
  connect();
  EXPECT_EQ(command(0x0F, words({921600, 0})).data[0], 1);
  EXPECT_EQ(board.chipBaud(), 115200u);
  EXPECT_EQ(command(0x0A, words({0x40001000})).value, 0x00F01D83u);
}

TEST_F(FaultSwitch, StubSilentAnswersMemEndButNeverGreets) {
  fault("stub-silent");
  connect();
  memLoadAndJump();
  EXPECT_FALSE(readFrame(200).has_value());
  EXPECT_EQ(board.mode(), Mode::kHalted);
}

TEST_F(FaultSwitch, StubBadGreetingSendsFourOtherBytes) {
  fault("stub-bad-greeting");
  connect();
  memLoadAndJump();
  auto greeting = readFrame(200);
  ASSERT_TRUE(greeting.has_value());
  EXPECT_EQ(greeting->size(), 4u);
  EXPECT_NE(*greeting, (Bytes{'O', 'H', 'A', 'I'}));
}

TEST_F(FaultSwitch, FlashFailHitsTheNthBlockOnly) {
  fault("flash-fail:2");
  readyToWrite(4);
  for (uint32_t seq = 0; seq < 3; ++seq) {
    sendBlock(seq);
    auto a = readAnswer(2000);
    ASSERT_TRUE(a.has_value());
    EXPECT_EQ(a->data, seq == 2 ? (Bytes{1, 0xC1}) : (Bytes{0, 0})) << seq;
  }
  EXPECT_EQ(board.flash().bytes()[0x10000 + 4096], 0x11);
  EXPECT_EQ(board.flash().bytes()[0x10000 + 2 * 4096], 0xFF) << "the failed block is not written";
}

TEST_F(FaultSwitch, PositionsCountFlashDataThroughTheRomToo) {
  fault("flash-fail:1");
  connect();
  command(0x02, words({8192, 2, 4096, 0x10000}));
  EXPECT_EQ(dataCommand(0x03, 0, block(0)).data, (Bytes{0, 0, 0, 0}));
  EXPECT_EQ(dataCommand(0x03, 1, block(1)).data, (Bytes{1, 0x07, 0, 0}))
      << "the ROM reports its own checksum code";
}

TEST_F(FaultSwitch, PositionsCountCompressedBlocksTogetherWithUncompressedOnes) {
  fault("flash-fail:1");
  fault("flash-corrupt:2");
  connect();
  command(0x02, words({4096, 1, 4096, 0x10000}));
  EXPECT_EQ(dataCommand(0x03, 0, block(0)).data, (Bytes{0, 0, 0, 0}));
  Bytes image = imageBytes(20000);
  Bytes stream = zlibStream(image);
  command(0x10, words({20000, sliceCount(stream), 4096, 0x20000}));
  EXPECT_EQ(dataCommand(0x11, 0, slice(stream, 0)).data, (Bytes{1, 0x07, 0, 0}));
  command(0x10, words({20000, sliceCount(stream), 4096, 0x20000}));
  for (uint32_t seq = 0; seq < sliceCount(stream); ++seq) {
    EXPECT_EQ(dataCommand(0x11, seq, slice(stream, seq)).data[0], 0) << seq;
  }
  // Block 2 programmed one byte of what it inflated to wrong.
  auto flash = board.flash().bytes();
  EXPECT_EQ(std::inner_product(image.begin(), image.end(), flash.begin() + 0x20000, 0,
                               std::plus<>(), std::not_equal_to<>()),
            1);
}

TEST_F(FaultSwitch, InflateFailBreaksTheNthBlockAfterItsChecksumPassed) {
  fault("inflate-fail:0");
  fault("inflate-fail:2");
  connect();
  command(0x02, words({4096, 1, 4096, 0x10000}));
  EXPECT_EQ(dataCommand(0x03, 0, block(0)).data, (Bytes{0, 0, 0, 0})) << "nothing to inflate";
  Bytes image = imageBytes(20000);
  Bytes stream = zlibStream(image);
  command(0x10, words({20000, sliceCount(stream), 4096, 0x20000}));
  EXPECT_EQ(dataCommand(0x11, 0, slice(stream, 0)).data, (Bytes{0, 0, 0, 0}));
  EXPECT_EQ(dataCommand(0x11, 1, slice(stream, 1)).data, (Bytes{1, 0x0B, 0, 0}));
  EXPECT_EQ(dataCommand(0x11, 2, slice(stream, 2)).data, (Bytes{1, 0x06, 0, 0}))
      << "the write stopped";
  command(0x10, words({20000, sliceCount(stream), 4096, 0x20000}));
  for (uint32_t seq = 0; seq < sliceCount(stream); ++seq) {
    EXPECT_EQ(dataCommand(0x11, seq, slice(stream, seq)).data[0], 0) << seq;
  }
  EXPECT_TRUE(std::equal(image.begin(), image.end(), board.flash().bytes().begin() + 0x20000));
}

TEST_F(FaultSwitch, BridgeLimitLosesEverySpeedAbove460800BothWays) {
  fault("bridge-limit");
  connect();
  port.purge();
  send(0x0F, words({921600, 0}));
  ASSERT_TRUE(readAnswer().has_value());
  port.setBaudRate(921600);
  EXPECT_EQ(board.portBaud(), 921600u) << "the bridge takes the speed";
  clock.sleepMs(50);
  Bytes emptyFrame = drain();
  EXPECT_EQ(emptyFrame.size(), 2u);
  EXPECT_EQ(std::count(emptyFrame.begin(), emptyFrame.end(), 0xC0), 0) << "heard garbled";
  size_t heard = board.commands().size();
  send(0x0A, words({0x40001000}));
  EXPECT_TRUE(drain(200).empty());
  EXPECT_EQ(board.commands().size(), heard) << "the chip heard nothing it could decode";

  port.setBaudRate(115200);
  downloadReset();
  drain();
  send(syncFrame());
  ASSERT_TRUE(readAnswer().has_value());
  drain();
  EXPECT_EQ(command(0x0F, words({460800, 0})).data[0], 0);
  port.setBaudRate(460800);
  clock.sleepMs(50);
  EXPECT_EQ(command(0x0A, words({0x40001000})).value, 0x00F01D83u);
}

TEST_F(FaultSwitch, DropAnswerLosesTheAnswerButWritesTheBlock) {
  fault("drop-answer:1");
  readyToWrite(2);
  sendBlock(0);
  ASSERT_TRUE(readAnswer(2000).has_value());
  sendBlock(1);
  EXPECT_FALSE(readFrame(2000).has_value());
  EXPECT_EQ(board.flash().bytes()[0x10000 + 4096], 0x11);
}

TEST_F(FaultSwitch, BadEscapeAnswerCarriesDb41) {
  fault("bad-escape");
  readyToWrite(1);
  sendBlock(0);
  EXPECT_EQ(drain(300), (Bytes{0xC0, 0x01, 0x03, 0xDB, 0x41, 0x02, 0x00, 0, 0, 0, 0, 0, 0, 0xC0}));
}

TEST_F(FaultSwitch, UnplugAtTheNthBlockTakesTheBridgeAway) {
  fault("unplug:1");
  readyToWrite(3);
  sendBlock(0);
  ASSERT_TRUE(readAnswer(2000).has_value());
  sendBlock(1);
  EXPECT_EQ(portError([&] { port.readByte(2000); }),
            "ReadFile function failed (Error: " + std::to_string(oserr::kErrGone) + ")");
  EXPECT_TRUE(board.unplugged());
  EXPECT_EQ(board.flash().bytes()[0x10000 + 4096], 0xFF);
}

TEST_F(FaultSwitch, FlashCorruptWritesOneByteWrongWithoutComplaint) {
  fault("flash-corrupt:0");
  readyToWrite(1);
  sendBlock(0);
  auto a = readAnswer(2000);
  ASSERT_TRUE(a.has_value());
  EXPECT_EQ(a->data, (Bytes{0, 0}));
  Bytes want = block(0);
  auto flash = board.flash().bytes();
  EXPECT_EQ(std::mismatch(want.begin(), want.end(), flash.begin() + 0x10000).first - want.begin(),
            2048);
  EXPECT_TRUE(std::equal(want.begin() + 2049, want.end(), flash.begin() + 0x10000 + 2049));
  // Only an MD5 of the region tells.
  Answer md5 = command(0x13, words({0x10000, 4096, 0, 0}));
  flash[0x10000 + 2048] = want[2048];
  EXPECT_NE(command(0x13, words({0x10000, 4096, 0, 0})).data, md5.data);
}

TEST_F(FaultSwitch, MemFailDamagesTheNthImageBlockAndTheStubIsNotStarted) {
  fault("mem-fail:1");
  connect();
  command(0x05, words({32, 2, 16, 0x400BE000}));
  EXPECT_EQ(dataCommand(0x07, 0, Bytes(16, 0x11)).data[0], 0);
  EXPECT_EQ(dataCommand(0x07, 1, Bytes(16, 0x11)).data, (Bytes{1, 0x07, 0, 0}));
  EXPECT_EQ(dataCommand(0x07, 1, Bytes(16, 0x11)).data[0], 0) << "sent again, it arrives";
}

TEST_F(FaultSwitch, DropAckLeavesTheStubWaitingWithItsWindowFull) {
  fault("drop-ack:0");
  connect();
  startStub();
  EXPECT_EQ(command(0xD2, words({0x1000, 2048, 1024, 1})).data, (Bytes{0, 0}));
  ASSERT_TRUE(readFrame(200).has_value());
  send(testing::slip(words({1024})));
  EXPECT_FALSE(readFrame(500).has_value()) << "the acknowledgement was lost";
  send(testing::slip(words({1024})));
  ASSERT_TRUE(readFrame(200).has_value());
  send(testing::slip(words({2048})));
  auto digest = readFrame(200);
  ASSERT_TRUE(digest.has_value());
  EXPECT_EQ(digest->size(), 16u);
}

}  // namespace
}  // namespace flintmoor::simtest
