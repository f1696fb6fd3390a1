// Reads a tty's line settings through the kernel's termios2 interface, kept apart because the
// kernel's termios headers clash with <termios.h>, which the pseudo-terminal calls bring in.
#pragma once

#include <cstdint>

namespace flintmoor::probe {

struct LineSettings {
  uint32_t inputSpeed = 0;
  uint32_t outputSpeed = 0;
  bool customSpeed = false;  // BOTHER: the speeds are plain integers
  bool eightBits = false;
  bool parity = false;
  bool twoStopBits = false;
  bool hardwareFlow = false;
  bool softwareFlow = false;  // IXON, IXOFF or IXANY
  bool receiverOn = false;
  bool ignoresModemStatus = false;  // CLOCAL
  bool translatesInput = false;     // CR/NL mapping, stripping, parity marking, break signals
  bool processesOutput = false;
  bool lineEditingOrEcho = false;  // ICANON, ECHO, ISIG, IEXTEN
};

// False when the settings cannot be read.
bool readLineSettings(int fd, LineSettings& out);

}  // namespace flintmoor::probe
