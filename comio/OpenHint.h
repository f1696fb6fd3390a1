// Advice for a serial port that would not open on Linux: the second line under "Unable to open com
// port (Error: N)". Each piece reads only the device node and a process table under `procRoot`
// (the system's "/proc"; tests pass a fake tree), and returns "" when it has nothing to say.
#pragma once

#include <string>

namespace flintmoor {

// EACCES: the group that owns `device` (from its node's group id), or "dialout" as the usual one.
std::string accessHint(const std::string& device);
// EBUSY: the process that holds `device` open, found through the links procRoot/PID/fd/* (a link
// naming `device` or the node it resolves to), with its name from procRoot/PID/comm.
std::string busyHint(const std::string& device, const std::string& procRoot);
// ENOENT for a USB serial name (ttyUSB*, ttyACM*) while a process named brltty runs: that service
// takes some USB serial adapters for braille displays and unbinds their serial driver.
std::string missingDeviceHint(const std::string& device, const std::string& procRoot);

// The hint for an open() of `device` that failed with `error` (an errno value); "" for others.
std::string openFailureHint(int error, const std::string& device,
                            const std::string& procRoot = "/proc");

}  // namespace flintmoor
