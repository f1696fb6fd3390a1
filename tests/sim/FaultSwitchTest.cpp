// Every fault switch of the virtual ESP32, seen from the port: what the host gets, and when.
#include <gtest/gtest.h>

#include <string>

#include "SimHarness.h"
#include "base/Error.h"

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

  Bytes block(uint32_t seq) { return Bytes(4096, static_cast<uint8_t>(0x10 + seq)); }

  void sendBlock(uint32_t seq) {
    Bytes data = block(seq);
    port.purge();
    send(0x03, concat(words({4096, seq, 0, 0}), data), xorSum(data));
  }
};

TEST_F(FaultSwitch, SilentBoardNeverAnswers) {
  fault("silent");
  open();
  downloadReset();
  send(syncFrame());
  EXPECT_TRUE(drain(300).empty());
  EXPECT_EQ(board.mode(), Mode::kAbsent);
  EXPECT_FALSE(board.lineChanges().empty()) << "the bridge itself still works";
}

TEST_F(FaultSwitch, ChatterPutsBootTextBeforeEveryAnswer) {
  fault("chatter");
  connect();
  port.purge();
  send(0x0A, words({0x40001000}));
  Bytes raw = drain();
  std::string s(raw.begin(), raw.end());
  size_t frame = s.find('\xC0');
  ASSERT_NE(frame, std::string::npos);
  EXPECT_NE(s.substr(0, frame).find("waiting for download\r\n"), std::string::npos);
  // The frame after the text is intact.
  Bytes tail(raw.begin() + static_cast<long>(frame), raw.end());
  EXPECT_EQ(tail, (Bytes{0xC0, 0x01, 0x0A, 0x04, 0x00, 0x83, 0x1D, 0xF0, 0x00, 0, 0, 0, 0, 0xC0}));
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
  auto a = readAnswer(200);
  EXPECT_FALSE(a.has_value());

  downloadReset(1400, 500);  // SlowLow, SlowHigh
  EXPECT_EQ(board.boots().back().mode, Mode::kLoader);
  drain();
  send(syncFrame());
  a = readAnswer(200);
  ASSERT_TRUE(a.has_value());
  EXPECT_EQ(a->opcode, 0x08);
}

TEST_F(FaultSwitch, NoBaudRefusesTheSpeedChange) {
  fault("no-baud");
  connect();
  Answer a = command(0x0F, words({921600, 0}));
  EXPECT_EQ(a.data[0], 1);
  EXPECT_EQ(board.chipBaud(), 115200u);
  EXPECT_EQ(command(0x0A, words({0x40001000})).value, 0x00F01D83u);
}

TEST_F(FaultSwitch, StubSilentAnswersMemEndButNeverGreets) {
  fault("stub-silent");
  connect();
  Bytes text(32, 0x11);
  command(0x05, words({32, 0, 6144, 0x400BE000}));
  command(0x07, concat(words({32, 0, 0, 0}), text), xorSum(text));
  EXPECT_EQ(command(0x06, words({0, 0x400BE000})).opcode, 0x06);
  EXPECT_FALSE(readFrame(200).has_value());
  EXPECT_EQ(board.mode(), Mode::kHalted);
}

TEST_F(FaultSwitch, StubBadGreetingSendsFourOtherBytes) {
  fault("stub-bad-greeting");
  connect();
  Bytes text(32, 0x11);
  command(0x05, words({32, 0, 6144, 0x400BE000}));
  command(0x07, concat(words({32, 0, 0, 0}), text), xorSum(text));
  command(0x06, words({0, 0x400BE000}));
  auto greeting = readFrame(200);
  ASSERT_TRUE(greeting.has_value());
  EXPECT_EQ(greeting->size(), 4u);
  EXPECT_NE(*greeting, (Bytes{'O', 'H', 'A', 'I'}));
}

TEST_F(FaultSwitch, FlashFailHitsTheNthBlockOnly) {
  fault("flash-fail:2");
  readyToWrite(4);
  for (uint32_t seq = 0; seq < 2; ++seq) {
    sendBlock(seq);
    auto a = readAnswer(2000);
    ASSERT_TRUE(a.has_value());
    EXPECT_EQ(a->data, (Bytes{0, 0}));
  }
  sendBlock(2);
  auto a = readAnswer(2000);
  ASSERT_TRUE(a.has_value());
  EXPECT_EQ(a->data, (Bytes{1, 0xC1}));
  EXPECT_EQ(board.flash().bytes()[0x10000 + 2 * 4096], 0xFF) << "the failed block is not written";
  EXPECT_EQ(board.flash().bytes()[0x10000 + 4096], 0x11);
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
  Bytes raw = drain(300);
  EXPECT_EQ(raw, (Bytes{0xC0, 0x01, 0x03, 0xDB, 0x41, 0x02, 0x00, 0, 0, 0, 0, 0, 0, 0xC0}));
}

TEST_F(FaultSwitch, UnplugAtTheNthBlockTakesTheBridgeAway) {
  fault("unplug:1");
  readyToWrite(3);
  sendBlock(0);
  ASSERT_TRUE(readAnswer(2000).has_value());
  sendBlock(1);
  try {
    port.readByte(2000);
    ADD_FAILURE() << "read after the unplug succeeded";
  } catch (const EComPort& e) {
    EXPECT_STREQ(e.what(), "ReadFile function failed (Error: 5)");
  }
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
  size_t wrong = 0;
  for (size_t i = 0; i < want.size(); ++i) wrong += flash[0x10000 + i] != want[i];
  EXPECT_EQ(wrong, 1u);
  // Only an MD5 of the region tells.
  Answer md5 = command(0x13, words({0x10000, 4096, 0, 0}));
  board.flash().bytes()[0x10000 + 2048] = want[2048];
  Answer good = command(0x13, words({0x10000, 4096, 0, 0}));
  EXPECT_NE(md5.data, good.data);
}

TEST_F(FaultSwitch, PositionsCountFlashDataThroughTheRomToo) {
  fault("flash-fail:1");
  connect();
  command(0x02, words({8192, 2, 4096, 0x10000}));
  Bytes d = block(0);
  EXPECT_EQ(command(0x03, concat(words({4096, 0, 0, 0}), d), xorSum(d)).data, (Bytes{0, 0, 0, 0}));
  Bytes e = block(1);
  EXPECT_EQ(command(0x03, concat(words({4096, 1, 0, 0}), e), xorSum(e)).data,
            (Bytes{1, 0x07, 0, 0}))
      << "the ROM reports its own checksum code";
}

}  // namespace
}  // namespace flintmoor::simtest
