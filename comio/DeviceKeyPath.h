// The registry key of a USB device instance, derived from the device interface path that a
// device notification carries. Pure text work, shared by the Windows backend and the tests.
#pragma once

#include <string>
#include <string_view>

namespace flintmoor {

// For a device interface path such as
//   "\\?\USB#VID_1234&PID_5678#0001#{a5dcbf10-6530-11d2-901f-00c04fb951ed}"
// returns the key under HKEY_LOCAL_MACHINE that holds the instance's "PortName":
//   "\SYSTEM\CurrentControlSet\Enum\USB\VID_1234&PID_5678\0001\Device Parameters\"
// The instance part runs from just after the first "#VID" (case-sensitive) up to and including
// the "#" of the first "#{", and every "#" of the result becomes "\".
// A path without "#VID", without "#{", or with "#{" before "#VID" names no device instance; the
// result is then empty, and an empty key means "no port name".
std::string DeviceKeyPath(std::string_view interfacePath);

// The key path as the registry's open call wants it: relative to the root key, without the
// separators at its ends. Empty for an empty key path.
std::string RelativeKeyPath(std::string_view keyPath);

}  // namespace flintmoor
