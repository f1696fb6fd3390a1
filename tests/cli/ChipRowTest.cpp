// A chip added to the family as one row of the chip table: the connection names it and reads its
// MAC where the row says, and the command line checks addresses against the row's flash size.
#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "cli/CliArgs.h"
#include "comio/uComIo.h"
#include "esp/Chip.h"
#include "esp/uEsp.h"
#include "job/ComEsp.h"
#include "log/Log.h"
#include "sim/SimSerialDevice.h"
#include "sim/VirtualEsp32.h"

namespace flintmoor::test {
namespace {

// A made-up member of the family: its own id, its MAC elsewhere, 16 MiB of flash.
constexpr uint32_t kMadeUpId = 0x0C0FFEE5;
constexpr uint32_t kMadeUpMacLow = 0x60008044;
constexpr uint32_t kMadeUpMacHigh = 0x60008048;

ChipDescription madeUpChip() {
  ChipDescription row = defaultChip();
  row.cpu = cNONE;
  row.name = "ESP32-Q9";
  row.idValue = kMadeUpId;
  row.macLowRegister = kMadeUpMacLow;
  row.macHighRegister = kMadeUpMacHigh;
  row.macHighFirst = true;
  row.flash.size = 16u << 20;
  row.largestFlash = 32u << 20;
  return row;
}

VirtualEsp32Options madeUpBoard() {
  VirtualEsp32Options options;
  options.registers = {
      {kChipIdRegister, kMadeUpId}, {kMadeUpMacLow, 0xA1B2C3D4}, {kMadeUpMacHigh, 0x0000240A}};
  return options;
}

class MadeUpChip : public ::testing::Test {
 protected:
  MadeUpChip()
      : com(
            clock,
            [this](const std::string&) -> std::unique_ptr<SerialDevice> {
              return std::make_unique<SimSerialDevice>(board);
            },
            PortLister{}) {}

  std::vector<uint32_t> registersRead() const {
    std::vector<uint32_t> addresses;
    for (const SimCommand& c : board.commands()) {
      if (c.opcode == 0x0A && c.payload.size() >= 4) {
        addresses.push_back(uint32_t(c.payload[0]) | uint32_t(c.payload[1]) << 8 |
                            uint32_t(c.payload[2]) << 16 | uint32_t(c.payload[3]) << 24);
      }
    }
    return addresses;
  }

  VirtualClock clock;
  VirtualEsp32 board{clock, madeUpBoard()};
  MemoryLog log;
  TConfig config;
  TComIo com;
  TEsp esp{com, log};
  const std::array<ChipDescription, 2> table = {defaultChip(), madeUpChip()};
};

TEST_F(MadeUpChip, TheConnectionNamesItsRowAndReadsItsMacWhereTheRowSays) {
  TComEsp connection(com, esp, log, config, table);
  ASSERT_TRUE(connection.DoConnect(VirtualEsp32::kPortName, [](const std::string&) {}));
  com.ComFlush();
  const ChipDescription* chip = connection.identify();
  ASSERT_EQ(chip, &table[1]);
  EXPECT_EQ(std::string(chip->name), "ESP32-Q9");
  EXPECT_EQ(connection.readMac(*chip), "24:0A:A1:B2:C3:D4");
  EXPECT_EQ(registersRead(),
            (std::vector<uint32_t>{kChipIdRegister, kMadeUpMacHigh, kMadeUpMacLow}));

  // The built-in table alone does not know it.
  TComEsp builtIn(com, esp, log, config);
  std::string name = "stale";
  EXPECT_EQ(builtIn.identifyChip(name), cNONE);
  EXPECT_EQ(name, "");
}

TEST(MadeUpChipAddresses, TheCommandLineChecksAgainstTheRowsLargestFlash) {
  // Before connecting the flash's own size is unknown: addresses are checked against the largest
  // flash the row's chip addresses, and the job checks again against the detected size.
  const ChipDescription chip = madeUpChip();
  const std::vector<std::string> high = {"erase-region", "0x1F00000", "0x1000"};
  const CliOptions o = parseCliArgs(high, chip);
  EXPECT_EQ(o.address, 0x1F00000u);
  EXPECT_EQ(o.size, 0x1000u);
  try {
    parseCliArgs(high);
    FAIL() << "the ESP32 addresses no flash past 16 MB";
  } catch (const UsageError& e) {
    EXPECT_EQ(std::string(e.what()),
              "erase-region: 0x1F00000 + 0x1000 lies outside the 16 MB "
              "flash (it ends at 0x1000000)");
  }
  EXPECT_EQ(parseCliArgs({"erase-region", "0xF00000", "0x1000"}).address, 0xF00000u)
      << "a 16 MB ESP32 board";
  try {
    parseCliArgs({"read", "0x1FFF000", "0x2000", "out.bin"}, chip);
    FAIL() << "past the end of the 32 MB flash";
  } catch (const UsageError& e) {
    EXPECT_EQ(std::string(e.what()),
              "read: 0x1FFF000 + 0x2000 lies outside the 32 MB flash (it ends at 0x2000000)");
  }
}

}  // namespace
}  // namespace flintmoor::test
