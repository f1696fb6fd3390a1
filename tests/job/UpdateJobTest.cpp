// The update and erase jobs end to end against the virtual ESP32: what reaches the chip's flash,
// what the user sees, and how every failure ends the job.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/job/JobHarness.h"

namespace flintmoor::test {
namespace {

using UpdateJob = JobHarness;

TEST_F(UpdateJob, WritesTheThreeImagesAtTheirAddressesAndEndsOk) {
  const auto files = sampleImages();
  const std::vector<uint8_t> bootOnDisk = readFile(files[0]);

  EXPECT_TRUE(job.ButStartClick(2, files));

  // The bootloader goes out with its flash mode and size/frequency bytes set: E9 03 02 20.
  std::vector<uint8_t> bootSent = bootOnDisk;
  bootSent[2] = 0x02;
  bootSent[3] = 0x20;
  EXPECT_EQ(flashAt(0x1000, 16384), bootSent);
  EXPECT_EQ(flashAt(0x8000, 3072), readFile(files[1]));
  EXPECT_EQ(flashAt(0x10000, 70000), readFile(files[2]));
  // Only the copy in memory was changed.
  EXPECT_EQ(readFile(files[0]), bootOnDisk);
  EXPECT_EQ(bootOnDisk[2], 0x00);

  EXPECT_TRUE(view.dialogs.empty());
  EXPECT_EQ(view.status, "OK");
  EXPECT_EQ(view.mac, "02:00:5E:10:20:30");
  EXPECT_EQ(com.Tag, 2);
  expectJobEnded();
  expectChipResetIntoApplication();
}

TEST_F(UpdateJob, ShowsEachStepOfTheRoadInTheStatusBar) {
  EXPECT_TRUE(job.ButStartClick(2, sampleImages()));
  // Each image is verified after its last block.
  // clang-format off
  const std::vector<std::string> expected = {
      "Connect fast ", "Connect fast #", "Connected",
      "boot.bin", "Verify", "OK",
      "part.bin", "Verify", "OK",
      "app.bin", "Verify", "OK",
      "OK"};
  // clang-format on
  EXPECT_EQ(view.statusHistory, expected);
  // The MAC label is reset first, then shows the chip's address.
  EXPECT_EQ(view.macHistory, (std::vector<std::string>{"---", "02:00:5E:10:20:30"}));
}

TEST_F(UpdateJob, SendsAnApplicationIn16KiBBlocksWithProgressAtTheEndOfEachBlock) {
  EXPECT_TRUE(job.ButStartClick(2, sampleImages(70000)));

  EXPECT_EQ(blocksWrittenAt(0x10000), (std::vector<uint32_t>{16384, 16384, 16384, 16384, 4464}));
  EXPECT_EQ(blocksWrittenAt(0x1000), (std::vector<uint32_t>{16384}));
  EXPECT_EQ(blocksWrittenAt(0x8000), (std::vector<uint32_t>{3072}));
  // Bootloader, partition table, then the application's five blocks.
  EXPECT_EQ(view.progressPositions,
            (std::vector<int>{16384, 3072, 16384, 32768, 49152, 65536, 70000}));
  EXPECT_EQ(view.progressMax, 70000);

  // FLASH_BEGIN announces the blocks rounded up, with 16 KiB blocks, to the stub.
  const auto begins = commandsOf(kOpFlashBegin);
  ASSERT_EQ(begins.size(), 3u);
  const SimCommand& app = begins[2];
  EXPECT_EQ(app.loader, SimLoader::kStub);
  EXPECT_EQ(le32(app.payload, 0), 5u * 16384);
  EXPECT_EQ(le32(app.payload, 4), 5u);
  EXPECT_EQ(le32(app.payload, 8), 16384u);
  EXPECT_EQ(le32(app.payload, 12), 0x10000u);
}

TEST_F(UpdateJob, WaitsAsTheConnectionTheBlocksAndTheImagesRequire) {
  EXPECT_TRUE(job.ButStartClick(2, sampleImages(65537)));
  // clang-format off
  const std::vector<int64_t> expected = {
      50, 150, 100,        // port settles, first and second reset phase
      100,                 // after the input drain
      50,                  // after the speed change
      50, 200,             // bootloader: one block, then the image
      50, 200,             // partition table
      50, 50, 50, 50, 50,  // application: four full blocks and one byte, then the image
      200,
      20, 50};             // reset into the application
  // clang-format on
  EXPECT_EQ(clock.sleepsMs, expected);
}

TEST_F(UpdateJob, AnEmptyImageSendsFlashBeginWithSizeZeroAndNoBlock) {
  auto files = sampleImages();
  files[1] = writeFile("empty.bin", {});
  EXPECT_TRUE(job.ButStartClick(2, files));

  const auto begins = commandsOf(kOpFlashBegin);
  ASSERT_EQ(begins.size(), 3u);
  EXPECT_EQ(le32(begins[1].payload, 0), 0u);  // erase size
  EXPECT_EQ(le32(begins[1].payload, 4), 0u);  // blocks
  EXPECT_EQ(le32(begins[1].payload, 12), 0x8000u);
  EXPECT_TRUE(blocksWrittenAt(0x8000).empty());
  EXPECT_EQ(view.status, "OK");
}

TEST_F(UpdateJob, ABootloaderWithoutTheMagicByteIsWrittenUnchanged) {
  auto files = sampleImages();
  std::vector<uint8_t> boot = patternBytes(12000, 9);
  boot[0] = 0xE8;
  files[0] = writeFile("plain.bin", boot);
  EXPECT_TRUE(job.ButStartClick(2, files));
  EXPECT_EQ(flashAt(0x1000, boot.size()), boot);
}

TEST_F(UpdateJob, FileNamesWithBlanksAndNonAsciiLettersAreWritten) {
  auto files = sampleImages();
  const std::vector<uint8_t> part = patternBytes(3072, 7);
  files[1] = writeFile("partition table \xC3\xBC\xE2\x82\xAC.bin", part);
  EXPECT_TRUE(job.ButStartClick(2, files));
  EXPECT_EQ(flashAt(0x8000, 3072), part);
  EXPECT_NE(std::find(view.statusHistory.begin(), view.statusHistory.end(),
                      "partition table \xC3\xBC\xE2\x82\xAC.bin"),
            view.statusHistory.end());
}

TEST_F(UpdateJob, AnUnreadableImageFailsWithItsNameAndTheSystemsReason) {
  auto files = sampleImages();
  files[2] = (dir / "missing.bin").string();
  EXPECT_FALSE(job.ButStartClick(2, files));
  ASSERT_EQ(view.dialogs.size(), 1u);
  const std::string& text = view.dialogs[0].text;
  EXPECT_EQ(text.rfind("Cannot open file \"" + files[2] + "\". ", 0), 0u) << text;
  EXPECT_GT(text.size(), ("Cannot open file \"" + files[2] + "\". ").size());
  // The images before it were written.
  EXPECT_EQ(flashAt(0x8000, 3072), readFile(files[1]));
  expectJobEnded();
  expectChipResetIntoApplication();
}

TEST_F(UpdateJob, AnApplicationPastTheEndOfTheFlashIsRefusedBeforeItIsSent) {
  auto files = sampleImages();
  files[2] = writeFile("huge.bin", std::vector<uint8_t>((4u << 20) - 0x10000 + 1, 0x11));
  EXPECT_FALSE(job.ButStartClick(2, files));
  expectFailedWith("Image too large: \"" + files[2] + "\" does not fit the 4 MB flash at 0x10000");
  EXPECT_TRUE(blocksWrittenAt(0x10000).empty());
  expectJobEnded();
}

TEST_F(UpdateJob, EraseAnsweredYesErasesTheWholeFlash) {
  std::fill(chip.flash().bytes().begin(), chip.flash().bytes().begin() + 0x20000, 0x00);
  EXPECT_TRUE(job.ButStartClick(1, {}));

  ASSERT_EQ(view.dialogs.size(), 1u);
  const Dialog& q = view.dialogs[0];
  EXPECT_EQ(q.text, "Erase Flash?");
  EXPECT_EQ(q.type, mtConfirmation);
  EXPECT_EQ(q.caption, "ERASE");
  EXPECT_EQ(q.buttons, msgBut(mbYes) | msgBut(mbNo));
  EXPECT_TRUE(q.beep);

  EXPECT_TRUE(chip.flash().isBlank());
  EXPECT_EQ(commandsOf(kOpEraseFlash).size(), 1u);
  const auto& history = view.statusHistory;
  ASSERT_GE(history.size(), 3u);
  EXPECT_EQ(history[history.size() - 3], "Erasing, please wait...");
  EXPECT_EQ(history[history.size() - 2], "OK");
  EXPECT_EQ(history.back(), "OK");
  EXPECT_EQ(com.Tag, 1);
  expectJobEnded();
  expectChipResetIntoApplication();
}

TEST_F(UpdateJob, EraseAnsweredNoStillConnectsIdentifiesLoadsTheStubAndEndsOk) {
  chip.flash().bytes()[0x1000] = 0x12;
  view.answer = mrNo;
  EXPECT_TRUE(job.ButStartClick(1, {}));

  EXPECT_EQ(commandsOf(kOpEraseFlash).size(), 0u);
  EXPECT_EQ(chip.flash().bytes()[0x1000], 0x12);
  EXPECT_EQ(view.mac, "02:00:5E:10:20:30");
  EXPECT_EQ(commandsOf(kOpMemEnd).size(), 1u);
  ASSERT_FALSE(commandsOf(kOpReadReg).empty());
  EXPECT_EQ(le32(commandsOf(kOpReadReg)[0].payload, 0), 0x40001000u);
  EXPECT_EQ(view.status, "OK");
  EXPECT_EQ(view.dialogs.size(), 1u);  // only the question
  expectJobEnded();
  expectChipResetIntoApplication();
}

TEST_F(UpdateJob, EraseQuestionIsSilentWithoutDoBeep) {
  config.DoBeep = false;
  view.answer = mrNo;
  EXPECT_TRUE(job.ButStartClick(1, {}));
  ASSERT_EQ(view.dialogs.size(), 1u);
  EXPECT_FALSE(view.dialogs[0].beep);
}

TEST_F(UpdateJob, RaisesTheLineSpeedAndUploadsTheStubAtIt) {
  config.FastBaud = 460800;
  EXPECT_TRUE(job.ButStartClick(2, sampleImages()));
  const auto speed = commandsOf(kOpChangeBaud);
  ASSERT_EQ(speed.size(), 1u);
  EXPECT_EQ(le32(speed[0].payload, 0), 460800u);
  EXPECT_EQ(le32(speed[0].payload, 4), 115200u);
  bool portAtFastSpeed = false;
  for (const SimBaudChange& b : chip.baudChanges()) {
    if (b.side == SimSide::kPort && b.baud == 460800) portAtFastSpeed = true;
  }
  EXPECT_TRUE(portAtFastSpeed);
}

class SpeedChange : public JobHarness, public ::testing::WithParamInterface<bool> {};

TEST_P(SpeedChange, TheNextCommandWaitsOutTheRomsSwitchAndIsAnsweredTheFirstTime) {
  // The ROM answers CHANGE_BAUDRATE, switches (garbling what arrives meanwhile) and sends END END
  // at the new speed.
  job.RomOnly = GetParam();
  EXPECT_TRUE(job.ButStartClick(2, sampleImages()));
  EXPECT_TRUE(view.dialogs.empty());
  const auto& commands = chip.commands();
  const auto change = std::find_if(commands.begin(), commands.end(),
                                   [](const SimCommand& c) { return c.opcode == kOpChangeBaud; });
  ASSERT_NE(change, commands.end());
  ASSERT_NE(change + 1, commands.end());
  const SimCommand& next = *(change + 1);
  EXPECT_EQ(next.opcode, job.RomOnly ? kOpSpiAttach : kOpMemBegin);
  EXPECT_GE(next.atUs - change->atUs, 50'000);
  EXPECT_EQ(commandsOf(kOpChangeBaud).size(), 1u);
  EXPECT_EQ(commandsOf(kOpSync).size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Ways, SpeedChange, ::testing::Bool(), wayName);

TEST_F(UpdateJob, ARefusedSpeedChangeLeavesTheJobAtTheConnectSpeed) {
  chip.addFault({SimFaultKind::kNoBaud});
  EXPECT_TRUE(job.ButStartClick(2, sampleImages()));
  for (const SimBaudChange& b : chip.baudChanges()) {
    if (b.side == SimSide::kPort) {
      EXPECT_EQ(b.baud, 115200u);
    }
  }
  EXPECT_EQ(flashAt(0x8000, 3072), patternBytes(3072, 2));
}

struct FailureCase {
  const char* name;
  SimFault fault;
  const char* message;
};

class UpdateJobFailure : public JobHarness, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(UpdateJobFailure, ShowsTheMessageResetsTheChipClosesThePortAndEnablesBothButtons) {
  stayAtConnectSpeed();
  chip.addFault(GetParam().fault);
  EXPECT_FALSE(job.ButStartClick(2, sampleImages()));
  expectFailedWith(GetParam().message);
  EXPECT_EQ(view.mac, "02:00:5E:10:20:30");
  expectJobEnded();
  expectChipResetIntoApplication();
}

INSTANTIATE_TEST_SUITE_P(
    Faults, UpdateJobFailure,
    ::testing::Values(
        FailureCase{"FailingBlock", {SimFaultKind::kFlashFail, 2}, "Error Flash"},
        FailureCase{"MissingAnswer", {SimFaultKind::kDropAnswer, 1}, "Error Flash Write"},
        FailureCase{"BadEscapeInAnswer", {SimFaultKind::kBadEscape, 0}, "Error Flash Write"},
        FailureCase{"StubDoesNotGreet", {SimFaultKind::kStubSilent}, "Error ENTRY"},
        FailureCase{"StubGreetsWrongly", {SimFaultKind::kStubBadGreeting}, "Error Entry-Code"}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return info.param.name; });

TEST_F(UpdateJob, AFailingBlockLeavesTheImagesBeforeItWrittenAndLogsTheRequest) {
  stayAtConnectSpeed();
  chip.addFault({SimFaultKind::kFlashFail, 2});  // the application's first block
  const auto files = sampleImages();
  EXPECT_FALSE(job.ButStartClick(2, files));
  EXPECT_EQ(flashAt(0x8000, 3072), readFile(files[1]));
  EXPECT_EQ(blocksWrittenAt(0x10000).size(), 1u);
  const auto& lines = log.lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "  0: 1 = C1"), lines.end());
}

TEST_F(UpdateJob, ABridgeUnpluggedMidWriteStillEndsTheJobWithTheOriginalError) {
  chip.addFault({SimFaultKind::kUnplug, 3});
  EXPECT_FALSE(job.ButStartClick(2, sampleImages()));
  // The answer to the block is read from a port that is gone; resetting the chip then fails as
  // well, and the user still sees the error that stopped the job.
  expectFailedWith("ReadFile function failed (Error: " + std::to_string(oserr::kErrGone) + ")");
  EXPECT_TRUE(chip.unplugged());
  EXPECT_FALSE(com.cPort.Connected());
  expectJobEnded();
}

TEST_F(UpdateJob, TheNextJobStartsAfreshAfterAFailedOne) {
  stayAtConnectSpeed();
  chip.addFault({SimFaultKind::kFlashFail, 2});  // hits once: the chip counts every block
  const auto files = sampleImages();
  EXPECT_FALSE(job.ButStartClick(2, files));
  view.dialogs.clear();

  EXPECT_TRUE(job.ButStartClick(2, files));
  EXPECT_TRUE(view.dialogs.empty());
  EXPECT_EQ(flashAt(0x10000, 70000), readFile(files[2]));
  expectJobEnded();
}

}  // namespace
}  // namespace flintmoor::test
