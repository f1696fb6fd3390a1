// The virtual chip's own table of request opcodes, written apart from the tool's so that a wrong
// number on one side cannot hide behind the same number on the other.
#pragma once

#include <cstdint>
#include <span>

namespace flintmoor::simop {

constexpr uint8_t kFlashBegin = 0x02;
constexpr uint8_t kFlashData = 0x03;
constexpr uint8_t kFlashEnd = 0x04;
constexpr uint8_t kMemBegin = 0x05;
constexpr uint8_t kMemEnd = 0x06;
constexpr uint8_t kMemData = 0x07;
constexpr uint8_t kSync = 0x08;
constexpr uint8_t kWriteReg = 0x09;
constexpr uint8_t kReadReg = 0x0A;
constexpr uint8_t kSpiSetParams = 0x0B;
constexpr uint8_t kSpiAttach = 0x0D;
constexpr uint8_t kReadFlashSlow = 0x0E;
constexpr uint8_t kChangeBaudrate = 0x0F;
constexpr uint8_t kFlashDeflBegin = 0x10;
constexpr uint8_t kFlashDeflData = 0x11;
constexpr uint8_t kFlashDeflEnd = 0x12;
constexpr uint8_t kSpiFlashMd5 = 0x13;
constexpr uint8_t kEraseFlash = 0xD0;
constexpr uint8_t kEraseRegion = 0xD1;
constexpr uint8_t kReadFlash = 0xD2;

// The *_DATA commands carry 0xEF XOR their data bytes.
inline uint32_t dataChecksum(std::span<const uint8_t> data) {
  uint8_t sum = 0xEF;
  for (uint8_t b : data) sum ^= b;
  return sum;
}

inline int64_t perKiB(uint32_t size, int64_t us) {
  return (int64_t{size} + 1023) / 1024 * us;
}

}  // namespace flintmoor::simop
