// The flash chip's JEDEC id, read with READ_REG and WRITE_REG on the SPI1 controller (the same
// sequence works with the ROM loader and with the flasher stub), and the size it names.
#pragma once

#include <cstdint>

namespace flintmoor {

class TEsp;

// Runs the flash's read-id command (0x9F) as a user command of SPI1 and restores the controller's
// registers. The 24-bit id: manufacturer in bits 7..0, memory type 15..8, capacity code 23..16;
// 0xFFFFFF when the controller never finished. Raises what READ_REG and WRITE_REG raise.
uint32_t readFlashJedecId(TEsp& esp);

// The size a JEDEC id names: 2^capacity bytes for capacity codes 0x12..0x18 (256 KiB..16 MiB);
// 0 when no flash answered (0x000000, 0xFFFFFF) or the code is not one of those.
uint32_t flashSizeOfJedecId(uint32_t id);

}  // namespace flintmoor
