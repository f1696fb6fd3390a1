// The jobs beyond the window's two: images at any address, erasing a region, reading flash back
// into a file, and how a job ends (stopped at a packet boundary, no chip, a verify mismatch).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "base/Error.h"
#include "base/Md5.h"
#include "tests/job/JobHarness.h"

namespace flintmoor::test {
namespace {

constexpr uint8_t kOpReadFlashSlow = 0x0E;

class PlanJob : public JobHarness, public ::testing::WithParamInterface<bool> {
 protected:
  PlanJob() { job.RomOnly = GetParam(); }

  // Fills the whole flash with a pattern so that erased and untouched bytes can be told apart.
  void fillFlash() {
    const auto bytes = chip.flash().bytes();
    const std::vector<uint8_t> fill = patternBytes(bytes.size(), 77);
    std::copy(fill.begin(), fill.end(), bytes.begin());
  }

  std::vector<JobEvent::Kind> eventKinds() const {
    std::vector<JobEvent::Kind> kinds;
    for (const JobEvent& e : view.events) {
      if (e.kind != JobEvent::Kind::kImageProgress && e.kind != JobEvent::Kind::kReadProgress) {
        kinds.push_back(e.kind);
      }
    }
    return kinds;
  }
};

using Kind = JobEvent::Kind;

TEST_P(PlanJob, ImagesAtAnyAddressLandByteExactWithoutAHeaderPatchUnlessAsked) {
  std::vector<uint8_t> first = patternBytes(5000, 11);
  first[0] = 0xE9;  // looks like a bootloader header, but no patch was asked for
  std::vector<uint8_t> patched = patternBytes(4096, 12);
  patched[0] = 0xE9;
  JobPlan plan;
  plan.images = {{writeFile("a.bin", first), 0x0, false},
                 {writeFile("b.bin", patternBytes(70000, 13)), 0xE000, false},
                 {writeFile("c.bin", patched), 0x200000, true},
                 {writeFile("d.bin", patternBytes(1, 14)), 0x3FF000, false}};

  ASSERT_TRUE(job.run(plan)) << (view.dialogs.empty() ? "" : view.dialogs.back().text);
  EXPECT_EQ(job.outcome(), JobOutcome::kOk);
  EXPECT_EQ(flashAt(0x0, first.size()), first);
  EXPECT_EQ(flashAt(0xE000, 70000), patternBytes(70000, 13));
  std::vector<uint8_t> expected = patched;
  expected[2] = 0x02;
  expected[3] = 0x20;
  EXPECT_EQ(flashAt(0x200000, patched.size()), expected);
  EXPECT_EQ(flashAt(0x3FF000, 1), patternBytes(1, 14));

  // Each image: begin, verify, done, in order, with its own address and size.
  std::vector<Kind> perImage;
  for (const JobEvent& e : view.events) {
    if (e.kind == Kind::kImageBegin || e.kind == Kind::kImageDone) {
      perImage.push_back(e.kind);
    }
  }
  EXPECT_EQ(perImage.size(), 8u);
  const auto done = std::find_if(view.events.rbegin(), view.events.rend(),
                                 [](const JobEvent& e) { return e.kind == Kind::kImageDone; });
  ASSERT_NE(done, view.events.rend());
  EXPECT_EQ(done->address, 0x3FF000u);
  EXPECT_EQ(done->size, 1u);
  const std::vector<Kind> kinds = eventKinds();
  ASSERT_GE(kinds.size(), 3u);
  EXPECT_EQ(kinds[0], Kind::kConnected);
  EXPECT_EQ(kinds[1], Kind::kChip);
  EXPECT_EQ(kinds[2], Kind::kMac);
  EXPECT_EQ(view.events[1].text, "ESP32");
  EXPECT_EQ(view.events[2].text, view.mac);
  expectJobEnded();
}

TEST_P(PlanJob, ErasingARegionErasesItsSectorsOnlyAndAsksFirst) {
  fillFlash();
  const std::vector<uint8_t> before = flashAt(0, 4u << 20);
  JobPlan plan;
  plan.kind = JobPlan::Kind::kEraseRegion;
  plan.address = 0x10000;
  plan.size = 0x3000;

  view.answer = mrNo;
  ASSERT_TRUE(job.run(plan));
  EXPECT_EQ(flashAt(0, 4u << 20), before);
  EXPECT_TRUE(commandsOf(kOpFlashBegin).empty());

  view.answer = mrYes;
  view.dialogs.clear();
  ASSERT_TRUE(job.run(plan));
  ASSERT_EQ(view.dialogs.size(), 1u);
  EXPECT_EQ(view.dialogs[0].text, "Erase 12288 bytes at 0x10000?");
  EXPECT_EQ(flashAt(0x10000, 0x3000), std::vector<uint8_t>(0x3000, 0xFF));
  EXPECT_EQ(flashAt(0, 0x10000), std::vector<uint8_t>(before.begin(), before.begin() + 0x10000));
  EXPECT_EQ(flashAt(0x13000, 0x1000),
            std::vector<uint8_t>(before.begin() + 0x13000, before.begin() + 0x14000));
  // Through the ROM loader, whatever the way chosen for writing: no stub is uploaded.
  EXPECT_TRUE(commandsOf(kOpMemBegin).empty());
  expectJobEnded();
  expectChipResetIntoApplication();
}

TEST_P(PlanJob, ReadingSavesTheRegionAsTheChipHoldsItInSmallRequests) {
  fillFlash();
  JobPlan plan;
  plan.kind = JobPlan::Kind::kRead;
  plan.address = 0x8000;
  plan.size = 3000;  // not a multiple of 64: the last request is shorter
  plan.outFile = (dir / "backup.bin").string();

  ASSERT_TRUE(job.run(plan)) << (view.dialogs.empty() ? "" : view.dialogs.back().text);
  EXPECT_EQ(readFile(plan.outFile), flashAt(0x8000, 3000));
  EXPECT_FALSE(std::filesystem::exists(plan.outFile + ".part"));

  const std::vector<SimCommand> reads = commandsOf(kOpReadFlashSlow);
  ASSERT_EQ(reads.size(), 47u);  // 46 x 64 + 56
  EXPECT_EQ(le32(reads.front().payload, 0), 0x8000u);
  EXPECT_EQ(le32(reads.front().payload, 4), 64u);
  EXPECT_EQ(le32(reads.back().payload, 0), 0x8000u + 46 * 64);
  EXPECT_EQ(le32(reads.back().payload, 4), 56u);
  // Checked against the chip's own digest of the region.
  const std::vector<SimCommand> digests = commandsOf(kOpFlashMd5);
  ASSERT_EQ(digests.size(), 1u);
  EXPECT_EQ(le32(digests[0].payload, 0), 0x8000u);
  EXPECT_EQ(le32(digests[0].payload, 4), 3000u);
  EXPECT_TRUE(commandsOf(kOpMemBegin).empty());

  const std::vector<Kind> kinds = eventKinds();
  EXPECT_NE(std::find(kinds.begin(), kinds.end(), Kind::kReadBegin), kinds.end());
  EXPECT_EQ(kinds.back(), Kind::kReadDone);
  expectJobEnded();
}

TEST_P(PlanJob, AStoppedReadLeavesNoFileAndKeepsAnOlderOne) {
  fillFlash();
  JobPlan plan;
  plan.kind = JobPlan::Kind::kRead;
  plan.address = 0;
  plan.size = 0x4000;
  plan.outFile = writeFile("old.bin", {1, 2, 3});
  int reads = 0;
  job.StopRequested = [&] {
    reads = static_cast<int>(commandsOf(kOpReadFlashSlow).size());
    return reads >= 10;
  };

  EXPECT_FALSE(job.run(plan));
  EXPECT_EQ(job.outcome(), JobOutcome::kInterrupted);
  EXPECT_EQ(reads, 10);  // stopped at the boundary after the tenth request, not later
  EXPECT_EQ(commandsOf(kOpReadFlashSlow).size(), 10u);
  EXPECT_EQ(readFile(plan.outFile), (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_FALSE(std::filesystem::exists(plan.outFile + ".part"));
  ASSERT_EQ(view.dialogs.size(), 1u);
  EXPECT_EQ(view.dialogs[0].text, "Interrupted");
  EXPECT_EQ(view.status, "Interrupted");
  expectJobEnded();
  expectChipResetIntoApplication();
}

TEST_P(PlanJob, AStoppedWriteEndsAtTheNextBlockWithTheChipResetAndNoImageDone) {
  const auto files = sampleImages(200000);
  job.StopRequested = [&] {
    return !commandsOf(kOpFlashData).empty() || !commandsOf(kOpFlashDeflData).empty();
  };
  EXPECT_FALSE(job.run(updatePlan(files)));
  EXPECT_EQ(job.outcome(), JobOutcome::kInterrupted);
  EXPECT_EQ(commandsOf(kOpFlashData).size() + commandsOf(kOpFlashDeflData).size(), 1u);
  EXPECT_EQ(std::count_if(view.events.begin(), view.events.end(),
                          [](const JobEvent& e) { return e.kind == Kind::kImageDone; }),
            0);
  ASSERT_EQ(view.dialogs.size(), 1u);
  EXPECT_EQ(view.dialogs[0].text, "Interrupted");
  EXPECT_EQ(view.status, "Interrupted");
  expectJobEnded();
  expectChipResetIntoApplication();
}

TEST_P(PlanJob, NoChipAnsweringHasItsOwnOutcome) {
  stayAtConnectSpeed();
  chip.addFault({SimFaultKind::kSilent});
  EXPECT_FALSE(job.ButStartClick(2, sampleImages()));
  EXPECT_EQ(job.outcome(), JobOutcome::kNoDevice);
  ASSERT_FALSE(view.dialogs.empty());
  EXPECT_EQ(view.dialogs.back().text.substr(0, 16), "No Device Found!");
}

INSTANTIATE_TEST_SUITE_P(BothWays, PlanJob, ::testing::Bool(), wayName);

using PlanOutcome = JobHarness;

TEST_F(PlanOutcome, AVerifyMismatchHasItsOwnOutcome) {
  stayAtConnectSpeed();
  chip.addFault({SimFaultKind::kFlashCorrupt, 0});
  EXPECT_FALSE(job.ButStartClick(2, sampleImages()));
  EXPECT_EQ(job.outcome(), JobOutcome::kVerifyFailed);
  expectFailedWith("Error Verify");
}

TEST_F(PlanOutcome, ARefusedChipIsAFailureAndTheNextGoodJobIsOk) {
  stayAtConnectSpeed();
  chip.addFault({SimFaultKind::kS2});
  EXPECT_FALSE(job.ButStartClick(2, sampleImages()));
  EXPECT_EQ(job.outcome(), JobOutcome::kFailed);
}

TEST_F(PlanOutcome, ASuccessfulJobIsOkAfterAFailedOne) {
  stayAtConnectSpeed();
  chip.addFault({SimFaultKind::kFlashFail, 0});
  EXPECT_FALSE(job.ButStartClick(2, sampleImages()));
  EXPECT_EQ(job.outcome(), JobOutcome::kFailed);
  EXPECT_TRUE(job.ButStartClick(2, sampleImages()));  // the fault struck its block only
  EXPECT_EQ(job.outcome(), JobOutcome::kOk);
}

TEST(SaveFileAtomically, ReplacesTheFileOnlyWhenComplete) {
  flintmoor::testing::TempDir scratch;
  const std::string path = (scratch.path() / "out.bin").string();
  saveFileAtomically(path, {1, 2, 3});
  saveFileAtomically(path, {4, 5});
  std::ifstream in(path, std::ios::binary);
  const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
  EXPECT_EQ(bytes, (std::vector<uint8_t>{4, 5}));
  EXPECT_FALSE(std::filesystem::exists(path + ".part"));

  const std::string nowhere = (scratch.path() / "no-such-dir" / "out.bin").string();
  EXPECT_THROW(saveFileAtomically(nowhere, {1}), Exception);
  EXPECT_FALSE(std::filesystem::exists(nowhere + ".part"));
}

}  // namespace
}  // namespace flintmoor::test
