// The command line's write, read and erase-region through the flasher stub's fast commands, on the
// virtual ESP32: compressed 16 KiB slices, regions skipped by MD5, the region erase, the streamed
// read with its acknowledgements; and the ROM loader still taking them all when asked to.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "tests/job/JobHarness.h"

namespace flintmoor::test {
namespace {

constexpr uint8_t kOpFlashDeflEnd = 0x12;
constexpr uint8_t kOpEraseRegion = 0xD1;
constexpr uint8_t kOpReadFlash = 0xD2;
constexpr uint8_t kOpReadFlashSlow = 0x0E;

class FastStub : public JobHarness {
 protected:
  FastStub() = default;
  explicit FastStub(const VirtualEsp32Options& options) : JobHarness(options) {}
  JobPlan writePlan(const std::string& file, uint32_t address) {
    JobPlan plan;
    plan.images = {{file, address, false}};
    plan.eraseWholeBlocks = false;
    plan.fastWrites = true;
    return plan;
  }
  JobPlan readPlan(uint32_t address, uint32_t size, const std::string& out) {
    JobPlan plan;
    plan.kind = JobPlan::Kind::kRead;
    plan.address = address;
    plan.size = size;
    plan.outFile = out;
    plan.fastWrites = true;
    return plan;
  }
  void fillFlashWith(uint8_t value) {
    const auto bytes = chip.flash().bytes();
    std::fill(bytes.begin(), bytes.end(), value);
  }
  void fillFlash(uint32_t seed) {
    const auto bytes = chip.flash().bytes();
    const std::vector<uint8_t> fill = patternBytes(bytes.size(), seed);
    std::copy(fill.begin(), fill.end(), bytes.begin());
  }
  // The commands with `opcode` sent since the last mark().
  std::vector<SimCommand> sent(uint8_t opcode) const {
    std::vector<SimCommand> out;
    const auto& all = chip.commands();
    for (size_t i = mark_; i < all.size(); ++i) {
      if (all[i].opcode == opcode) out.push_back(all[i]);
    }
    return out;
  }
  void mark() { mark_ = chip.commands().size(); }
  size_t mark_ = 0;
  std::string failure() const { return view.dialogs.empty() ? "" : view.dialogs.back().text; }
  bool logged(const std::string& text) const {
    return std::any_of(log.lines().begin(), log.lines().end(),
                       [&](const std::string& l) { return l.find(text) != std::string::npos; });
  }
};

TEST_F(FastStub, AWriteGoesCompressedInWholeSlicesAndOnlyChangedRegionsGoAgain) {
  // Incompressible bytes, so that a 300000-byte image needs several 16 KiB slices.
  std::vector<uint8_t> image = patternBytes(300000, 5);
  const std::string file = writeFile("app.bin", image);
  ASSERT_TRUE(job.run(writePlan(file, 0x10000))) << failure();
  EXPECT_EQ(flashAt(0x10000, image.size()), image);
  EXPECT_FALSE(sent(kOpMemBegin).empty());
  EXPECT_TRUE(sent(kOpFlashData).empty());
  // All five changed regions go as one stream, every slice but the last a whole 16 KiB, ended
  // once; then the whole image is checked.
  ASSERT_EQ(sent(kOpFlashDeflBegin).size(), 1u);
  EXPECT_EQ(le32(sent(kOpFlashDeflBegin)[0].payload, 0), 300000u);
  const std::vector<SimCommand> slices = sent(kOpFlashDeflData);
  ASSERT_GE(slices.size(), 18u);
  for (size_t i = 0; i + 1 < slices.size(); ++i) EXPECT_EQ(le32(slices[i].payload, 0), 0x4000u);
  EXPECT_EQ(sent(kOpFlashDeflEnd).size(), 1u);
  const std::vector<SimCommand> digests = sent(kOpFlashMd5);
  ASSERT_FALSE(digests.empty());
  EXPECT_EQ(le32(digests.back().payload, 4), 300000u);

  // Unchanged: nothing is written. One region changed: only it goes again.
  mark();
  ASSERT_TRUE(job.run(writePlan(file, 0x10000))) << failure();
  EXPECT_TRUE(sent(kOpFlashDeflBegin).empty());
  image[0x20000 + 7] ^= 0xFF;
  writeFile("app.bin", image);
  mark();
  ASSERT_TRUE(job.run(writePlan(file, 0x10000))) << failure();
  ASSERT_EQ(sent(kOpFlashDeflBegin).size(), 1u);
  EXPECT_EQ(le32(sent(kOpFlashDeflBegin)[0].payload, 12), 0x30000u);
  EXPECT_EQ(le32(sent(kOpFlashDeflBegin)[0].payload, 0), 0x10000u);
  EXPECT_EQ(flashAt(0x10000, image.size()), image);
  expectJobEnded();
}

TEST_F(FastStub, ARegionEraseAndAReadUseTheStubsOwnCommands) {
  fillFlash(31);
  const std::vector<uint8_t> before = flashAt(0, 4u << 20);
  JobPlan erase;
  erase.kind = JobPlan::Kind::kEraseRegion;
  erase.address = 0x20000;
  erase.size = 0x11000;  // one whole 64 KiB block and one sector
  erase.fastWrites = true;
  view.answer = mrYes;
  ASSERT_TRUE(job.run(erase)) << failure();
  ASSERT_EQ(commandsOf(kOpEraseRegion).size(), 1u);
  EXPECT_TRUE(commandsOf(kOpFlashBegin).empty());
  EXPECT_EQ(flashAt(0x20000, 0x11000), std::vector<uint8_t>(0x11000, 0xFF));
  EXPECT_EQ(flashAt(0x31000, 0x1000),
            std::vector<uint8_t>(before.begin() + 0x31000, before.begin() + 0x32000));

  // 200000 bytes: a last packet shorter than 4 KiB.
  const std::string out = (dir / "back.bin").string();
  ASSERT_TRUE(job.run(readPlan(0x1F000, 200000, out))) << failure();
  EXPECT_EQ(readFile(out), flashAt(0x1F000, 200000));
  EXPECT_EQ(commandsOf(kOpReadFlash).size(), 1u);  // one stream for the whole range
  EXPECT_TRUE(commandsOf(kOpReadFlashSlow).empty());
  expectJobEnded();
}

TEST_F(FastStub, AReadWhoseAcknowledgementIsLostEndsInAnErrorAndNoFile) {
  stayAtConnectSpeed();
  fillFlash(32);
  // Acknowledgements count what arrived in all, so a later one makes up for a lost one: only the
  // last one lost leaves the stub waiting, and the digest never comes.
  chip.addFault({SimFaultKind::kDropAck, 7});
  const std::string out = writeFile("old.bin", {9, 9});
  EXPECT_FALSE(job.run(readPlan(0, 0x8000, out)));
  EXPECT_EQ(job.outcome(), JobOutcome::kFailed);
  expectFailedWith("Error Read Flash");
  EXPECT_EQ(readFile(out), (std::vector<uint8_t>{9, 9}));
  EXPECT_FALSE(std::filesystem::exists(out + ".part"));
  expectJobEnded();
}

// A stub block the ROM took as damaged: no jump into the half-loaded stub, the job starts again
// slower and ends OK; at the connect speed there is nothing slower and the job fails.
TEST_F(FastStub, AFailedStubUploadGoesToTheSlowerSpeedNeverToTheJump) {
  chip.addFault({SimFaultKind::kMemFail, 0});
  const std::vector<uint8_t> image = patternBytes(20000, 9);
  ASSERT_TRUE(job.run(writePlan(writeFile("a.bin", image), 0x10000))) << failure();
  EXPECT_EQ(flashAt(0x10000, image.size()), image);
  EXPECT_EQ(commandsOf(kOpMemEnd).size(), 1u) << "only the whole upload was started";
  EXPECT_TRUE(std::any_of(log.lines().begin(), log.lines().end(), [](const std::string& l) {
    return l.find("retrying at 460800") != std::string::npos;
  }));

  stayAtConnectSpeed();
  chip.addFault({SimFaultKind::kMemFail, 3});  // counted over every MEM_DATA: the next one
  EXPECT_FALSE(job.run(writePlan(writeFile("a.bin", image), 0x10000)));
  EXPECT_EQ(commandsOf(kOpMemEnd).size(), 1u);
  EXPECT_EQ(failure().substr(0, 9), "Error MEM");
}

// A slice answered with the stub's checksum error: its stream goes again from its begin, up to two
// times, before the line counts as failed; here at the connect speed, the lowest there is.
TEST_F(FastStub, ADamagedSliceIsSentAgainFromItsBeginTwiceAtMost) {
  stayAtConnectSpeed();
  const std::vector<uint8_t> image = patternBytes(100000, 10);  // seven slices
  const std::string file = writeFile("a.bin", image);
  // Three slices fit the stub's ring at once, so the slices sent before a damaged one is answered
  // arrive too: slices 0 to 3 of the first stream, then the resend's from the fifth arrival on.
  chip.addFault({SimFaultKind::kFlashFail, 1});
  chip.addFault({SimFaultKind::kFlashFail, 5});  // the second slice of the first resend
  ASSERT_TRUE(job.run(writePlan(file, 0x10000))) << failure();
  EXPECT_EQ(flashAt(0x10000, image.size()), image);
  EXPECT_EQ(commandsOf(kOpFlashDeflBegin).size(), 3u);
  EXPECT_TRUE(std::any_of(log.lines().begin(), log.lines().end(), [](const std::string& l) {
    return l.find("again from its begin (2 of 2)") != std::string::npos;
  }));

  // Three damaged in a row: the job fails, and reports no success.
  fillFlashWith(0);
  const size_t sent = commandsOf(kOpFlashDeflData).size();
  // The first slice of the first stream (slices 0 to 2 arrive), then the second of each resend
  // (slices 0 to 3 arrive).
  for (uint32_t n = 0; n < 3; ++n) {
    chip.addFault({SimFaultKind::kFlashFail, static_cast<uint32_t>(sent) + 4 * n});
  }
  EXPECT_FALSE(job.run(writePlan(file, 0x10000)));
  EXPECT_EQ(job.outcome(), JobOutcome::kFailed);
  EXPECT_EQ(failure(), "Error Flash");
  EXPECT_EQ(commandsOf(kOpFlashDeflBegin).size(), 3u + 3u);
}

// The bytes a request takes on the line: SLIP escapes and both END bytes.
size_t lineBytes(const SimCommand& c) {
  std::vector<uint8_t> raw = {0, c.opcode, uint8_t(c.size), uint8_t(c.size >> 8)};
  for (int i = 0; i < 4; ++i) raw.push_back(uint8_t(c.checksum >> (8 * i)));
  raw.insert(raw.end(), c.payload.begin(), c.payload.end());
  size_t n = 2;
  for (uint8_t b : raw) n += b == 0xC0 || b == 0xDB ? 2 : 1;
  return n;
}

// A slice's answer reaches the port no sooner than the bridge's turnaround after the slice's
// end; had the next slice waited for it, it would arrive that much later than its own line time.
TEST_F(FastStub, SlicesFollowEachOtherWithoutWaitingForTheirAnswers) {
  stayAtConnectSpeed();
  const std::vector<uint8_t> image = patternBytes(200000, 11);
  ASSERT_TRUE(job.run(writePlan(writeFile("a.bin", image), 0x10000))) << failure();
  EXPECT_EQ(flashAt(0x10000, image.size()), image);
  const std::vector<SimCommand> slices = sent(kOpFlashDeflData);
  ASSERT_GE(slices.size(), 4u);
  const double byteUs = 10e6 / 115200;
  const int64_t turnaround = SimTimings{}.bridgeLatencyUs;
  int following = 0;
  for (size_t i = 1; i < slices.size(); ++i) {
    const auto ownLine = static_cast<int64_t>(double(lineBytes(slices[i])) * byteUs);
    if (slices[i].atUs - slices[i - 1].atUs < ownLine + turnaround) ++following;
  }
  EXPECT_GE(following, 3) << "slices sent before the answer to the one before them came";
}

// A slice damaged in the middle of a window: the slices behind it are answered and dropped, the
// stream goes again from its begin, and the job ends with the image verified.
TEST_F(FastStub, ADamagedSliceInTheMiddleOfAWindowIsWrittenAgainFromItsBegin) {
  const std::vector<uint8_t> image = patternBytes(300000, 12);
  chip.addFault({SimFaultKind::kFlashFail, 5});
  ASSERT_TRUE(job.run(writePlan(writeFile("a.bin", image), 0x10000))) << failure();
  EXPECT_EQ(flashAt(0x10000, image.size()), image);
  const std::vector<SimCommand> begins = sent(kOpFlashDeflBegin);
  ASSERT_EQ(begins.size(), 2u);
  // Every slice of the first stream arrived before the resend's begin, which is answered as
  // such: no answer to a slice was taken for it or had to be skipped.
  const std::vector<SimCommand> slices = sent(kOpFlashDeflData);
  size_t firstStream = 0;
  for (const SimCommand& c : slices) firstStream += c.atUs < begins[1].atUs ? 1 : 0;
  EXPECT_GT(firstStream, 6u) << "slices behind the damaged one were in flight";
  EXPECT_EQ(le32(slices[firstStream].payload, 4), 0u);
  EXPECT_FALSE(std::any_of(log.lines().begin(), log.lines().end(), [](const std::string& l) {
    return l.find("Stale answer") != std::string::npos;
  }));
  EXPECT_TRUE(std::any_of(log.lines().begin(), log.lines().end(), [](const std::string& l) {
    return l.find("  5: 1 = C1") != std::string::npos;
  }));
  const std::vector<SimCommand> digests = sent(kOpFlashMd5);
  ASSERT_FALSE(digests.empty());
  EXPECT_EQ(le32(digests.back().payload, 4), 300000u);
  expectJobEnded();
}

// A chip whose receive ring is smaller than the stub's, with a flash slower than the line: the
// ring fills while the flash works, as far as the host lets it.
class SmallRing : public FastStub {
 protected:
  static constexpr uint32_t kRing = 40000;
  SmallRing()
      : FastStub([] {
          VirtualEsp32Options o;
          o.stubRxBufferSize = kRing;
          o.timings.pageProgramUs = 5000;
          return o;
        }()) {}
};

TEST_F(SmallRing, LosesNothingWhileTheHostKeepsItsUnansweredSlicesWithinIt) {
  const std::vector<uint8_t> image = patternBytes(300000, 13);
  const std::string file = writeFile("a.bin", image);
  const uint32_t stubRing = esp.StubWindow;
  ASSERT_GT(stubRing, kRing);
  esp.StubWindow = kRing;  // two slices at most
  ASSERT_TRUE(job.run(writePlan(file, 0x10000))) << failure();
  EXPECT_EQ(flashAt(0x10000, image.size()), image);
  EXPECT_FALSE(logged(" = C9"));
  EXPECT_EQ(sent(kOpFlashDeflBegin).size(), 1u);

  // Counting with the stub's own 64 KiB, the host overfills this ring: bytes are lost.
  esp.StubWindow = stubRing;
  fillFlashWith(0);
  mark();
  EXPECT_FALSE(job.run(writePlan(file, 0x10000)));
  EXPECT_TRUE(logged(" = C9"));
}

TEST_F(FastStub, RomOnlyKeepsEveryCommandOnTheRomLoader) {
  job.RomOnly = true;
  const std::vector<uint8_t> image = patternBytes(70000, 6);
  ASSERT_TRUE(job.run(writePlan(writeFile("a.bin", image), 0x10000))) << failure();
  const std::string out = (dir / "back.bin").string();
  ASSERT_TRUE(job.run(readPlan(0x10000, 1000, out))) << failure();
  EXPECT_EQ(readFile(out), std::vector<uint8_t>(image.begin(), image.begin() + 1000));
  EXPECT_TRUE(commandsOf(kOpMemBegin).empty());
  EXPECT_TRUE(commandsOf(kOpReadFlash).empty());
  EXPECT_FALSE(commandsOf(kOpReadFlashSlow).empty());
  EXPECT_TRUE(commandsOf(kOpFlashDeflEnd).empty());
}

// The flash's size comes from its JEDEC id once connected; addresses are checked against it.
class FlashSize : public JobHarness {
 protected:
  static VirtualEsp32Options withFlash(uint32_t size, uint32_t jedecId = 0) {
    VirtualEsp32Options options;
    options.flashSize = size;
    options.flashJedecId = jedecId;
    return options;
  }
  explicit FlashSize(const VirtualEsp32Options& options) : JobHarness(options) {}

  JobPlan readAt(uint32_t address, uint32_t size) {
    JobPlan plan;
    plan.kind = JobPlan::Kind::kRead;
    plan.address = address;
    plan.size = size;
    plan.outFile = (dir / "high.bin").string();
    plan.fastWrites = true;
    return plan;
  }
  // A log line from line `from` on holds text.
  bool logged(const std::string& text, size_t from = 0) const {
    return std::any_of(log.lines().begin() + static_cast<std::ptrdiff_t>(from), log.lines().end(),
                       [&](const std::string& l) { return l.find(text) != std::string::npos; });
  }
  uint32_t chipEventSize() const {
    for (const JobEvent& e : view.events) {
      if (e.kind == JobEvent::Kind::kChip) return e.size;
    }
    return 0;
  }
};

class SixteenMegabytes : public FlashSize {
 protected:
  SixteenMegabytes() : FlashSize(withFlash(16u << 20)) {}
};

TEST_F(SixteenMegabytes, AreWrittenAndReadNearTheirEnd) {
  const std::vector<uint8_t> image = patternBytes(70000, 8);
  JobPlan write;
  write.images = {{writeFile("high.bin", image), 0xF00000, false}};
  write.fastWrites = true;
  ASSERT_TRUE(job.run(write)) << (view.dialogs.empty() ? "" : view.dialogs.back().text);
  EXPECT_EQ(flashAt(0xF00000, image.size()), image);
  EXPECT_TRUE(logged(": 16 MB"));
  EXPECT_EQ(chipEventSize(), 16u << 20);
  // The stub is told the size, so that it accepts the addresses.
  const std::vector<SimCommand> params = commandsOf(kOpSpiSetParams);
  ASSERT_FALSE(params.empty());
  EXPECT_EQ(le32(params.back().payload, 4), 16u << 20);

  const JobPlan read = readAt(0xF00000, 70000);
  ASSERT_TRUE(job.run(read));
  EXPECT_EQ(readFile(read.outFile), image);
}

// The fast commands read the flash's id at the fast speed (some twenty register exchanges) and do
// not wait after the drain; the user still sees the chip, with its size, before its MAC.
TEST_F(SixteenMegabytes, TheFlashIdIsReadAtTheFastSpeedAndTheChipStillComesBeforeItsMac) {
  ASSERT_TRUE(job.run(readAt(0, 0x1000)));
  const std::vector<SimCommand> speed = commandsOf(kOpChangeBaud);
  ASSERT_EQ(speed.size(), 1u);
  constexpr uint32_t kSpi1User = 0x3FF4201C;
  size_t idReads = 0;
  for (const SimCommand& c : commandsOf(kOpReadReg)) {
    if (le32(c.payload, 0) != kSpi1User) continue;
    ++idReads;
    EXPECT_GT(c.atUs, speed[0].atUs);
  }
  EXPECT_EQ(idReads, 1u);
  std::vector<JobEvent::Kind> kinds;
  for (const JobEvent& e : view.events) {
    if (e.kind == JobEvent::Kind::kConnected || e.kind == JobEvent::Kind::kChip ||
        e.kind == JobEvent::Kind::kMac) {
      kinds.push_back(e.kind);
    }
  }
  EXPECT_EQ(kinds, (std::vector<JobEvent::Kind>{JobEvent::Kind::kConnected, JobEvent::Kind::kChip,
                                                JobEvent::Kind::kMac}));
  EXPECT_EQ(chipEventSize(), 16u << 20);
  EXPECT_EQ(std::count(clock.sleepsMs.begin(), clock.sleepsMs.end(), 100), 1)
      << "the reset's 100 ms only, no pause after the drain";
}

class FourMegabytes : public FlashSize {
 protected:
  FourMegabytes() : FlashSize(withFlash(4u << 20)) {}
};

TEST_F(FourMegabytes, RefuseAddressesPastTheirEndBeforeAnyFlashCommand) {
  stayAtConnectSpeed();
  EXPECT_FALSE(job.run(readAt(0xF00000, 0x1000)));
  ASSERT_FALSE(view.dialogs.empty());
  EXPECT_NE(view.dialogs.back().text.find("lies outside the 4 MB flash"), std::string::npos)
      << view.dialogs.back().text;
  EXPECT_TRUE(commandsOf(kOpReadFlash).empty());
  EXPECT_EQ(chipEventSize(), 4u << 20);
  EXPECT_FALSE(std::filesystem::exists(dir / "high.bin"));
}

// A capacity code no flash of these chips has: the row's 4 MB stay.
class UnknownFlashId : public FlashSize {
 protected:
  UnknownFlashId() : FlashSize(withFlash(16u << 20, 0x2040EF)) {}
};

TEST_F(UnknownFlashId, KeepsFourMegabytesAndSaysSo) {
  stayAtConnectSpeed();
  EXPECT_FALSE(job.run(readAt(0xF00000, 0x1000)));
  EXPECT_TRUE(logged("0x2040EF: size unknown, keeping 4 MB")) << log.lines().back();
  EXPECT_EQ(chipEventSize(), 4u << 20);
  // A flash that never answers reads as FF FF FF: the same.
  chip.addFault({SimFaultKind::kNoFlashId});
  const size_t from = log.lines().size();
  EXPECT_FALSE(job.run(readAt(0xF00000, 0x1000)));
  EXPECT_TRUE(logged("0xFFFFFF: size unknown, keeping 4 MB", from));
  EXPECT_TRUE(commandsOf(kOpReadFlash).empty());
}

}  // namespace
}  // namespace flintmoor::test
