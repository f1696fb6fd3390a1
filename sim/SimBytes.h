// Little-endian fields of the virtual chip's wire format and flash structures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace flintmoor::simbytes {

inline uint16_t le16(std::span<const uint8_t> b, size_t at) {
  return static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}

inline uint32_t le32(std::span<const uint8_t> b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

}  // namespace flintmoor::simbytes
