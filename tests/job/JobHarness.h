// Test harness for the flash job: the real serial link, protocol object, connection and job
// against the virtual ESP32 on a virtual clock, with a JobView that records what the user saw.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/Clock.h"
#include "comio/uComIo.h"
#include "esp/Chip.h"
#include "job/Flasher.h"
#include "log/Log.h"
#include "sim/SimSerialDevice.h"
#include "sim/VirtualEsp32.h"
#include "tests/support/RecordingView.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wire.h"

namespace flintmoor::test {

inline constexpr uint8_t kOpFlashBegin = 0x02;
inline constexpr uint8_t kOpFlashData = 0x03;
inline constexpr uint8_t kOpMemBegin = 0x05;
inline constexpr uint8_t kOpMemEnd = 0x06;
inline constexpr uint8_t kOpSync = 0x08;
inline constexpr uint8_t kOpReadReg = 0x0A;
inline constexpr uint8_t kOpSpiSetParams = 0x0B;
inline constexpr uint8_t kOpSpiAttach = 0x0D;
inline constexpr uint8_t kOpChangeBaud = 0x0F;
inline constexpr uint8_t kOpFlashDeflBegin = 0x10;
inline constexpr uint8_t kOpFlashDeflData = 0x11;
inline constexpr uint8_t kOpFlashMd5 = 0x13;
inline constexpr uint8_t kOpEraseFlash = 0xD0;

// A SerialDevice that opens the virtual chip under any port name, standing in for a real port.
// The virtual chip with the flash the chip table gives the chip it plays, as the front ends build
// it.
inline VirtualEsp32Options withChipTableFlash() {
  VirtualEsp32Options options;
  options.flashSize = defaultChip().flash.size;
  return options;
}

class RenamedSimDevice final : public SerialDevice {
 public:
  explicit RenamedSimDevice(VirtualEsp32& board) : inner_(board) {}
  void open(const std::string&, uint32_t baud) override {
    inner_.open(VirtualEsp32::kPortName, baud);
  }
  void close() noexcept override { inner_.close(); }
  void setBaudRate(uint32_t baud) override { inner_.setBaudRate(baud); }
  void setDTR(bool on) override { inner_.setDTR(on); }
  void setRTS(bool on) override { inner_.setRTS(on); }
  void purge() noexcept override { inner_.purge(); }
  size_t write(const uint8_t* data, size_t count) override { return inner_.write(data, count); }
  int readByte(int timeoutMs) override { return inner_.readByte(timeoutMs); }

 private:
  SimSerialDevice inner_;
};

using flintmoor::testing::le32;

// Deterministic bytes for an image, different per seed.
inline std::vector<uint8_t> patternBytes(size_t size, uint32_t seed) {
  std::vector<uint8_t> data(size);
  uint32_t state = seed * 2654435761u + 1;
  for (uint8_t& b : data) {
    state = state * 1103515245u + 12345u;
    b = static_cast<uint8_t>(state >> 16);
  }
  return data;
}

// The virtual clock, keeping every wait that the tool asked for (in ms).
class RecordingClock : public VirtualClock {
 public:
  void sleepUs(int64_t us) override {
    sleepsMs.push_back(us / 1000);
    VirtualClock::sleepUs(us);
  }
  std::vector<int64_t> sleepsMs;
};

// Names the cases of a test run both ways, the parameter being RomOnly.
inline std::string wayName(const ::testing::TestParamInfo<bool>& info) {
  return info.param ? "RomLoader" : "FlasherStub";
}

class JobHarness : public ::testing::Test {
 protected:
  JobHarness() : JobHarness(VirtualEsp32Options{}) {}
  // A virtual chip with other options (its flash size, its flash's id).
  explicit JobHarness(const VirtualEsp32Options& options)
      : chip(clock, options),
        com(
            clock,
            [this](const std::string&) -> std::unique_ptr<SerialDevice> {
              return std::make_unique<RenamedSimDevice>(chip);
            },
            PortLister{}),
        flasher(com, log, view, config) {
    flasher.job.VirtualChip = true;  // the view's port, SIM, is the virtual chip
  }

  // Names are UTF-8, as the job takes them; char8_t keeps them so on Windows too, where a plain
  // string would pass through the 8-bit code page.
  std::string writeFile(const std::string& name, const std::vector<uint8_t>& bytes) {
    const std::filesystem::path path = dir / std::u8string(name.begin(), name.end());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
  }

  static std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream in(std::filesystem::path(std::u8string(path.begin(), path.end())),
                     std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  std::vector<uint8_t> flashAt(uint32_t address, size_t size) const {
    const auto bytes = chip.flash().bytes();
    return {bytes.begin() + address, bytes.begin() + address + size};
  }

  std::vector<SimCommand> commandsOf(uint8_t opcode) const {
    std::vector<SimCommand> out;
    for (const SimCommand& c : chip.commands()) {
      if (c.opcode == opcode) out.push_back(c);
    }
    return out;
  }

  // The FLASH_DATA payload sizes written between the FLASH_BEGIN for `address` and the next one.
  std::vector<uint32_t> blocksWrittenAt(uint32_t address) const {
    std::vector<uint32_t> sizes;
    bool inside = false;
    for (const SimCommand& c : chip.commands()) {
      if (c.opcode == kOpFlashBegin) inside = le32(c.payload, 12) == address;
      if (inside && c.opcode == kOpFlashData) sizes.push_back(le32(c.payload, 0));
    }
    return sizes;
  }

  // The end every job comes to: the chip reset into its application, the port closed, both
  // buttons enabled, the progress bar hidden.
  void expectJobEnded() {
    EXPECT_FALSE(chip.bridgeIsOpen());
    EXPECT_TRUE(view.updateEnabled);
    EXPECT_TRUE(view.eraseEnabled);
    EXPECT_FALSE(view.progressVisible);
    EXPECT_FALSE(job.running());
  }
  void expectChipResetIntoApplication() {
    // The reset pulse: RTS on, DTR off, then both off.
    const auto& lines = chip.lineChanges();
    ASSERT_GE(lines.size(), 4u);
    const SimLineChange* last = &lines[lines.size() - 4];
    EXPECT_EQ(last[0].line, SimLine::kRts);
    EXPECT_TRUE(last[0].asserted);
    EXPECT_EQ(last[1].line, SimLine::kDtr);
    EXPECT_FALSE(last[1].asserted);
    EXPECT_EQ(last[2].line, SimLine::kRts);
    EXPECT_FALSE(last[2].asserted);
    EXPECT_EQ(last[3].line, SimLine::kDtr);
    EXPECT_FALSE(last[3].asserted);
    clock.advanceTo(clock.nowUs() + 1'000'000);
    ASSERT_FALSE(chip.boots().empty());
    EXPECT_EQ(chip.boots().back().mode, VirtualEsp32::Mode::kApplication);
  }
  void expectFailedWith(const std::string& message) {
    ASSERT_EQ(view.dialogs.size(), 1u);
    const Dialog& d = view.dialogs.back();
    EXPECT_EQ(d.text, message);
    EXPECT_EQ(d.type, mtError);
    EXPECT_EQ(d.caption, "Error");
    EXPECT_EQ(d.buttons, msgBut(mbClose));
    EXPECT_TRUE(d.beep);
    EXPECT_EQ(view.status, "Error");
  }

  // The job then never raises the line speed, so a failure ends it at once: there is no slower
  // speed to try again at.
  void stayAtConnectSpeed() { config.FastBaud = config.ConnBaud; }

  std::array<std::string, 3> sampleImages(size_t appSize = 70000) {
    std::vector<uint8_t> boot = patternBytes(16384, 1);
    boot[0] = 0xE9;
    boot[1] = 0x03;
    boot[2] = 0x00;
    boot[3] = 0x4F;
    return {writeFile("boot.bin", boot), writeFile("part.bin", patternBytes(3072, 2)),
            writeFile("app.bin", patternBytes(appSize, 3))};
  }

  RecordingClock clock;
  VirtualEsp32 chip{clock, withChipTableFlash()};
  MemoryLog log;
  TConfig config;
  RecordingView view;
  TComIo com;
  Flasher flasher;
  TEsp& esp = flasher.esp;
  TComEsp& comEsp = flasher.connection;
  FlashJob& job = flasher.job;
  flintmoor::testing::TempDir scratch;
  const std::filesystem::path& dir = scratch.path();
};

}  // namespace flintmoor::test
