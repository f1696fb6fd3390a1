// The window program's ports: system ports and the virtual ESP32.
#include "app/ProgramPorts.h"

#include <string>
#include <vector>

#include "base/Error.h"
#include "comio/Platform.h"
#include "esp/Chip.h"
#include "sim/SimSerialDevice.h"
#include "sim/VirtualEsp32.h"

namespace flintmoor {

ProgramPorts::ProgramPorts(VirtualClock& clock, bool simulate) {
  if (!simulate) return;
  // The virtual chip carries the flash the chip table gives the chip it plays.
  VirtualEsp32Options options;
  options.flashSize = defaultChip().flash.size;
  board_ = std::make_unique<VirtualEsp32>(clock, options);
}

ProgramPorts::~ProgramPorts() = default;

SerialDeviceFactory ProgramPorts::factory() {
  return [this](const std::string& name) -> std::unique_ptr<SerialDevice> {
    if (board_ && name == VirtualEsp32::kPortName)
      return std::make_unique<SimSerialDevice>(*board_);
    return makeOsSerialDevice();
  };
}

PortLister ProgramPorts::lister() {
  return [this] {
    std::vector<std::string> names;
    try {
      names = listOsPorts();
    } catch (const Exception&) {
      // The system keeps no port list: without the virtual port the list stays as it was.
      if (!board_) throw;
    }
    if (board_) names.push_back(VirtualEsp32::kPortName);
    return names;
  };
}

PortInfoLister ProgramPorts::infoLister() {
  return [this] {
    std::vector<PortInfo> ports;
    try {
      ports = listOsPortInfo();
    } catch (const Exception&) {
      if (!board_) throw;
    }
    if (board_) {
      PortInfo sim;
      sim.name = VirtualEsp32::kPortName;
      ports.push_back(sim);
    }
    return ports;
  };
}

}  // namespace flintmoor
