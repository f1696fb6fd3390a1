// The flasher stub's compressed writes with several slices unanswered: the slices go out without
// a purge while they fit the window, the oldest answer is awaited when the next would not fit,
// answers are judged in order with their own sequence, and a failure empties the window.
#include <string>
#include <vector>

#include "esp/Commands.h"
#include "esp/PacketLink.h"
#include "tests/esp/EspFixture.h"

namespace flintmoor {
namespace {

class StubWindow : public EspTest {
 protected:
  static constexpr uint32_t kSlice = 100;
  // A slice without bytes to escape: its frame is 2 + 8 + 16 + kSlice bytes on the line.
  const std::vector<uint8_t> slice = std::vector<uint8_t>(kSlice, 0x11);
  static std::vector<uint8_t> stubOk(uint8_t op) { return ScriptedLine::reply(op, {0, 0}); }
  static std::vector<uint8_t> stubFailed(uint8_t op, uint8_t error) {
    return ScriptedLine::reply(op, {1, error});
  }
  void begin() {
    line.answerNext(stubOk(kFlashDeflBegin));
    esp->stubDeflStart(0x10000, 0x10000, 10 * kSlice, TEsp::kStubBlock);
  }
  void write() { esp->stubDeflWrite(slice.data(), kSlice, 0x400); }
  bool logged(const std::string& text) const {
    for (const std::string& l : log.lines()) {
      if (l.find(text) != std::string::npos) return true;
    }
    return false;
  }
};

TEST_F(StubWindow, SlicesGoOutUnansweredWhileTheyFitAndTheOldestAnswerMakesRoom) {
  Payload p;
  p.word(kSlice).word(0).word(0).word(0).bytes(slice.data(), kSlice);
  const size_t frame = PacketLink::lineLength(command::kFlashDeflDataRule, p.view());
  ASSERT_EQ(frame, 2u + 8u + 16u + kSlice);
  esp->StubWindow = uint32_t(3 * frame);
  begin();
  EXPECT_EQ(line.purges(), 1);
  const size_t readBefore = line.bytesRead();
  // Each answer comes 2100 ms after the one before: later than one slice's own time-out
  // (2010 ms), within it once the line time of the slices unanswered (at least one frame, 132 ms
  // at 9600 bit/s) is added.
  for (int i = 0; i < 5; ++i) line.answerNext(stubOk(kFlashDeflData), 2'100'000);
  for (int i = 0; i < 3; ++i) write();
  EXPECT_EQ(esp->slicesInFlight(), 3u);
  EXPECT_EQ(line.bytesRead(), readBefore) << "nothing awaited while the slices fit";
  EXPECT_EQ(line.writes().back().size(), frame);
  write();  // a fourth does not fit: the first answer is awaited first
  EXPECT_EQ(esp->slicesInFlight(), 3u);
  EXPECT_GT(line.bytesRead(), readBefore);
  write();
  EXPECT_EQ(line.purges(), 1) << "slices are sent without a purge";
  // The end awaits every answer, then ends the stream.
  line.answerNext(stubOk(kFlashDeflEnd));
  esp->stubDeflEnd();
  EXPECT_EQ(esp->slicesInFlight(), 0u);
  EXPECT_EQ(line.pending(), 0u);
  const auto packets = line.packets();
  ASSERT_EQ(packets.size(), 7u);
  for (size_t i = 1; i <= 5; ++i) {
    EXPECT_EQ(packets[i][1], kFlashDeflData);
    EXPECT_EQ(packets[i][12], uint8_t(i - 1)) << "sequence";
  }
  EXPECT_EQ(packets[6][1], kFlashDeflEnd);
}

TEST_F(StubWindow, AFailedSliceIsJudgedWithItsOwnSequenceAndTheBeginAfterItSkipsStaleAnswers) {
  begin();
  line.answerNext(stubOk(kFlashDeflData));
  line.answerNext(stubFailed(kFlashDeflData, 0xC1));  // the second slice arrived damaged
  line.answerNext(stubFailed(kFlashDeflData, 0xC5));  // the ones behind it: out of sequence
  line.answerNext(stubFailed(kFlashDeflData, 0xC5));
  for (int i = 0; i < 4; ++i) write();
  EXPECT_EQ(esp->slicesInFlight(), 4u);
  try {
    esp->stubDeflEnd();
    FAIL() << "a damaged slice raised nothing";
  } catch (const LineError& e) {
    EXPECT_EQ(std::string(e.what()), "Error Flash");
    EXPECT_EQ(e.fault(), TPacketFault::pfChecksum);
  }
  EXPECT_TRUE(logged("  1: 1 = C1"));
  EXPECT_FALSE(logged("  2: 1 = C5")) << "the answers behind the failure are dropped, not judged";
  EXPECT_EQ(esp->slicesInFlight(), 0u);
  EXPECT_EQ(line.pending(), 0u) << "the answers behind the failed slice were awaited";

  // An answer to a slice that still comes after the resend's begin is skipped as stale.
  line.answerNext(cat(stubFailed(kFlashDeflData, 0xC5), stubOk(kFlashDeflBegin)));
  esp->stubDeflStart(0x10000, 0x10000, 10 * kSlice, TEsp::kStubBlock);
  EXPECT_TRUE(logged("Stale answer 11 skipped, waiting for 10"));
  line.answerNext(stubOk(kFlashDeflData));
  write();
  line.answerNext(stubOk(kFlashDeflEnd));
  esp->stubDeflEnd();
  EXPECT_EQ(line.packets().back()[1], kFlashDeflEnd);
  EXPECT_EQ(line.packets()[line.packets().size() - 2][12], 0) << "the resend starts at 0";
}

TEST_F(StubWindow, ASliceWhoseAnswerNeverComesIsALineErrorWithoutWaitingForTheOthers) {
  begin();
  line.answerNext({});  // silence
  write();
  write();
  const int64_t start = clock.nowUs();
  EXPECT_THROW(esp->stubDeflEnd(), LineError);
  EXPECT_EQ(esp->slicesInFlight(), 0u);
  // One slice's time-out and the line time of two frames at 9600 bit/s, not one per slice.
  EXPECT_LT(clock.nowUs() - start, int64_t{2 * 2'400'000});
}

}  // namespace
}  // namespace flintmoor
