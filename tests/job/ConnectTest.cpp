// Bringing the chip into its ROM loader (reset pulse, SYNC tries, six attempts) and identifying it,
// against the virtual ESP32 on the virtual clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>

#include "base/Error.h"
#include "job/ConnectDiagnosis.h"
#include "tests/job/JobHarness.h"

namespace flintmoor::test {
namespace {

class Connect : public JobHarness {
 protected:
  // The connection on the view's port, its status texts shown in the view.
  bool connect() {
    return comEsp.DoConnect(view.port,
                            [this](const std::string& text) { view.setStatusText(text); });
  }
};

// One connection attempt's lines: DTR off, RTS on, DTR off, (first phase), DTR on, RTS off, DTR on,
// (second phase), DTR off.
constexpr struct {
  SimLine line;
  bool asserted;
} kAttemptLines[7] = {{SimLine::kDtr, false}, {SimLine::kRts, true},  {SimLine::kDtr, false},
                      {SimLine::kDtr, true},  {SimLine::kRts, false}, {SimLine::kDtr, true},
                      {SimLine::kDtr, false}};

// Checks attempt `n`'s seven line changes and returns its two phase lengths in ms.
std::pair<int64_t, int64_t> attemptPhases(const std::vector<SimLineChange>& lines, size_t n) {
  const size_t base = n * 7;
  EXPECT_GE(lines.size(), base + 7);
  if (lines.size() < base + 7) return {-1, -1};
  for (size_t i = 0; i < 7; ++i) {
    EXPECT_EQ(lines[base + i].line, kAttemptLines[i].line) << "attempt " << n << " step " << i;
    EXPECT_EQ(lines[base + i].asserted, kAttemptLines[i].asserted)
        << "attempt " << n << " step " << i;
  }
  return {(lines[base + 3].atUs - lines[base + 2].atUs) / 1000,
          (lines[base + 6].atUs - lines[base + 5].atUs) / 1000};
}

TEST_F(Connect, AChipThatAnswersTheFirstSyncConnectsInOneTry) {
  EXPECT_TRUE(connect());
  EXPECT_EQ(view.statusHistory, (std::vector<std::string>{"Connect fast ", "Connect fast #"}));
  EXPECT_TRUE(com.cPort.Connected());
  EXPECT_EQ(com.cPort.customBaudRate(), 115200u);
  EXPECT_EQ(attemptPhases(chip.lineChanges(), 0), std::make_pair(int64_t{150}, int64_t{100}));
  EXPECT_EQ(chip.lineChanges().size(), 7u);  // DTR and RTS both end dropped

  // The fixed SYNC frame: opcode 8, length 36, checksum field 78 01 3A 00, 07 07 12 20, 32 x 55.
  const auto syncs = commandsOf(kOpSync);
  ASSERT_EQ(syncs.size(), 1u);
  EXPECT_EQ(syncs[0].size, 36);
  EXPECT_EQ(syncs[0].checksum, 0x003A0178u);
  std::vector<uint8_t> payload = {0x07, 0x07, 0x12, 0x20};
  payload.insert(payload.end(), 32, 0x55);
  EXPECT_EQ(syncs[0].payload, payload);
  // The answer frame is dumped to the log: direction 1, SYNC.
  ASSERT_FALSE(log.lines().empty());
  EXPECT_NE(log.lines().front().find("01 08"), std::string::npos) << log.lines().front();
}

TEST_F(Connect, SlowTimingsComeFirstWithoutFastFirst) {
  config.FastFirst = false;
  EXPECT_TRUE(connect());
  EXPECT_EQ(view.statusHistory, (std::vector<std::string>{"Connect slow ", "Connect slow #"}));
  EXPECT_EQ(attemptPhases(chip.lineChanges(), 0), std::make_pair(int64_t{1400}, int64_t{500}));
}

TEST_F(Connect, TheTimingsComeFromTheSettings) {
  config.FastLow = 30;
  config.FastHigh = 70;
  EXPECT_TRUE(connect());
  EXPECT_EQ(attemptPhases(chip.lineChanges(), 0), std::make_pair(int64_t{30}, int64_t{70}));
}

TEST_F(Connect, ASlowResetCircuitFailsTheFastAttemptAndPassesTheSlowOne) {
  chip.addFault({SimFaultKind::kSlowEn});
  EXPECT_TRUE(connect());
  EXPECT_EQ(view.statusHistory,
            (std::vector<std::string>{"Connect fast ", "Connect fast #", "Connect fast ##",
                                      "Connect fast ###", "Connect fast ####", "Connect fast #####",
                                      "Connect slow ", "Connect slow #"}));
  EXPECT_EQ(attemptPhases(chip.lineChanges(), 1), std::make_pair(int64_t{1400}, int64_t{500}));
  EXPECT_EQ(commandsOf(kOpSync).size(), 1u);  // the chip heard only the slow attempt's SYNC
}

TEST_F(Connect, BootTextBeforeTheAnswersDoesNotSpoilTheJob) {
  chip.addFault({SimFaultKind::kChatter});
  EXPECT_TRUE(job.ButStartClick(2, sampleImages()));
  EXPECT_EQ(view.statusHistory[1], "Connect fast #");
  EXPECT_EQ(flashAt(0x8000, 3072), patternBytes(3072, 2));
}

TEST_F(Connect, NoChipCostsSixAlternatingAttemptsOfFiveTriesAndEndsInNoDeviceFound) {
  chip.addFault({SimFaultKind::kSilent});
  const int64_t start = clock.nowUs();
  EXPECT_FALSE(job.ButStartClick(2, sampleImages()));
  const int64_t tookMs = (clock.nowUs() - start) / 1000;

  std::vector<std::string> expected;
  for (int attempt = 0; attempt < 6; ++attempt) {
    const std::string head = attempt % 2 == 0 ? "Connect fast " : "Connect slow ";
    for (int tries = 0; tries <= 5; ++tries) expected.push_back(head + std::string(tries, '#'));
  }
  expected.push_back("Error");
  EXPECT_EQ(view.statusHistory, expected);
  expectFailedWith(
      "No Device Found!\nNothing came from the chip: check the cable and that this is the board's "
      "port.");
  EXPECT_EQ(view.mac, "---");

  // Every attempt pulses the lines with its own timing; the job's reset follows them.
  const auto& lines = chip.lineChanges();
  EXPECT_EQ(lines.size(), 6u * 7 + 4);
  int64_t phasesMs = 0;
  for (size_t n = 0; n < 6; ++n) {
    const auto phases = attemptPhases(lines, n);
    EXPECT_EQ(phases, n % 2 == 0 ? std::make_pair(int64_t{150}, int64_t{100})
                                 : std::make_pair(int64_t{1400}, int64_t{500}));
    phasesMs += phases.first + phases.second;
  }
  // Each attempt: 50 ms after opening, the two phases, and five tries that wait 200 ms each for
  // a first byte that never comes; the SYNC frames themselves take a few ms on the line.
  const int64_t waitsMs = 6 * 50 + phasesMs + 30 * 200;
  EXPECT_EQ(waitsMs, 12750);
  EXPECT_GE(tookMs, waitsMs);
  EXPECT_LT(tookMs, waitsMs + 30 * 10 + 200);
  expectJobEnded();
}

// What the message of a failed connection adds under "No Device Found!", from what the chip sent.
class ConnectHint : public Connect {
 protected:
  static std::string message(std::string_view hint) {
    return "No Device Found!\n" + std::string(hint);
  }
  bool logHas(std::string_view text) const {
    for (const std::string& line : log.lines()) {
      if (line.find(text) != std::string::npos) return true;
    }
    return false;
  }
};

TEST_F(ConnectHint, ABoardWhoseBootStrapNeverReachesTheChipIsToldToHoldBoot) {
  const std::string_view hint = connectFailureHint(ConnectFailure::kProgramStarted);
  chip.addFault({SimFaultKind::kNoBootStrap});
  // Blank flash: the ROM repeats its complaint after the banner, for ever.
  EXPECT_FALSE(connect());
  EXPECT_EQ(comEsp.noDeviceMessage(), message(hint));
  EXPECT_TRUE(logHas(hint));

  // A program in flash: the ROM prints where it loads it, then the program is quiet.
  const auto flash = chip.flash().bytes();
  const uint8_t header[] = {0xE9, 0x01, 0x02, 0x2F, 0x00, 0x04, 0x08, 0x40, 0, 0, 0,
                            0,    0,    0,    0,    0,    0,    0,    0,    0, 0, 0,
                            0,    0,    0x18, 0x00, 0xFF, 0x3F, 4,    0,    0, 0};
  std::copy(std::begin(header), std::end(header), flash.begin() + 0x1000);
  EXPECT_FALSE(connect());
  const std::string received = comEsp.received().text();
  EXPECT_NE(received.find("boot:0x13 (SPI_FAST_FLASH_BOOT)"), std::string::npos) << received;
  EXPECT_NE(received.find("entry 0x40080400"), std::string::npos) << received;
  EXPECT_EQ(comEsp.noDeviceMessage(), message(hint));
}

TEST_F(ConnectHint, NoChipOnThePortIsToldThatNothingCame) {
  chip.addFault({SimFaultKind::kSilent});
  EXPECT_FALSE(connect());
  EXPECT_TRUE(comEsp.received().empty());
  EXPECT_EQ(comEsp.noDeviceMessage(),
            message(connectFailureHint(ConnectFailure::kNothingReceived)));
}

TEST_F(ConnectHint, BootTextHeardAtTheWrongSpeedIsNotTakenForABanner) {
  // The ROM prints at 115200 bit/s; a port at 230400 reads its boot text as noise.
  chip.addFault({SimFaultKind::kNoBootStrap});
  config.ConnBaud = 230400;
  EXPECT_FALSE(connect());
  EXPECT_FALSE(comEsp.received().empty());
  EXPECT_EQ(comEsp.noDeviceMessage(), message(connectFailureHint(ConnectFailure::kNotTheLoader)));
}

TEST_F(ConnectHint, EachConnectionStartsWithNothingKept) {
  chip.addFault({SimFaultKind::kNoBootStrap});
  EXPECT_FALSE(connect());
  ASSERT_FALSE(comEsp.received().empty());
  EXPECT_EQ(esp.link().SkipCapture, nullptr) << "the capture ends with the attempt";
  chip.unplug();  // from now on nothing can come, and the port cannot even be opened
  EXPECT_THROW(connect(), EComPort);
  EXPECT_TRUE(comEsp.received().empty());
}

TEST_F(Connect, AnEsp32S2IsNamedAndRefusedBeforeItsMacIsRead) {
  chip.addFault({SimFaultKind::kS2});
  EXPECT_FALSE(job.ButStartClick(2, sampleImages()));
  expectFailedWith("Controller Error: ESP32-S2");
  EXPECT_EQ(view.mac, "---");
  EXPECT_EQ(job.UsedCpu, cESP32S2);
  const auto reads = commandsOf(kOpReadReg);
  ASSERT_EQ(reads.size(), 1u);
  EXPECT_EQ(le32(reads[0].payload, 0), 0x40001000u);
  expectJobEnded();
  expectChipResetIntoApplication();
}

TEST_F(Connect, AnUnknownChipIsRefusedWithAnEmptyName) {
  chip.addFault({SimFaultKind::kUnknownChip});
  EXPECT_FALSE(job.ButStartClick(1, {}));
  expectFailedWith("Controller Error: ");
  EXPECT_EQ(job.UsedCpu, cNONE);
  EXPECT_EQ(view.mac, "---");
}

TEST_F(Connect, APortInUseFailsWithTheSerialLinksMessage) {
  SimSerialDevice other(chip);
  other.open(VirtualEsp32::kPortName, 115200);
  EXPECT_FALSE(job.ButStartClick(1, {}));
  expectFailedWith("Unable to open com port (Error: " + std::to_string(oserr::kErrBusy) + ")");
  EXPECT_FALSE(com.cPort.Connected());
  EXPECT_TRUE(view.updateEnabled);
  EXPECT_TRUE(view.eraseEnabled);
}

TEST_F(Connect, IdentifiesAnEsp32S2AndReadsItsMacHighWordFirst) {
  chip.addFault({SimFaultKind::kS2});
  ASSERT_TRUE(connect());
  com.ComFlush();
  std::string name = "stale";
  EXPECT_EQ(comEsp.identifyChip(name), cESP32S2);
  EXPECT_EQ(name, "ESP32-S2");
  EXPECT_EQ(comEsp.readMac(cESP32S2), "02:00:5E:10:20:30");
  const auto reads = commandsOf(kOpReadReg);
  ASSERT_EQ(reads.size(), 3u);
  EXPECT_EQ(le32(reads[1].payload, 0), 0x3F41A048u);
  EXPECT_EQ(le32(reads[2].payload, 0), 0x3F41A044u);
}

TEST_F(Connect, ReadsTheEsp32MacLowWordFirst) {
  ASSERT_TRUE(connect());
  com.ComFlush();
  std::string name;
  EXPECT_EQ(comEsp.identifyChip(name), cESP32);
  EXPECT_EQ(name, "ESP32");
  EXPECT_EQ(comEsp.readMac(cESP32), "02:00:5E:10:20:30");
  const auto reads = commandsOf(kOpReadReg);
  ASSERT_EQ(reads.size(), 3u);
  EXPECT_EQ(le32(reads[1].payload, 0), 0x3FF5A004u);
  EXPECT_EQ(le32(reads[2].payload, 0), 0x3FF5A008u);
}

TEST(MacText, TakesTheHighWordsLowBytesThenTheLowWordFromItsTopByte) {
  EXPECT_EQ(TComEsp::formatMac(0xA1B2C3D4, 0x0000240A), "24:0A:A1:B2:C3:D4");
  // The high word's upper half (CRC and reserved bits) is not part of the address.
  EXPECT_EQ(TComEsp::formatMac(0xA1B2C3D4, 0xFF5A240A), "24:0A:A1:B2:C3:D4");
  EXPECT_EQ(TComEsp::formatMac(0x00000001, 0x00000000), "00:00:00:00:00:01");
  EXPECT_EQ(TComEsp::formatMac(0xFFFFFFFF, 0xFFFFFFFF).size(), 17u);
}

}  // namespace
}  // namespace flintmoor::test
