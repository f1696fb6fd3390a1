// The operating system's serial backend (target flintmoor_platform): the device for a real port
// and the list of the system's serial ports. This header includes no OS header.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "comio/PortInfo.h"
#include "comio/SerialDevice.h"

namespace flintmoor {

// A closed device for the system's serial ports (POSIX termios or the Win32 communications calls),
// following the SerialDevice contract.
std::unique_ptr<SerialDevice> makeOsSerialDevice();

// The names of the system's serial ports, unsorted: "/dev/ttyUSB0" style paths on Linux, "COM3"
// style names on Windows. Raises Exception when the system keeps no port list at all (the
// registry key "HARDWARE\DEVICEMAP\SERIALCOMM" or the tty class directory is absent), which
// TComIo::ListComPorts takes as "leave the list as it was".
std::vector<std::string> listOsPorts();

// The same ports, unsorted, each with the identity of the USB device behind it when there is one
// (see PortInfo); a port whose identity cannot be read comes without it. Raises as listOsPorts.
// On Windows the names come from the same registry list, the identity from the device properties
// of the ports class.
std::vector<PortInfo> listOsPortInfo();

#ifdef __linux__
// The same, read from a sysfs tree mounted at `sysfsRoot` ("/sys" for the running system): the
// entries of <root>/class/tty with a `device` link, without the legacy ttyS entries that the
// 8250 driver registers for UARTs that are not there.
std::vector<std::string> listOsPorts(const std::string& sysfsRoot);
// The same ports with their identity: the USB device (idVendor, idProduct, serial, manufacturer,
// product) and interface (bInterfaceNumber) found walking up from the entry's device.
std::vector<PortInfo> listOsPortInfo(const std::string& sysfsRoot);
#endif

}  // namespace flintmoor
