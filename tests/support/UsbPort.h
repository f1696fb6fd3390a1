// A port with a USB device behind it, as the port listers report one, for the tests of the port
// list, the window's port names and the command line's choice of ports.
#pragma once

#include <cstdint>
#include <string>

#include "comio/PortInfo.h"

namespace flintmoor::testing {

inline PortInfo usbPort(const std::string& name, uint16_t vid, uint16_t pid,
                        const std::string& serial, const std::string& manufacturer = "",
                        const std::string& product = "") {
  PortInfo port;
  port.name = name;
  port.usb = true;
  port.vid = vid;
  port.pid = pid;
  port.serial = serial;
  port.manufacturer = manufacturer;
  port.product = product;
  return port;
}

}  // namespace flintmoor::testing
