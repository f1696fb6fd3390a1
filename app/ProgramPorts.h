// The serial ports the window program offers: the system's, and with --simulate also "SIM", a
// virtual ESP32 that lives as long as this object. The window's sources see only this header.
#pragma once

#include <memory>

#include "comio/PortInfo.h"
#include "comio/SerialDevice.h"

namespace flintmoor {

class VirtualClock;
class VirtualEsp32;

class ProgramPorts {
 public:
  ProgramPorts(VirtualClock& clock, bool simulate);
  ~ProgramPorts();
  ProgramPorts(const ProgramPorts&) = delete;
  ProgramPorts& operator=(const ProgramPorts&) = delete;

  // "SIM" opens the virtual chip (with --simulate); every other name a system port.
  SerialDeviceFactory factory();
  // The system's ports, then "SIM" (with --simulate).
  PortLister lister();
  // The same ports with what the system knows of their devices; "SIM" comes without identity.
  PortInfoLister infoLister();
  // The virtual chip, nullptr without --simulate.
  VirtualEsp32* board() { return board_.get(); }

 private:
  std::unique_ptr<VirtualEsp32> board_;
};

}  // namespace flintmoor
