// A line that does not carry the fast speed: the job starts again from the connect at 460800,
// then at 115200 bit/s, and only a failure that points at the line does so.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/job/JobHarness.h"

namespace flintmoor::test {
namespace {

class Fallback : public JobHarness {
 protected:
  bool logHas(const std::string& line) const {
    return std::count(log.lines().begin(), log.lines().end(), line) > 0;
  }
  bool statusShown(const std::string& text) const {
    return std::count(view.statusHistory.begin(), view.statusHistory.end(), text) > 0;
  }
  std::vector<uint32_t> speedsAsked() const {
    std::vector<uint32_t> speeds;
    for (const SimCommand& c : commandsOf(kOpChangeBaud)) speeds.push_back(le32(c.payload, 0));
    return speeds;
  }
  size_t loaderBoots() const {
    return static_cast<size_t>(std::count_if(
        chip.boots().begin(), chip.boots().end(),
        [](const VirtualEsp32::Boot& b) { return b.mode == VirtualEsp32::Mode::kLoader; }));
  }
};

class FallbackBothWays : public Fallback, public ::testing::WithParamInterface<bool> {};

TEST_P(FallbackBothWays, ABridgeThatCannotRun921600EndsOkAt460800) {
  job.RomOnly = GetParam();
  chip.addFault({SimFaultKind::kBridgeLimit});
  const auto files = sampleImages();
  EXPECT_TRUE(job.ButStartClick(2, files));

  EXPECT_EQ(speedsAsked(), (std::vector<uint32_t>{921600, 460800}));
  EXPECT_EQ(loaderBoots(), 2u);
  EXPECT_TRUE(statusShown("Retrying at 460800"));
  EXPECT_TRUE(logHas("Line failed at 921600 bit/s: retrying at 460800 bit/s"));
  EXPECT_TRUE(view.dialogs.empty());
  EXPECT_EQ(view.status, "OK");
  EXPECT_EQ(flashAt(0x8000, 3072), readFile(files[1]));
  EXPECT_EQ(flashAt(0x10000, 70000), readFile(files[2]));
  expectJobEnded();
  expectChipResetIntoApplication();
}

INSTANTIATE_TEST_SUITE_P(Ways, FallbackBothWays, ::testing::Bool(), wayName);

TEST_F(Fallback, LostAnswersAtTwoSpeedsEndOkAtTheConnectSpeed) {
  // The chip counts every block: the first attempt's first block, then the second attempt's.
  chip.addFault({SimFaultKind::kDropAnswer, 0});
  chip.addFault({SimFaultKind::kDropAnswer, 1});
  const auto files = sampleImages();
  EXPECT_TRUE(job.ButStartClick(2, files));
  // The last attempt stays at the connect speed: nothing to ask the chip.
  EXPECT_EQ(speedsAsked(), (std::vector<uint32_t>{921600, 460800}));
  EXPECT_EQ(loaderBoots(), 3u);
  EXPECT_TRUE(statusShown("Retrying at 460800"));
  EXPECT_TRUE(statusShown("Retrying at 115200"));
  EXPECT_TRUE(logHas("Error Flash Write"));
  EXPECT_TRUE(view.dialogs.empty());
  EXPECT_EQ(flashAt(0x10000, 70000), readFile(files[2]));
}

TEST_F(Fallback, AfterTheConnectSpeedTheErrorIsShownOnce) {
  for (uint32_t n = 0; n < 3; ++n) chip.addFault({SimFaultKind::kDropAnswer, n});
  EXPECT_FALSE(job.ButStartClick(2, sampleImages()));
  EXPECT_EQ(loaderBoots(), 3u);
  expectFailedWith("Error Flash Write");
  expectJobEnded();
  expectChipResetIntoApplication();
}

TEST_F(Fallback, ADamagedBlockPointsAtTheLine) {
  chip.addFault({SimFaultKind::kFlashFail, 0});  // the stub answers checksum error C1
  EXPECT_TRUE(job.ButStartClick(2, sampleImages()));
  EXPECT_EQ(speedsAsked(), (std::vector<uint32_t>{921600, 460800}));
  EXPECT_TRUE(view.dialogs.empty());
}

TEST_F(Fallback, AFastSpeedOf460800FallsBackTo115200Only) {
  config.FastBaud = 460800;
  chip.addFault({SimFaultKind::kDropAnswer, 0});
  EXPECT_TRUE(job.ButStartClick(2, sampleImages()));
  EXPECT_EQ(speedsAsked(), (std::vector<uint32_t>{460800}));
  EXPECT_TRUE(statusShown("Retrying at 115200"));
}

TEST_F(Fallback, WhatDoesNotPointAtTheLineIsNotTriedAgain) {
  // A verify mismatch, a refused chip, a missing chip, a bridge pulled out.
  chip.addFault({SimFaultKind::kFlashCorrupt, 0});
  EXPECT_FALSE(job.ButStartClick(2, sampleImages()));
  expectFailedWith("Error Verify");
  EXPECT_EQ(loaderBoots(), 1u);
}

TEST_F(Fallback, TheUnpluggedBridgeIsNotTriedAgain) {
  chip.addFault({SimFaultKind::kUnplug, 0});
  EXPECT_FALSE(job.ButStartClick(2, sampleImages()));
  expectFailedWith("ReadFile function failed (Error: " + std::to_string(oserr::kErrGone) + ")");
  EXPECT_EQ(speedsAsked().size(), 1u);
}

TEST_F(Fallback, AnEraseEndsOkAt460800AndAsksOnce) {
  chip.addFault({SimFaultKind::kBridgeLimit});
  std::fill(chip.flash().bytes().begin(), chip.flash().bytes().end(), 0x00);
  EXPECT_TRUE(job.ButStartClick(1, {}));
  EXPECT_EQ(view.dialogs.size(), 1u);
  EXPECT_EQ(view.dialogs[0].type, mtConfirmation);
  EXPECT_TRUE(chip.flash().isBlank());
  EXPECT_EQ(speedsAsked(), (std::vector<uint32_t>{921600, 460800}));
}

}  // namespace
}  // namespace flintmoor::test
