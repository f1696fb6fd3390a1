// The virtual ESP32's SPI flash array.
#include "sim/SimFlash.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "base/Error.h"
#include "base/Md5.h"

namespace flintmoor {

SimFlash::SimFlash(uint32_t size) {
  if (size < (1u << 20) || size > (16u << 20) || (size & (size - 1)) != 0) {
    throw Exception("Unsupported flash size " + std::to_string(size));
  }
  data_.assign(size, 0xFF);
}

uint32_t SimFlash::jedecId() const {
  uint32_t capacity = static_cast<uint32_t>(std::countr_zero(size()));
  return kManufacturer | uint32_t{kMemoryType} << 8 | capacity << 16;
}

bool SimFlash::contains(uint32_t addr, uint32_t len) {
  return addr <= kSize && len <= kSize - addr;
}

uint32_t SimFlash::sectorsCovering(uint32_t addr, uint32_t len) {
  if (len == 0) return 0;
  uint64_t first = addr / kSectorSize;
  uint64_t last = (uint64_t{addr} + len - 1) / kSectorSize;
  return static_cast<uint32_t>(last - first + 1);
}

uint32_t SimFlash::pagesCovering(uint32_t addr, uint32_t len) {
  if (len == 0) return 0;
  uint64_t first = addr / kPageSize;
  uint64_t last = (uint64_t{addr} + len - 1) / kPageSize;
  return static_cast<uint32_t>(last - first + 1);
}

uint32_t SimFlash::blankSectorsIn(uint32_t addr, uint32_t len) const {
  if (len == 0) return 0;
  uint32_t blank = 0;
  uint64_t end = uint64_t{addr} + len;
  for (uint64_t s = addr / kSectorSize * kSectorSize; s < end; s += kSectorSize) {
    auto from = data_.begin() + static_cast<ptrdiff_t>(s);
    blank += std::all_of(from, from + kSectorSize, [](uint8_t b) { return b == 0xFF; }) ? 1 : 0;
  }
  return blank;
}

void SimFlash::eraseSectors(uint32_t addr, uint32_t len) {
  if (len == 0) return;
  uint32_t begin = addr / kSectorSize * kSectorSize;
  uint64_t end = (uint64_t{addr} + len + kSectorSize - 1) / kSectorSize * kSectorSize;
  std::fill(data_.begin() + begin, data_.begin() + static_cast<ptrdiff_t>(end), 0xFF);
}

bool SimFlash::blockIsBlank(uint32_t addr) const {
  auto from = data_.begin() + addr;
  return std::all_of(from, from + kBlockSize, [](uint8_t b) { return b == 0xFF; });
}

void SimFlash::eraseAll() {
  std::fill(data_.begin(), data_.end(), 0xFF);
}

bool SimFlash::isBlank() const {
  return std::all_of(data_.begin(), data_.end(), [](uint8_t b) { return b == 0xFF; });
}

void SimFlash::program(uint32_t addr, std::span<const uint8_t> data) {
  for (size_t i = 0; i < data.size(); ++i) data_[addr + i] &= data[i];
}

std::array<uint8_t, 16> SimFlash::md5(uint32_t addr, uint32_t len) const {
  return flintmoor::md5({data_.data() + addr, len});
}

void SimFlash::load(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw Exception("Cannot read flash image " + path + ": " + std::strerror(errno));
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
  if (in.bad()) throw Exception("Cannot read flash image " + path);
  if (bytes.size() > size()) {
    throw Exception("Flash image " + path + " is larger than " + std::to_string(size()) + " bytes");
  }
  eraseAll();
  std::copy(bytes.begin(), bytes.end(), data_.begin());
}

void SimFlash::save(const std::string& path) const {
  std::string temp = path + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data_.data()), static_cast<std::streamsize>(size()));
    out.close();
    if (!out) {
      std::error_code ignored;
      std::filesystem::remove(temp, ignored);
      throw Exception("Cannot write flash image " + path);
    }
  }
  std::error_code ec;
  std::filesystem::rename(temp, path, ec);
  if (ec) {
    std::filesystem::remove(temp, ec);
    throw Exception("Cannot write flash image " + path + ": " + ec.message());
  }
}

}  // namespace flintmoor
