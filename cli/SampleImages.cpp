// flintmoor-samples: writes three sample images of our own (a bootloader, a partition table and an
// application, deterministic content) and checks that a saved flash of the virtual chip holds
// them at their addresses. `make run` uses it around an update of the virtual chip.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

namespace {

struct Sample {
  const char* file;
  uint32_t address;
  size_t size;
  uint32_t seed;
};

constexpr Sample kSamples[] = {
    {"bootloader.bin", 0x1000, 16384, 0x1u},
    {"partitions.bin", 0x8000, 3072, 0x2u},
    {"application.bin", 0x10000, 70000, 0x3u},
};

// Deterministic filler (a 32-bit linear congruential generator), so every run writes the same
// bytes and a misplaced block cannot match by accident.
std::vector<uint8_t> makeImage(const Sample& s) {
  std::vector<uint8_t> data(s.size);
  uint32_t state = s.seed;
  for (uint8_t& b : data) {
    state = state * 1664525u + 1013904223u;
    b = static_cast<uint8_t>(state >> 24);
  }
  if (s.address == 0x1000) {
    // An image header whose flash mode and size/frequency bytes the job rewrites.
    data[0] = 0xE9;
    data[1] = 0x03;
    data[2] = 0x00;
    data[3] = 0x4F;
  }
  return data;
}

int make(const std::filesystem::path& dir) {
  std::filesystem::create_directories(dir);
  for (const Sample& s : kSamples) {
    const std::vector<uint8_t> data = makeImage(s);
    std::ofstream out(dir / s.file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()),
              static_cast<std::streamsize>(data.size()));
    if (!out) {
      std::cerr << "cannot write " << (dir / s.file).string() << '\n';
      return 1;
    }
    std::cout << (dir / s.file).string() << " (" << data.size() << " bytes)\n";
  }
  return 0;
}

int check(const std::filesystem::path& flashFile) {
  std::ifstream in(flashFile, std::ios::binary);
  if (!in) {
    std::cerr << "cannot read " << flashFile.string() << '\n';
    return 1;
  }
  const std::vector<uint8_t> flash((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
  int failures = 0;
  for (const Sample& s : kSamples) {
    std::vector<uint8_t> expected = makeImage(s);
    if (s.address == 0x1000) {
      expected[2] = 0x02;
      expected[3] = 0x20;
    }
    const bool fits = flash.size() >= s.address + expected.size();
    const bool same =
        fits && std::equal(expected.begin(), expected.end(), flash.begin() + s.address);
    char address[16];
    std::snprintf(address, sizeof address, "0x%05X", s.address);
    std::cout << (same ? "ok      " : "MISSING ") << s.file << " at " << address << " ("
              << expected.size() << " bytes" << (s.address == 0x1000 ? ", header patched" : "")
              << ")\n";
    if (!same) ++failures;
  }
  std::cout << (failures == 0 ? "The flash holds all three images." : "The flash is wrong.")
            << '\n';
  return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc == 3 ? argv[1] : "";
  if (mode == "make") return make(argv[2]);
  if (mode == "check") return check(argv[2]);
  std::cerr << "usage: flintmoor-samples make DIR\n"
               "       flintmoor-samples check FLASH_FILE\n";
  return 2;
}
