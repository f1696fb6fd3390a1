// Shared types of the application: the chip kind and the connection settings.
#pragma once

#include <cstdint>

namespace flintmoor {

enum TController { cNONE, cESP32, cESP32S2 };

struct TConfig {
  uint32_t ConnBaud = 115200;
  uint32_t FastBaud = 921600;
  bool FastFirst = true;
  uint32_t SlowLow = 1400;
  uint32_t SlowHigh = 500;
  uint32_t FastLow = 150;
  uint32_t FastHigh = 100;
  bool DoBeep = true;
};

}  // namespace flintmoor
