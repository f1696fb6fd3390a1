// The loader commands as table rows: opcode, payload layout, time-out rule and which answers count
// as good. One place says what a good answer to each command is.
#pragma once

#include <cstdint>

namespace flintmoor {

// Opcodes of the bootloader and stub protocol.
constexpr uint8_t kFlashBegin = 0x02;
constexpr uint8_t kFlashData = 0x03;
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

// Which answers a command takes.
enum class Accept : uint8_t {
  kStatusZero,  // a frame answering the opcode, long enough for the status byte, and it is 0
  kAnyFrame,    // any frame answering the opcode (the command reads the rest itself, or not at all)
};

// How long a command waits for its answer, in milliseconds: baseMs, plus perUnitMs for every
// started unit of the amount the command works on (bytes erased, hashed or inflated).
enum class TimeoutRule : uint8_t {
  kFixed,       // baseMs
  kPer64KiB,    // the chip erases before it answers
  kPerMiB,      // the chip hashes flash before it answers
  kPerKiB,      // the chip inflates and writes before it answers
  kGivenByChip  // the stub upload's time-outs come from the chip's row (ChipDescription::stub)
};

struct CommandRule {
  const char* name;
  uint8_t opcode;
  uint8_t words;  // 32-bit words at the start of the payload
  bool data;      // raw bytes follow the words
  Accept accept;
  TimeoutRule timeout;
  int32_t baseMs;
  int32_t perUnitMs;

  // The answer time-out for a command working on `amount` bytes.
  constexpr int32_t timeoutMs(uint64_t amount = 0) const {
    uint64_t unit = 0;
    switch (timeout) {
      case TimeoutRule::kPer64KiB:
        unit = 0x10000;
        break;
      case TimeoutRule::kPerMiB:
        unit = 0x100000;
        break;
      case TimeoutRule::kPerKiB:
        unit = 0x400;
        break;
      default:
        return baseMs;
    }
    return int32_t(int64_t(baseMs) + int64_t(perUnitMs) * int64_t((amount + unit - 1) / unit));
  }
};

namespace command {

using enum Accept;
using enum TimeoutRule;

// The SYNC frame's payload is fixed (07 07 12 20, 32 x 55) and so is its checksum field.
inline constexpr CommandRule kSyncRule = {"SYNC", kSync, 0, true, kAnyFrame, kFixed, 200, 0};
inline constexpr uint32_t kSyncChecksumField = 0x003A0178;

inline constexpr CommandRule kReadRegRule = {"READ_REG",  kReadReg, 1,   false,
                                             kStatusZero, kFixed,   300, 0};
// Address, value, mask, delay.
inline constexpr CommandRule kWriteRegRule = {"WRITE_REG", kWriteReg, 4,   false,
                                              kStatusZero, kFixed,    300, 0};
// New speed, old speed.
inline constexpr CommandRule kChangeBaudRule = {"CHANGE_BAUDRATE", kChangeBaudrate, 2,   false,
                                                kStatusZero,       kFixed,          200, 0};
// The stub's form: one zero word; the ROM's: two.
inline constexpr CommandRule kSpiAttachStubRule = {"SPI_ATTACH", kSpiAttach, 1,   false,
                                                   kStatusZero,  kFixed,     100, 0};
inline constexpr CommandRule kSpiAttachRomRule = {"SPI_ATTACH", kSpiAttach, 2,   false,
                                                  kStatusZero,  kFixed,     100, 0};
// Flash id, total size, block, sector, page, status mask.
inline constexpr CommandRule kSpiSetParamsRule = {"SPI_SET_PARAMS", kSpiSetParams, 6,   false,
                                                  kStatusZero,      kFixed,        100, 0};
inline constexpr CommandRule kEraseFlashRule = {"ERASE_FLASH", kEraseFlash, 0,     false,
                                                kStatusZero,   kFixed,      20000, 0};
// Erase size, blocks, block size, offset. The stub takes any answer as begun; the ROM erases the
// region before it answers.
inline constexpr CommandRule kFlashBeginStubRule = {"FLASH_BEGIN", kFlashBegin, 4,    false,
                                                    kAnyFrame,     kFixed,      5000, 0};
inline constexpr CommandRule kFlashBeginRomRule = {"FLASH_BEGIN", kFlashBegin, 4,    false,
                                                   kStatusZero,   kPer64KiB,   5000, 2000};
inline constexpr CommandRule kFlashDeflBeginRule = {
    "FLASH_DEFL_BEGIN", kFlashDeflBegin, 4, false, kStatusZero, kPer64KiB, 5000, 2000};
// Size, sequence, two zero words, the block.
inline constexpr CommandRule kFlashDataRule = {"FLASH_DATA", kFlashData, 4,    true,
                                               kStatusZero,  kFixed,     2000, 0};
inline constexpr CommandRule kFlashDeflDataRule = {"FLASH_DEFL_DATA", kFlashDeflData, 4,    true,
                                                   kStatusZero,       kPerKiB,        2000, 10};
// The flasher stub's end of a compressed write: the flag (1 stays in the stub). It answers once the
// writes still in progress are done (at most a 64 KiB block erased and written).
inline constexpr CommandRule kFlashDeflEndRule = {"FLASH_DEFL_END", kFlashDeflEnd, 1,    false,
                                                  kStatusZero,      kFixed,        5000, 0};
// Address, size: the stub erases before it answers.
inline constexpr CommandRule kEraseRegionRule = {"ERASE_REGION", kEraseRegion, 2,    false,
                                                 kStatusZero,    kPer64KiB,    5000, 2000};
// Address, length, packet size, packets in flight: the answer comes first, the data after it.
inline constexpr CommandRule kReadFlashRule = {"READ_FLASH", kReadFlash, 4,    false,
                                               kStatusZero,  kFixed,     3000, 0};
// Address, size, two zero words. The ROM answers 32 hex digits, the stub 16 raw bytes.
inline constexpr CommandRule kFlashMd5Rule = {"SPI_FLASH_MD5", kSpiFlashMd5, 4,    false,
                                              kAnyFrame,       kPerMiB,      5000, 2000};
// Address, size: the bytes come back, then four status bytes.
inline constexpr CommandRule kReadFlashSlowRule = {"READ_FLASH_SLOW", kReadFlashSlow, 2,   false,
                                                   kAnyFrame,         kFixed,         100, 0};
// The stub upload: size, blocks, block size, address; size, sequence, 0, 0, the block; the
// "no run" flag and the entry point. Each must be answered with status 0: a damaged block must
// never be followed by a jump into the half-loaded image.
inline constexpr CommandRule kMemBeginRule = {"MEM_BEGIN", kMemBegin,    4, false,
                                              kStatusZero, kGivenByChip, 0, 0};
inline constexpr CommandRule kMemDataRule = {"MEM_DATA",  kMemData,     4, true,
                                             kStatusZero, kGivenByChip, 0, 0};
inline constexpr CommandRule kMemEndRule = {"MEM_END",   kMemEnd,      2, false,
                                            kStatusZero, kGivenByChip, 0, 0};

}  // namespace command

}  // namespace flintmoor
