// Writing through the chip's ROM loader (no flasher stub), and the MD5 verification of every image
// on both ways, against the virtual ESP32.
#include <gtest/gtest.h>

#include "base/Md5.h"
#include "esp/StubResource.h"
#include "tests/job/JobHarness.h"

namespace flintmoor::test {
namespace {

using RomWrite = JobHarness;

std::vector<uint8_t> md5Of(const std::vector<uint8_t>& data) {
  const auto digest = flintmoor::md5(data);
  return {digest.begin(), digest.end()};
}

bool logHas(const MemoryLog& log, const std::string& line) {
  return std::count(log.lines().begin(), log.lines().end(), line) > 0;
}

TEST_F(RomWrite, WritesAllThreeImagesIn4KiBBlocksWithoutAStubAndVerifiesEach) {
  job.RomOnly = true;
  const auto files = sampleImages(70000);
  EXPECT_TRUE(job.ButStartClick(2, files));

  std::vector<uint8_t> boot = readFile(files[0]);
  boot[2] = 0x02;
  boot[3] = 0x20;
  EXPECT_EQ(flashAt(0x1000, boot.size()), boot);
  EXPECT_EQ(flashAt(0x8000, 3072), readFile(files[1]));
  EXPECT_EQ(flashAt(0x10000, 70000), readFile(files[2]));

  EXPECT_TRUE(commandsOf(kOpMemBegin).empty());
  for (const SimCommand& c : chip.commands()) EXPECT_EQ(c.loader, SimLoader::kRom);
  // The flash is attached and described before the first write.
  ASSERT_EQ(commandsOf(kOpSpiAttach).size(), 1u);
  EXPECT_EQ(commandsOf(kOpSpiAttach)[0].payload, std::vector<uint8_t>(8, 0));
  ASSERT_EQ(commandsOf(kOpSpiSetParams).size(), 1u);
  EXPECT_LT(commandsOf(kOpSpiSetParams)[0].atUs, commandsOf(kOpFlashBegin)[0].atUs);

  std::vector<uint32_t> appBlocks(17, 4096);
  appBlocks.push_back(70000 - 17 * 4096);
  EXPECT_EQ(blocksWrittenAt(0x10000), appBlocks);
  EXPECT_EQ(blocksWrittenAt(0x1000), (std::vector<uint32_t>{4096, 4096, 4096, 4096}));
  const auto begins = commandsOf(kOpFlashBegin);
  ASSERT_EQ(begins.size(), 3u);
  EXPECT_EQ(le32(begins[2].payload, 0), 18u * 4096);  // erase size
  EXPECT_EQ(le32(begins[2].payload, 4), 18u);
  EXPECT_EQ(le32(begins[2].payload, 8), 4096u);

  // Progress still stands at the end of each block.
  std::vector<int> appProgress;
  for (uint32_t end = 4096; end < 70000; end += 4096) appProgress.push_back(static_cast<int>(end));
  appProgress.push_back(70000);
  const auto& p = view.progressPositions;
  ASSERT_GE(p.size(), appProgress.size());
  EXPECT_EQ(std::vector<int>(p.end() - static_cast<long>(appProgress.size()), p.end()),
            appProgress);

  // Each image's flash digest is asked for after its last block.
  const auto md5s = commandsOf(kOpFlashMd5);
  ASSERT_EQ(md5s.size(), 3u);
  const std::pair<uint32_t, uint32_t> regions[3] = {
      {0x1000, 16384}, {0x8000, 3072}, {0x10000, 70000}};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(le32(md5s[i].payload, 0), regions[i].first);
    EXPECT_EQ(le32(md5s[i].payload, 4), regions[i].second);
  }

  EXPECT_TRUE(logHas(log, "Writing through the ROM loader"));
  EXPECT_FALSE(logHas(log, "Writing through the flasher stub"));
  EXPECT_EQ(view.status, "OK");
  expectJobEnded();
  expectChipResetIntoApplication();
}

TEST_F(RomWrite, EraseAnnouncesAWriteOfTheWholeFlashAndWaitsForTheRomToEraseIt) {
  job.RomOnly = true;
  std::fill(chip.flash().bytes().begin(), chip.flash().bytes().end(), 0x00);
  const int64_t start = clock.nowUs();
  EXPECT_TRUE(job.ButStartClick(1, {}));

  EXPECT_TRUE(chip.flash().isBlank());
  EXPECT_TRUE(commandsOf(kOpEraseFlash).empty());
  const auto begins = commandsOf(kOpFlashBegin);
  ASSERT_EQ(begins.size(), 1u);
  EXPECT_EQ(le32(begins[0].payload, 0), 4u << 20);
  EXPECT_EQ(le32(begins[0].payload, 12), 0u);
  // The erase of 1024 sectors lasts far longer than a fixed 5 s answer time-out; the time-out
  // grows with the region, so the job waits it out.
  EXPECT_GT(clock.nowUs() - start, 1024 * SimTimings{}.sectorEraseUs);
  EXPECT_EQ(view.status, "OK");
  expectJobEnded();
}

TEST_F(RomWrite, ARealPortWithThePlaceholderStubWritesThroughTheRomLoader) {
  if (!stubIsPlaceholder()) GTEST_SKIP() << "a real flasher stub is built in";
  view.port = "/dev/ttyUSB0";
  const auto files = sampleImages();
  EXPECT_TRUE(job.ButStartClick(2, files));
  EXPECT_TRUE(commandsOf(kOpMemBegin).empty());
  EXPECT_EQ(flashAt(0x10000, 70000), readFile(files[2]));
  EXPECT_TRUE(logHas(log, "Writing through the ROM loader"));
}

TEST_F(RomWrite, TheVirtualChipTakesThePlaceholderAsItsStub) {
  EXPECT_TRUE(job.ButStartClick(2, sampleImages()));
  EXPECT_EQ(commandsOf(kOpMemEnd).size(), 1u);
  EXPECT_TRUE(logHas(log, "Writing through the flasher stub"));
  // The stub verifies as well.
  const auto md5s = commandsOf(kOpFlashMd5);
  ASSERT_EQ(md5s.size(), 3u);
  for (const SimCommand& c : md5s) EXPECT_EQ(c.loader, SimLoader::kStub);
}

TEST_F(RomWrite, TheWayOfWritingFollowsThePortOpenNotTheListChoiceMadeDuringTheJob) {
  // The port list stays usable during a job; choosing a real port once the chip answered on SIM
  // must not switch the job away from the stub the virtual chip runs.
  view.onMacText = [this](const std::string& text) {
    if (text != "---") view.port = "/dev/ttyUSB0";
  };
  EXPECT_TRUE(job.ButStartClick(2, sampleImages()));
  EXPECT_EQ(commandsOf(kOpMemEnd).size(), 1u);
  EXPECT_TRUE(logHas(log, "Writing through the flasher stub"));
}

class CorruptWrite : public JobHarness, public ::testing::WithParamInterface<bool> {};

TEST_P(CorruptWrite, EndsInErrorVerifyWithBothDigestsLogged) {
  job.RomOnly = GetParam();
  const auto files = sampleImages();
  // The partition table's only block: the first block after the bootloader's.
  chip.addFault({SimFaultKind::kFlashCorrupt, job.RomOnly ? 4u : 1u});
  EXPECT_FALSE(job.ButStartClick(2, files));
  expectFailedWith("Error Verify");

  const std::vector<uint8_t> sent = readFile(files[1]);
  const std::vector<uint8_t> stored = flashAt(0x8000, 3072);
  ASSERT_NE(stored, sent);
  auto hex = [](const std::vector<uint8_t>& d) {
    std::string s;
    char b[3];
    for (uint8_t x : d) {
      std::snprintf(b, sizeof b, "%02x", x);
      s += b;
    }
    return s;
  };
  EXPECT_TRUE(
      logHas(log, "Verify 8000: flash " + hex(md5Of(stored)) + ", sent " + hex(md5Of(sent))))
      << ::testing::PrintToString(log.lines().back());
  // The application was never started.
  EXPECT_TRUE(blocksWrittenAt(0x10000).empty());
  expectJobEnded();
  expectChipResetIntoApplication();
}

INSTANTIATE_TEST_SUITE_P(BothWays, CorruptWrite, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? std::string("RomLoader")
                                             : std::string("FlasherStub");
                         });

}  // namespace
}  // namespace flintmoor::test
