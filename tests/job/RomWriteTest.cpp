// Writing through the chip's ROM loader (no flasher stub: compressed regions, skipping what the
// chip already holds), and the MD5 verification of every image on both ways, against the virtual
// ESP32.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>

#include "base/Md5.h"
#include "esp/Deflate.h"
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

// What the chip received as one compressed region: FLASH_DEFL_BEGIN's four words and the
// FLASH_DEFL_DATA blocks that followed it, inflated here with zlib on their own.
struct DeflRegion {
  uint32_t size, blocks, blockSize, offset;
  std::vector<uint32_t> sequence;
  std::vector<uint8_t> stream;
  std::vector<uint8_t> inflated() const {
    std::vector<uint8_t> out(size);
    uLongf length = size;
    if (uncompress(out.data(), &length, stream.data(), uLong(stream.size())) != Z_OK) return {};
    out.resize(length);
    return out;
  }
};

std::vector<DeflRegion> deflRegions(const std::vector<SimCommand>& commands) {
  std::vector<DeflRegion> regions;
  for (const SimCommand& c : commands) {
    if (c.opcode == kOpFlashDeflBegin) {
      regions.push_back({le32(c.payload, 0),
                         le32(c.payload, 4),
                         le32(c.payload, 8),
                         le32(c.payload, 12),
                         {},
                         {}});
    } else if (c.opcode == kOpFlashDeflData && !regions.empty()) {
      regions.back().sequence.push_back(le32(c.payload, 4));
      regions.back().stream.insert(regions.back().stream.end(), c.payload.begin() + 16,
                                   c.payload.end());
    }
  }
  return regions;
}

std::vector<uint8_t> slice(const std::vector<uint8_t>& data, size_t from, size_t size) {
  return {data.begin() + static_cast<long>(from), data.begin() + static_cast<long>(from + size)};
}

TEST_F(RomWrite, WritesEach64KiBRegionAsOneZlibStreamWithoutAStubOrPausesAndVerifiesEachImage) {
  job.RomOnly = true;
  const auto files = sampleImages(70000);
  EXPECT_TRUE(job.ButStartClick(2, files));

  std::vector<uint8_t> boot = readFile(files[0]);
  boot[2] = 0x02;
  boot[3] = 0x20;
  const std::vector<uint8_t> app = readFile(files[2]);
  EXPECT_EQ(flashAt(0x1000, boot.size()), boot);
  EXPECT_EQ(flashAt(0x8000, 3072), readFile(files[1]));
  EXPECT_EQ(flashAt(0x10000, 70000), app);

  EXPECT_TRUE(commandsOf(kOpMemBegin).empty());
  EXPECT_TRUE(commandsOf(kOpFlashData).empty());
  for (const SimCommand& c : chip.commands()) EXPECT_EQ(c.loader, SimLoader::kRom);
  // The flash is attached and described before the first write.
  ASSERT_EQ(commandsOf(kOpSpiAttach).size(), 1u);
  EXPECT_EQ(commandsOf(kOpSpiAttach)[0].payload, std::vector<uint8_t>(8, 0));
  ASSERT_EQ(commandsOf(kOpSpiSetParams).size(), 1u);
  EXPECT_LT(commandsOf(kOpSpiSetParams)[0].atUs, commandsOf(kOpFlashDeflBegin)[0].atUs);

  // Bootloader and partition table one region each; the application a full region and its tail.
  const auto regions = deflRegions(chip.commands());
  ASSERT_EQ(regions.size(), 4u);
  const std::vector<uint8_t> expected[4] = {boot, readFile(files[1]), slice(app, 0, 65536),
                                            slice(app, 65536, 70000 - 65536)};
  const uint32_t offsets[4] = {0x1000, 0x8000, 0x10000, 0x20000};
  for (size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    const DeflRegion& r = regions[i];
    EXPECT_EQ(r.offset, offsets[i]);
    EXPECT_EQ(r.size, expected[i].size());
    EXPECT_EQ(r.blockSize, 4096u);
    EXPECT_EQ(r.blocks, (r.stream.size() + 4095) / 4096);
    ASSERT_EQ(r.sequence.size(), r.blocks);
    for (uint32_t seq = 0; seq < r.blocks; ++seq) EXPECT_EQ(r.sequence[seq], seq);
    EXPECT_EQ(r.inflated(), expected[i]);
  }

  // Before each image the chip's digest of each region's first sector (of the whole region when
  // it is no longer), which on a blank chip differs and so settles it; after it, of the whole
  // image.
  std::vector<std::pair<uint32_t, uint32_t>> md5s;
  for (const SimCommand& c : commandsOf(kOpFlashMd5)) {
    md5s.emplace_back(le32(c.payload, 0), le32(c.payload, 4));
  }
  const std::vector<std::pair<uint32_t, uint32_t>> expectedMd5s = {
      {0x1000, 4096},  {0x1000, 16384}, {0x8000, 3072},  {0x8000, 3072},
      {0x10000, 4096}, {0x20000, 4096}, {0x10000, 70000}};
  EXPECT_EQ(md5s, expectedMd5s);

  // The bar runs over the whole image and ends at its size.
  const auto& p = view.progressPositions;
  ASSERT_FALSE(p.empty());
  EXPECT_EQ(p.back(), 70000);
  EXPECT_TRUE(
      std::is_sorted(p.end() - static_cast<long>(regions[2].blocks + regions[3].blocks), p.end()));

  // The ROM answers each block once written: no pause but the connection's and the reset's.
  const std::vector<int64_t> sleeps = {50, 150, 100, 100, 50, 20, 50};
  EXPECT_EQ(clock.sleepsMs, sleeps);

  EXPECT_TRUE(logHas(log, "Writing through the ROM loader"));
  EXPECT_FALSE(logHas(log, "Writing through the flasher stub"));
  EXPECT_EQ(view.status, "OK");
  expectJobEnded();
  expectChipResetIntoApplication();
}

// The bar passes over the regions the chip already holds as over those sent; the job's record
// counts only the bytes that crossed the line, and carries none of the window's own signals.
TEST_F(RomWrite, TheBarPassesHeldRegionsWhichTheRecordLeavesOut) {
  job.RomOnly = true;
  const auto files = sampleImages(200000);
  ASSERT_TRUE(job.ButStartClick(2, files));
  std::vector<uint8_t> app = readFile(files[2]);
  app[65536 + 100] ^= 0xFF;  // the second of four regions changes
  const std::string changed = writeFile("app.bin", app);
  view.progressPositions.clear();
  view.events.clear();
  ASSERT_TRUE(job.ButStartClick(2, {files[0], files[1], changed}));

  const auto& p = view.progressPositions;
  const auto has = [&p](int pos) { return std::find(p.begin(), p.end(), pos) != p.end(); };
  EXPECT_TRUE(has(16384));   // the boot loader, held whole
  EXPECT_TRUE(has(3072));    // the partition table, held whole
  EXPECT_TRUE(has(65536));   // the application's first region, held
  EXPECT_TRUE(has(131072));  // its second, sent
  EXPECT_TRUE(has(196608));  // its third, held
  ASSERT_FALSE(p.empty());
  EXPECT_EQ(p.back(), 200000);
  EXPECT_FALSE(view.progressVisible);

  std::vector<uint32_t> sent;
  for (const JobEvent& e : view.events) {
    EXPECT_FALSE(isWindowSignal(e));
    if (e.kind == JobEvent::Kind::kImageProgress) sent.push_back(e.done);
  }
  ASSERT_FALSE(sent.empty());
  EXPECT_TRUE(std::is_sorted(sent.begin(), sent.end()));
  EXPECT_GT(sent.front(), 65536u);
  EXPECT_EQ(sent.back(), 131072u);
}

TEST_F(RomWrite, WritesOnlyTheRegionsTheChipDoesNotHoldAlready) {
  job.RomOnly = true;
  const auto files = sampleImages(200000);
  ASSERT_TRUE(job.ButStartClick(2, files));

  // The application's second region changes.
  std::vector<uint8_t> app = readFile(files[2]);
  app[65536 + 100] ^= 0xFF;
  const std::string changed = writeFile("app.bin", app);
  chip.clearRecord();
  view.statusHistory.clear();
  ASSERT_TRUE(job.ButStartClick(2, {files[0], files[1], changed}));

  EXPECT_EQ(flashAt(0x10000, app.size()), app);
  const auto regions = deflRegions(chip.commands());
  ASSERT_EQ(regions.size(), 1u);
  EXPECT_EQ(regions[0].offset, 0x20000u);
  EXPECT_EQ(regions[0].size, 65536u);
  EXPECT_EQ(regions[0].inflated(), slice(app, 65536, 65536));
  const std::string skipped = "app.bin: 134464 of 200000 bytes unchanged, skipped";
  EXPECT_TRUE(logHas(log, skipped));
  EXPECT_NE(std::find(view.statusHistory.begin(), view.statusHistory.end(), skipped),
            view.statusHistory.end());
  EXPECT_TRUE(logHas(log, "boot.bin: 16384 of 16384 bytes unchanged, skipped"));
  // A region longer than a sector is compared by its first sector, then whole where that one
  // matched: the bootloader 2, the partition table 1, the application's regions 2, 1 (its first
  // sector changed), 2 and 1 (a tail within a sector). The application, being written, is then
  // verified whole; the unchanged images need no more.
  const auto md5s = commandsOf(kOpFlashMd5);
  EXPECT_EQ(md5s.size(), 2u + 1 + (2 + 1 + 2 + 1) + 1);
  EXPECT_EQ(le32(md5s.back().payload, 0), 0x10000u);
  EXPECT_EQ(le32(md5s.back().payload, 4), 200000u);
  EXPECT_EQ(view.progressPositions.back(), 200000);

  // Nothing changed: nothing written.
  chip.clearRecord();
  ASSERT_TRUE(job.ButStartClick(2, {files[0], files[1], changed}));
  EXPECT_TRUE(commandsOf(kOpFlashDeflBegin).empty());
  EXPECT_EQ(commandsOf(kOpFlashMd5).size(), 2u + 1 + (2 + 2 + 2 + 1));

  // Without skipping, every region goes out again.
  job.SkipUnchanged = false;
  chip.clearRecord();
  ASSERT_TRUE(job.ButStartClick(2, {files[0], files[1], changed}));
  EXPECT_EQ(deflRegions(chip.commands()).size(), 1u + 1 + 4);
  EXPECT_EQ(commandsOf(kOpFlashMd5).size(), 3u);
  EXPECT_EQ(flashAt(0x10000, app.size()), app);

  // A change past a region's first sector: that sector matches, the whole region does not.
  job.SkipUnchanged = true;
  app[2 * 65536 + 8000] ^= 0x5A;
  const std::string deeper = writeFile("app2.bin", app);
  chip.clearRecord();
  ASSERT_TRUE(job.ButStartClick(2, {files[0], files[1], deeper}));
  const auto rewritten = deflRegions(chip.commands());
  ASSERT_EQ(rewritten.size(), 1u);
  EXPECT_EQ(rewritten[0].offset, 0x30000u);
  EXPECT_EQ(flashAt(0x10000, app.size()), app);
}

TEST_F(RomWrite, AStreamTheChipCannotInflateEndsInItsErrorAndErrorFlash) {
  job.RomOnly = true;
  chip.addFault({SimFaultKind::kInflateFail, 0});  // the bootloader's first block
  const auto files = sampleImages();
  EXPECT_FALSE(job.ButStartClick(2, files));
  expectFailedWith("Error Flash");
  EXPECT_TRUE(logHas(log, "  0: 1 =  B"));  // the error code right-aligned in two columns
  EXPECT_EQ(std::count(view.statusHistory.begin(), view.statusHistory.end(), "OK"), 0);
  // The chip refused the data: the line is not to blame, so nothing is tried again.
  EXPECT_EQ(commandsOf(kOpChangeBaud).size(), 1u);
  EXPECT_EQ(deflRegions(chip.commands()).size(), 1u);
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
  job.VirtualChip = false;  // what the front end says of a real port
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
  // The partition table's only block: the first block after the bootloader's (compressed
  // through the ROM loader).
  std::vector<uint8_t> boot = readFile(files[0]);
  boot[2] = 0x02;
  boot[3] = 0x20;
  const auto romBootBlocks = static_cast<uint32_t>((zlibCompress(boot).size() + 4095) / 4096);
  chip.addFault({SimFaultKind::kFlashCorrupt, job.RomOnly ? romBootBlocks : 1u});
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

INSTANTIATE_TEST_SUITE_P(BothWays, CorruptWrite, ::testing::Bool(), wayName);

}  // namespace
}  // namespace flintmoor::test
