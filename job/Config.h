// The connection settings (the chip kind TController comes from the chip table).
#pragma once

#include <cstdint>

#include "esp/Chip.h"

namespace flintmoor {

struct TConfig {
  uint32_t ConnBaud = 115200;  // bit/s, the speed the ROM loader is found at
  uint32_t FastBaud = 921600;  // bit/s, the speed the job raises the line to
  bool FastFirst = true;
  // The reset pulse, in milliseconds: EN held low, then the boot-mode line held after its
  // release; the slow pair for boards whose EN rises slowly.
  uint32_t SlowLow = 1400;
  uint32_t SlowHigh = 500;
  uint32_t FastLow = 150;
  uint32_t FastHigh = 100;
  bool DoBeep = true;
};

}  // namespace flintmoor
