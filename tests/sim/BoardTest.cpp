// The virtual ESP32's board: the DTR/RTS reset circuit, the two reset pulses, the boot text and
// its speed, the line timing, the "SIM" port's open rules, an unplugged bridge, speed changes that
// keep the reset lines, the record of the lines and speeds, and the real-time mode. Port errors
// carry the codes of the platform the build targets, as its real serial port raises them.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "SimHarness.h"
#include "comio/SerialDevice.h"

namespace flintmoor::simtest {
namespace {

using Mode = VirtualEsp32::Mode;
using Board = SimBench;

const std::string kDownloadText =
    "\r\nets Jun  8 2016 00:22:57\r\n\r\n"
    "rst:0x1 (POWERON_RESET),boot:0x3 (DOWNLOAD_BOOT(UART0/UART1/SDIO_REI_REO_V2))\r\n"
    "waiting for download\r\n";

std::string text(const Bytes& b) {
  return std::string(b.begin(), b.end());
}

// A port error's message: the text and the OS code.
std::string failed(const std::string& what, int code) {
  return what + " (Error: " + std::to_string(code) + ")";
}

// One row of the circuit's truth table: the lines, and where the chip ends up from reset.
struct CircuitRow {
  bool dtr;
  bool rts;
  Mode mode;
};

class ResetCircuit : public SimBench, public ::testing::WithParamInterface<CircuitRow> {};

TEST_P(ResetCircuit, LinesDriveEnAndIo0) {
  const CircuitRow row = GetParam();
  open();
  port.setRTS(true);  // held in reset
  clock.sleepMs(20);
  ASSERT_EQ(board.mode(), Mode::kReset);
  port.setDTR(row.dtr);
  port.setRTS(row.rts);
  clock.sleepMs(50);
  EXPECT_EQ(board.mode(), row.mode);
}

INSTANTIATE_TEST_SUITE_P(TruthTable, ResetCircuit,
                         ::testing::Values(CircuitRow{false, false, Mode::kApplication},
                                           CircuitRow{true, true, Mode::kApplication},
                                           CircuitRow{false, true, Mode::kReset},
                                           CircuitRow{true, false, Mode::kLoader}));

TEST_F(Board, DownloadPulseBootsTheLoaderWhichPrintsItsTextAt115200) {
  open();
  board.clearRecord();
  int64_t start = clock.nowUs();
  downloadReset(150, 100);
  ASSERT_EQ(board.boots().size(), 1u);
  EXPECT_EQ(board.boots()[0].mode, Mode::kLoader);
  // EN rises 10 ms (RC delay) after the second phase released it.
  EXPECT_EQ(board.boots()[0].atUs, start + 150'000 + 10'000);
  EXPECT_EQ(board.mode(), Mode::kLoader);

  std::vector<SimLineChange> expected = {
      {start, SimLine::kDtr, false},           {start, SimLine::kRts, true},
      {start, SimLine::kDtr, false},           {start + 150'000, SimLine::kDtr, true},
      {start + 150'000, SimLine::kRts, false}, {start + 150'000, SimLine::kDtr, true},
      {start + 250'000, SimLine::kDtr, false}};
  ASSERT_EQ(board.lineChanges().size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(board.lineChanges()[i].atUs, expected[i].atUs) << i;
    EXPECT_EQ(board.lineChanges()[i].line, expected[i].line) << i;
    EXPECT_EQ(board.lineChanges()[i].asserted, expected[i].asserted) << i;
  }
  // The text went out while the port was not reading; it waits in the driver's queue.
  EXPECT_EQ(text(drain()), kDownloadText);
}

TEST_F(Board, BootTextTakesTenBitTimesPerByte) {
  open();
  port.setRTS(true);
  clock.sleepMs(10);
  port.setDTR(true);
  port.setRTS(false);
  clock.sleepMs(10);  // EN rises now
  int64_t boot = clock.nowUs();
  Bytes got;
  for (int b; (b = port.readByte(5)) >= 0;) got.push_back(static_cast<uint8_t>(b));
  EXPECT_EQ(text(got), kDownloadText);
  // The last byte arrived 10 bit times per byte after the boot, the read returning at once.
  int64_t lastAt = clock.nowUs() - 5000;
  int64_t expectedUs = static_cast<int64_t>(kDownloadText.size()) * 10'000'000 / 115200;
  EXPECT_GE(lastAt - boot, expectedUs);
  EXPECT_LE(lastAt - boot, expectedUs + 2);
}

TEST_F(Board, ApplicationPulseBootsFromFlashAndBlankFlashChattersWithoutPause) {
  open();
  board.clearRecord();
  int64_t start = clock.nowUs();
  applicationReset();
  clock.sleepMs(20);
  ASSERT_EQ(board.boots().size(), 1u);
  EXPECT_EQ(board.boots()[0].mode, Mode::kApplication);
  EXPECT_EQ(board.boots()[0].atUs, start + 50'000 + 10'000);

  port.purge();
  int64_t from = clock.nowUs();
  Bytes got;
  for (int i = 0; i < 2000; ++i) {
    int b = port.readByte(1);
    ASSERT_GE(b, 0) << "silence after " << i << " bytes";
    got.push_back(static_cast<uint8_t>(b));
  }
  EXPECT_LE(clock.nowUs() - from, 2000LL * 10'000'000 / 115200 + 100);
  std::string s = text(got);
  size_t first = s.find("invalid header: 0xffffffff\r\n");
  ASSERT_NE(first, std::string::npos);
  std::string line = "invalid header: 0xffffffff\r\n";
  for (size_t at = first; at + line.size() <= s.size(); at += line.size()) {
    ASSERT_EQ(s.compare(at, line.size(), line), 0) << "at " << at;
  }
}

TEST_F(Board, ApplicationBootWithAnImagePrintsItsSegmentsAndFallsSilent) {
  auto flash = board.flash().bytes();
  // Image header: magic, 2 segments, DIO, 40 MHz, entry; then two segment headers.
  Bytes header = {0xE9, 0x02, 0x02, 0x20, 0x1C, 0x04, 0x08, 0x40};
  std::copy(header.begin(), header.end(), flash.begin() + 0x1000);
  Bytes seg1 = words({0x3FFF0018, 4});
  std::copy(seg1.begin(), seg1.end(), flash.begin() + 0x1000 + 24);
  Bytes seg2 = words({0x40078000, 16});
  std::copy(seg2.begin(), seg2.end(), flash.begin() + 0x1000 + 24 + 8 + 4);
  open();
  applicationReset();
  std::string s = text(drain(50));
  EXPECT_EQ(s,
            "\r\nets Jun  8 2016 00:22:57\r\n\r\n"
            "rst:0x1 (POWERON_RESET),boot:0x13 (SPI_FAST_FLASH_BOOT)\r\n"
            "configsip: 0, SPIWP:0xee\r\n"
            "mode:DIO, clock div:2\r\n"
            "load:0x3fff0018,len:4\r\n"
            "load:0x40078000,len:16\r\n"
            "entry 0x4008041c\r\n");
}

TEST_F(Board, ChipHeldInResetIgnoresTheLine) {
  open();
  downloadReset();
  drain();
  port.setRTS(true);
  clock.sleepMs(5);
  board.clearRecord();
  send(syncFrame());
  EXPECT_TRUE(drain(100).empty());
  EXPECT_TRUE(board.commands().empty());
}

TEST_F(Board, ResetStopsAnAnswerInFlight) {
  connect();
  send(syncFrame());
  clock.sleepMs(5);  // the frame is in (4 ms); the answers start 2 ms later
  port.setRTS(true);
  EXPECT_TRUE(drain(50).empty());
}

TEST_F(Board, SimPortOpensOnceAndOnlyUnderItsName) {
  SimSerialDevice other(board);
  EXPECT_EQ(portError([&] { other.open("COM3", 115200); }),
            failed("Unable to open com port", oserr::kErrNoDevice));
  open();
  EXPECT_TRUE(board.bridgeIsOpen());
  EXPECT_EQ(portError([&] { other.open("SIM", 115200); }),
            failed("Unable to open com port", oserr::kErrBusy));
  port.close();
  EXPECT_FALSE(board.bridgeIsOpen());
  other.open("SIM", 230400);
  EXPECT_EQ(board.portBaud(), 230400u);
  EXPECT_EQ(portError([&] { port.setDTR(true); }), "Port Not Open");
}

TEST_F(Board, UnpluggedBridgeFailsEveryPortCallAsARemovedDevice) {
  connect();
  board.unplug();
  uint8_t byte = 0;
  EXPECT_EQ(portError([&] { port.write(&byte, 1); }),
            failed("WriteFile function failed", oserr::kErrGone));
  EXPECT_EQ(portError([&] { port.readByte(10); }),
            failed("ReadFile function failed", oserr::kErrGone));
  EXPECT_EQ(portError([&] { port.setDTR(true); }),
            failed("EscapeCommFunction function failed", oserr::kErrGone));
  EXPECT_EQ(portError([&] { port.setRTS(false); }),
            failed("EscapeCommFunction function failed", oserr::kErrGone));
  EXPECT_EQ(portError([&] { port.setBaudRate(115200); }),
            failed("SetCommState function failed", oserr::kErrGone));
  port.purge();
  port.close();
  EXPECT_EQ(portError([&] { port.open("SIM", 115200); }),
            failed("Unable to open com port", oserr::kErrNoDevice));
}

TEST_F(Board, SpeedZeroIsRefusedAtOpenAndOnTheOpenPort) {
  EXPECT_EQ(portError([&] { port.open("SIM", 0); }),
            failed("SetCommState function failed", oserr::kErrInvalid));
  EXPECT_FALSE(board.bridgeIsOpen());
  open();
  const uint32_t before = board.portBaud();
  EXPECT_EQ(portError([&] { port.setBaudRate(0); }),
            failed("SetCommState function failed", oserr::kErrInvalid));
  EXPECT_EQ(board.portBaud(), before);
}

// A speed change leaves DTR and RTS as they are: neither ends a reset nor spoils the boot strap.
TEST_F(Board, SpeedChangeKeepsRtsHoldingTheChipInReset) {
  open();
  port.setRTS(true);
  port.setDTR(false);
  clock.sleepMs(20);
  ASSERT_EQ(board.mode(), Mode::kReset);
  board.clearRecord();
  port.setBaudRate(460800);
  port.setBaudRate(115200);
  clock.sleepMs(50);  // five times EN's RC delay
  EXPECT_EQ(board.mode(), Mode::kReset);
  EXPECT_TRUE(board.boots().empty());
  EXPECT_TRUE(board.lineChanges().empty());
}

TEST_F(Board, SpeedChangeWhileEnRisesKeepsDtrPullingIo0Low) {
  open();
  port.setRTS(true);
  port.setDTR(false);
  clock.sleepMs(20);
  board.clearRecord();
  port.setDTR(true);
  port.setRTS(false);  // EN rises 10 ms from now and samples IO0, held low by DTR
  clock.sleepMs(2);
  port.setBaudRate(460800);
  clock.sleepMs(20);
  ASSERT_EQ(board.boots().size(), 1u);
  EXPECT_EQ(board.boots()[0].mode, Mode::kLoader);
  EXPECT_EQ(board.lineChanges().size(), 2u);
}

TEST_F(Board, RecordsPortAndChipSpeeds) {
  connect(115200);
  port.purge();
  send(0x0F, words({460800, 0}));
  ASSERT_TRUE(readAnswer().has_value());
  port.setBaudRate(460800);
  port.setRTS(true);  // reset: the chip falls back to 115200
  clock.sleepMs(1);
  std::vector<std::pair<SimSide, uint32_t>> got;
  for (const SimBaudChange& c : board.baudChanges()) got.emplace_back(c.side, c.baud);
  std::vector<std::pair<SimSide, uint32_t>> expected = {{SimSide::kPort, 115200},
                                                        {SimSide::kChip, 460800},
                                                        {SimSide::kPort, 460800},
                                                        {SimSide::kChip, 115200}};
  EXPECT_EQ(got, expected);
}

TEST_F(Board, LargeWritesBlockUntilTheDriverQueueHasRoom) {
  connect();
  Bytes big(5000, 0x55);
  int64_t start = clock.nowUs();
  port.write(big.data(), big.size());
  int64_t took = clock.nowUs() - start;
  // Until all but the queue's 1024 bytes have gone out at ten bit times each.
  EXPECT_NEAR(took, (5000 - 1024) * 10'000'000LL / 115200, 5);
  clock.sleepMs(100);
  start = clock.nowUs();
  port.write(big.data(), 1024);
  EXPECT_EQ(clock.nowUs(), start) << "a write that fits the empty queue returns at once";
}

TEST_F(Board, WorksOnARealTimeClock) {
  clock.setRealTime(true);
  auto wallStart = std::chrono::steady_clock::now();
  open();
  downloadReset(5, 20);
  drain(5);
  send(syncFrame());
  auto a = readAnswer(200);
  ASSERT_TRUE(a.has_value());
  EXPECT_EQ(a->opcode, 0x08);
  EXPECT_GE(std::chrono::steady_clock::now() - wallStart, std::chrono::milliseconds(25));
}

}  // namespace
}  // namespace flintmoor::simtest
