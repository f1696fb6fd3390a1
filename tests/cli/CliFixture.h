// The command-line tool run in-process against the virtual ESP32: its streams, a scratch folder
// for images and flash files, and a platform whose real ports the test chooses.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "cli/CliApp.h"
#include "tests/support/TempDir.h"

namespace flintmoor::test {

inline std::vector<uint8_t> pattern(size_t size, uint8_t seed) {
  std::vector<uint8_t> data(size);
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(i * 7 + seed + i / 251);
  return data;
}

inline std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class Cli : public ::testing::Test {
 protected:
  Cli() {
    platform.exeDir = dir.string();
    platform.osPorts = [this] { return osPorts; };
    platform.osDevice = [](const std::string&) -> std::unique_ptr<SerialDevice> {
      ADD_FAILURE() << "a real port was opened";
      return nullptr;
    };
  }
  int run(std::vector<std::string> args, const std::string& input = "", bool terminal = false) {
    std::istringstream in(input);
    out.str("");
    err.str("");
    const CliStreams streams{in, out, err, terminal};
    return runCli(args, streams, platform);
  }

  std::string write(const std::string& name, const std::vector<uint8_t>& bytes) {
    const auto path = dir / name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return path.string();
  }
  std::vector<uint8_t> read(const std::string& path) const {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  // Bootloader (with the image header's magic byte), partition table, application.
  std::vector<std::string> images(size_t partSize = 3072) {
    std::vector<uint8_t> boot = pattern(12288, 1);
    boot[0] = 0xE9;
    boot[2] = 0x00;
    boot[3] = 0x4F;
    return {write("boot.bin", boot), write("part.bin", pattern(partSize, 2)),
            write("app.bin", pattern(66000, 3))};
  }

  std::string flashFile() const { return (dir / "flash.bin").string(); }
  std::vector<std::string> updateArgs(const std::vector<std::string>& files) const {
    return {"--port", "SIM", "--sim-flash", flashFile(), "update", files[0], files[1], files[2]};
  }

  flintmoor::testing::TempDir scratch;
  const std::filesystem::path& dir = scratch.path();
  std::vector<std::string> osPorts;
  CliPlatform platform;
  std::ostringstream out;
  std::ostringstream err;
};

}  // namespace flintmoor::test
