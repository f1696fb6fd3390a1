// The program the virtual ESP32 runs from flash when the board is made with it: its ticks, its
// echo, its crash report and reboot, and the USB bridge that goes away and comes back.
#include <gtest/gtest.h>

#include <string>

#include "sim/SimApplication.h"
#include "tests/sim/SimHarness.h"

namespace flintmoor::simtest {
namespace {

std::string text(const Bytes& b) {
  return {b.begin(), b.end()};
}

VirtualEsp32Options withApplication() {
  VirtualEsp32Options o;
  o.application = true;
  return o;
}

class Application : public SimBench {
 protected:
  Application() : SimBench(withApplication()) {
    // A bootloader image header at 0x1000, so that a boot from flash starts the program.
    const Bytes header = {0xE9, 0x00, 0x02, 0x20, 0x1C, 0x04, 0x08, 0x40};
    board.flash().program(0x1000, header);
  }

  // What arrives until the virtual clock reaches `untilUs`, each line with the instant its LF
  // arrived.
  struct Line {
    std::string text;
    int64_t atUs;
  };
  std::vector<Line> readLines(int64_t untilUs) {
    std::vector<Line> lines;
    std::string current;
    while (clock.nowUs() < untilUs) {
      const int b =
          port.readByte(static_cast<int>(std::max<int64_t>(1, (untilUs - clock.nowUs()) / 1000)));
      if (b < 0) continue;
      if (b == '\n') {
        if (!current.empty() && current.back() == '\r') current.pop_back();
        lines.push_back({current, clock.nowUs()});
        current.clear();
      } else {
        current += static_cast<char>(b);
      }
    }
    return lines;
  }
  static std::vector<std::string> texts(const std::vector<Line>& lines) {
    std::vector<std::string> t;
    for (const Line& l : lines) t.push_back(l.text);
    return t;
  }
  static std::vector<Line> ticks(const std::vector<Line>& lines) {
    std::vector<Line> t;
    for (const Line& l : lines) {
      if (l.text.rfind("tick ", 0) == 0) t.push_back(l);
    }
    return t;
  }
};

TEST_F(Application, TicksOnceASecondAfterTheBootTextAndEchoesWhatItReceives) {
  open();
  applicationReset();
  const int64_t start = clock.nowUs();
  const std::vector<Line> lines = readLines(start + 3'500'000);
  const std::vector<std::string> t = texts(lines);
  ASSERT_GE(t.size(), 5u);
  const auto entry = std::find_if(t.begin(), t.end(),
                                  [](const std::string& l) { return l.rfind("entry 0x", 0) == 0; });
  ASSERT_NE(entry, t.end()) << "the ROM's boot text comes first";
  const std::vector<Line> tk = ticks(lines);
  ASSERT_EQ(tk.size(), 4u);
  for (size_t i = 0; i < tk.size(); ++i) {
    EXPECT_EQ(tk[i].text, "tick " + std::to_string(i));
    if (i > 0) {
      EXPECT_EQ(tk[i].atUs - tk[i - 1].atUs, SimApplication::kTickUs);
    }
  }
  EXPECT_EQ(*(entry + 1), "tick 0") << "the first tick follows the boot text at once";

  const Bytes typed = {'h', 'i', '\r', '\n'};
  send(typed);
  const std::vector<Line> echoed = readLines(clock.nowUs() + 300'000);
  ASSERT_EQ(echoed.size(), 1u);
  EXPECT_EQ(echoed[0].text, "hi");
}

TEST_F(Application, ADownloadResetSilencesItAndTheLoaderAnswersAsEver) {
  open();
  applicationReset();
  readLines(clock.nowUs() + 1'500'000);
  downloadReset();
  const std::string boot = text(drain(50));
  EXPECT_NE(boot.find("waiting for download"), std::string::npos);
  send(syncFrame());
  const std::optional<Answer> answer = readAnswer();
  ASSERT_TRUE(answer.has_value()) << "the program neither echoes SYNC nor ticks any more";
  readAnswer(50);  // the other answers to the one SYNC
  const std::vector<Line> after = readLines(clock.nowUs() + 3'000'000);
  EXPECT_TRUE(ticks(after).empty());
}

TEST_F(Application, PanicPrintsTheCrashReportThenRebootsAndCrashesAgain) {
  board.addFault({SimFaultKind::kPanic, 2});
  open();
  applicationReset();
  const int64_t start = clock.nowUs();
  const std::vector<std::string> t = texts(readLines(start + 4'600'000));
  const auto bt = std::find_if(t.begin(), t.end(), [](const std::string& l) {
    return l.rfind("Backtrace: 0x400d1234:0x3ffb1f00 0x400d1334:0x3ffb1f20 0x400d1434", 0) == 0;
  });
  ASSERT_NE(bt, t.end());
  EXPECT_NE(std::find(t.begin(), bt,
                      "EXCVADDR: 0x00000010  LBEG    : 0x00000000  LEND    : "
                      "0x00000000  LCOUNT  : 0x00000000  "),
            bt);
  const auto rebooting = std::find(bt, t.end(), "Rebooting...");
  ASSERT_NE(rebooting, t.end());
  // The crashed program ticks no more; the next lines are the ROM's, then the program again.
  const auto nextTick = std::find_if(rebooting, t.end(),
                                     [](const std::string& l) { return l.rfind("tick", 0) == 0; });
  ASSERT_NE(nextTick, t.end());
  EXPECT_EQ(*nextTick, "tick 0");
  EXPECT_NE(
      std::find(rebooting, nextTick, "rst:0x1 (POWERON_RESET),boot:0x13 (SPI_FAST_FLASH_BOOT)"),
      nextTick);
  const std::vector<std::string> before(t.begin(), bt);
  EXPECT_EQ(std::count(before.begin(), before.end(), "tick 2"), 0) << "it crashed at 2 s";
  EXPECT_EQ(std::count(t.begin(), t.end(), "Rebooting..."), 2) << "at 2 s of each run";
  EXPECT_EQ(board.mode(), VirtualEsp32::Mode::kApplication);
}

int errorCode(const std::function<void()>& call) {
  try {
    call();
  } catch (const EComPort& e) {
    return e.code();
  }
  return 0;
}

TEST_F(Application, ReplugTakesTheBridgeAwayForTwoSecondsOnce) {
  board.addFault({SimFaultKind::kReplug, 1});
  open();
  applicationReset();
  const int64_t start = clock.nowUs();
  std::vector<Line> lines;
  const int code = errorCode([&] { lines = readLines(start + 2'000'000); });
  EXPECT_EQ(code, oserr::kErrGone);
  EXPECT_TRUE(board.unplugged());
  const int64_t goneAt = clock.nowUs();
  port.close();
  EXPECT_EQ(errorCode([&] { open(); }), oserr::kErrNoDevice);
  clock.sleepUs(goneAt + SimApplication::kReplugAfterUs - clock.nowUs() - 1000);
  EXPECT_EQ(errorCode([&] { open(); }), oserr::kErrNoDevice) << "still away 1 ms before";
  clock.sleepMs(2);
  ASSERT_EQ(errorCode([&] { open(); }), 0);
  // Back: the board boots again and its program runs; the bridge stays this time.
  const std::vector<std::string> t = texts(readLines(clock.nowUs() + 4'500'000));
  EXPECT_NE(std::find(t.begin(), t.end(), "tick 0"), t.end());
  EXPECT_NE(std::find(t.begin(), t.end(), "tick 4"), t.end());
}

TEST_F(Application, APortHeldOpenOverTheReplugFailsUntilClosedThenOpensAtOnce) {
  board.addFault({SimFaultKind::kReplug, 1});
  open();
  applicationReset();
  clock.sleepMs(1500);
  clock.sleepUs(SimApplication::kReplugAfterUs);
  EXPECT_EQ(errorCode([&] { port.readByte(10); }), oserr::kErrGone)
      << "the handle of the vanished bridge stays dead";
  port.close();
  ASSERT_EQ(errorCode([&] { open(); }), 0);
  EXPECT_FALSE(board.unplugged());
  applicationReset();
  const std::vector<std::string> t = texts(readLines(clock.nowUs() + 1'200'000));
  EXPECT_NE(std::find(t.begin(), t.end(), "tick 1"), t.end());
}

}  // namespace
}  // namespace flintmoor::simtest
