// TComponentUSB: the non-visual component that learns from the operating system when a USB
// device arrives or is removed, raises one of two events with the device's path, and tells which
// serial port a USB device provided. One implementation per OS: U_Usb_linux.cpp (libudev) and
// U_Usb_win.cpp (a hidden window registered for device notifications).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace flintmoor {

class TComponentUSB {
 public:
  using PathEvent = std::function<void(const std::string& path)>;

  // Starts listening at once. When the system refuses (no device manager, no notifications
  // allowed) the component runs without hot-plug events; nothing is shown or raised.
  TComponentUSB();
  // Stops listening and releases every system resource (monitor socket, or the registration and
  // the hidden window).
  ~TComponentUSB();
  TComponentUSB(const TComponentUSB&) = delete;
  TComponentUSB& operator=(const TComponentUSB&) = delete;

  // Called on the thread that handles the events (the GUI thread), one at a time. The path is the
  // device's identity on the system: on Windows the device interface path
  // ("\\?\USB#VID_1234&PID_5678#0001#{a5dcbf10-...}"), on Linux the device's sysfs path
  // ("/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2"). Each may be unset.
  PathEvent OnUSBArrival;  // a USB device of any kind arrived
  PathEvent OnUSBRemove;   // a USB device's removal has completed
  // Receives the message of an exception raised while an event was handled (by the lookup or by
  // OnUSBArrival/OnUSBRemove); it goes no further. The GUI shows it in its error report.
  std::function<void(const std::string& message)> OnException;

  // The serial port the USB device at `path` provided, as the port list names it ("COM5",
  // "/dev/ttyUSB0"), or empty when it provided none or is unknown. Valid for a removed device
  // while OnUSBRemove runs. Never raises on Linux; on Windows a registry failure gives empty.
  std::string DevicePortName(const std::string& path) const;
  // The USB vendor id of the device at `path` while it is present, where a system service is
  // known to claim serial adapters (brltty on Linux); 0 when unknown and always 0 elsewhere.
  uint16_t DeviceVendorId(const std::string& path) const;

#if defined(__linux__)
  // The monitor's file descriptor (non-blocking, close-on-exec), or -1 when the system refused the
  // monitor. The GUI watches it for reading with a QSocketNotifier created in the start-up wiring,
  // whose activated signal calls dispatch(); the command line does not watch it.
  int fd() const;
  // Handles every event queued on fd() and returns without blocking. Raises nothing: handler
  // exceptions go to OnException.
  void dispatch();
#endif

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace flintmoor
