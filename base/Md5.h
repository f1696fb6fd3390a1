// MD5 digest of a block of bytes, from the system's library: libmd on Linux, the Windows
// cryptography API (CNG) on Windows. Used to verify what was written into flash.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace flintmoor {

std::array<uint8_t, 16> md5(std::span<const uint8_t> data);

}  // namespace flintmoor
