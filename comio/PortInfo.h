// A serial port with what the system knows of the device behind it (USB identity, maker, product),
// the "usb:VID:PID[:SERIAL]" choice of a port by that identity, the short names and details the
// window shows, and the reading of the Windows device identifiers. Pure text work: no OS headers.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace flintmoor {

struct PortInfo {
  std::string name;  // as the port is opened: "/dev/ttyUSB0", "COM5", "SIM"
  bool usb = false;  // a USB device is behind it; the fields below are then its identity
  uint16_t vid = 0;
  uint16_t pid = 0;
  std::string serial;        // empty when the device reports none
  std::string manufacturer;  // the device's own strings, empty when unknown
  std::string product;
  int interfaceNumber = -1;  // the USB interface that provides the port; -1 when unknown

  // "Silicon Labs CP2102N USB to UART Bridge Controller": manufacturer and product, the product
  // alone when it already begins with the manufacturer (ignoring case), whichever is known when
  // only one is. Empty for a port without a USB device.
  std::string description() const;
};

// Lists the ports with their identity. May raise Exception when the system keeps no port list.
using PortInfoLister = std::function<std::vector<PortInfo>()>;

// "10C4:EA60": VID and PID as four upper-case hex digits each; "" for a port without USB device.
std::string formatVidPid(const PortInfo& port);

// A port chosen by its USB identity.
struct UsbPortId {
  uint16_t vid = 0;
  uint16_t pid = 0;
  std::optional<std::string> serial;  // compared exactly; none: any serial
};

// Reads "usb:VID:PID" or "usb:VID:PID:SERIAL" (prefix in any case; VID and PID hex, 1 to 4
// digits, in any case; SERIAL non-empty, everything after the third colon, colons included).
// nullopt when text does not begin with "usb:" (an ordinary port name). Raises Exception naming
// the expected form when it begins with "usb:" but is malformed.
std::optional<UsbPortId> parseUsbPortId(std::string_view text);

// The ports of `ports` that carry the identity of `id`, in their order (none, one or several).
std::vector<PortInfo> matchUsbPort(const UsbPortId& id, const std::vector<PortInfo>& ports);

// The name as the window lists it: the text after "/dev/" ("ttyUSB0"); other names unchanged
// ("COM5", "SIM").
std::string shortPortName(const std::string& name);

// The lines that tell the port apart, joined by "\n": the full name; the description when known;
// "VID:PID", followed by " serial S" when the device has a serial, for a USB port.
std::string portDetails(const PortInfo& port);

// What the Windows device properties say of a port: its first hardware id
// ("USB\VID_10C4&PID_EA60&REV_0100", "FTDIBUS\COMPORT&VID_0403&PID_6001", "ACPI\PNP0501"), its
// device instance id ("USB\VID_10C4&PID_EA60\0001"), its parent's instance id (may be empty),
// the manufacturer, and the friendly name or device description.
struct WinDeviceIds {
  std::string hardwareId;
  std::string instanceId;
  std::string parentInstanceId;
  std::string manufacturer;
  std::string friendlyName;
};

// The port `name` with the identity those ids carry. USB when the hardware id holds "VID_xxxx"
// and "PID_xxxx" (any case); the interface from "MI_xx". The serial is the last part of a USB
// device instance id ("USB\VID_..&PID_..\SERIAL") of the port's own device when that is a whole
// USB device, else of its parent (an interface of a composite device, a vendor bus driver's
// port); a last part with "&" is one the system made up for a device without serial, and is no
// serial. The friendly name loses its trailing " (COMn)". A port without USB identity keeps only
// its name.
PortInfo portInfoFromWinDevice(const std::string& name, const WinDeviceIds& ids);

}  // namespace flintmoor
