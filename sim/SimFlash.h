// The virtual ESP32's SPI flash: 4, 8 or 16 MiB of NOR flash (erased = 0xFF, programming only
// clears bits), erased by 4 KiB sectors, 64 KiB blocks or as a whole, with an MD5 of any region, a
// file image and the JEDEC id the chip answers to its read-id command (0x9F).
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace flintmoor {

class SimFlash {
 public:
  static constexpr uint32_t kSize = 4u << 20;  // the usual part, and the default
  static constexpr uint32_t kSectorSize = 4096;
  static constexpr uint32_t kBlockSize = 65536;
  static constexpr uint32_t kPageSize = 256;
  static constexpr uint8_t kManufacturer = 0xC8;
  static constexpr uint8_t kMemoryType = 0x40;

  // Erased; `size` is a power of two from 1 MiB to 16 MiB (else raises Exception).
  explicit SimFlash(uint32_t size = kSize);

  uint32_t size() const { return static_cast<uint32_t>(data_.size()); }
  // Manufacturer in bits 7..0, memory type 15..8, capacity code log2(size) 23..16.
  uint32_t jedecId() const;

  std::span<uint8_t> bytes() { return data_; }
  std::span<const uint8_t> bytes() const { return data_; }

  // True when [addr, addr + len) lies inside a flash of kSize bytes (no wrap-around).
  static bool contains(uint32_t addr, uint32_t len);
  // True when [addr, addr + len) lies inside this flash (no wrap-around).
  bool holds(uint32_t addr, uint32_t len) const { return addr <= size() && len <= size() - addr; }
  // Number of sectors touched by [addr, addr + len).
  static uint32_t sectorsCovering(uint32_t addr, uint32_t len);
  // Number of 256-byte pages touched by [addr, addr + len).
  static uint32_t pagesCovering(uint32_t addr, uint32_t len);
  // Number of the sectors touched by [addr, addr + len) that are all 0xFF (a blank sector erases
  // faster). The region must lie inside the flash.
  uint32_t blankSectorsIn(uint32_t addr, uint32_t len) const;

  // Erases every sector touched by [addr, addr + len), which must lie inside the flash.
  void eraseSectors(uint32_t addr, uint32_t len);
  // True when the 64 KiB block at `addr` (aligned) is all 0xFF.
  bool blockIsBlank(uint32_t addr) const;
  void eraseAll();
  bool isBlank() const;
  // NOR programming: each byte becomes old AND new. The region must lie inside the flash.
  void program(uint32_t addr, std::span<const uint8_t> data);

  std::array<uint8_t, 16> md5(uint32_t addr, uint32_t len) const;

  // Loads a file of at most size() bytes; the rest of the flash is erased. Raises Exception.
  void load(const std::string& path);
  // Writes the whole flash to a file (through a temporary file renamed over it). Raises Exception.
  void save(const std::string& path) const;

 private:
  std::vector<uint8_t> data_;
};

}  // namespace flintmoor
