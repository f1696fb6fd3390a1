// The bookkeeping behind hot-plug tracing on systems that announce devices as device-manager
// events (Linux udev): which events are reported, and which serial nodes hang below each USB
// device, remembered so that a removal can still be matched to its port after sysfs has dropped
// the device. Free of OS headers so that tests feed it recorded events.
#pragma once

#include <functional>
#include <map>
#include <string>

namespace flintmoor {

// The properties of one device event, as the device manager hands them over.
struct UsbEvent {
  std::string action;     // "add", "remove", "bind", "unbind", "change", ...
  std::string subsystem;  // "usb" or "tty"
  std::string devtype;    // "usb_device" for a whole USB device; interfaces and ttys differ
  std::string syspath;    // the device's sysfs path, e.g. /sys/devices/.../usb1/1-2
  std::string devnode;    // the device node, e.g. /dev/ttyUSB0; may be empty
  std::string usbParent;  // for a tty: sysfs path of the usb_device above it, when it was known
};

class UsbTracker {
 public:
  using PathHandler = std::function<void(const std::string& path)>;

  // Called with the USB device's sysfs path for an "add" of a usb_device (arrival) and for a
  // "remove" of a usb_device (completed removal). During the removal call PortName still answers
  // for the removed device; its ports are forgotten when the call returns.
  PathHandler OnArrival;
  PathHandler OnRemove;
  // Receives the message of an exception raised by OnArrival or OnRemove; the exception goes no
  // further. Unset: the exception is dropped.
  std::function<void(const std::string& message)> OnException;

  // Records the event and reports it when it is an arrival or a completed removal. Every other
  // action and subsystem only updates the map or is ignored. Exceptions of the two handlers go to
  // OnException.
  void Handle(const UsbEvent& event);

  // The serial node the USB device at `usbSyspath` provided, or empty when it provided none.
  // A device with several serial nodes answers the one of its first interface (the lowest tty
  // sysfs path).
  std::string PortName(const std::string& usbSyspath) const;

  // The number of tty entries remembered, for tests of the bookkeeping.
  size_t size() const { return ttys_.size(); }

 private:
  struct Tty {
    std::string devnode;
    std::string usbParent;  // empty when the event did not say; then the sysfs path decides
    bool gone = false;      // the tty was removed while its USB device may still be present
  };

  bool Belongs(const std::string& ttySyspath, const Tty& tty, const std::string& usbSyspath) const;
  void TtyAdded(const UsbEvent& event);
  void TtyRemoved(const UsbEvent& event);
  void Forget(const std::string& usbSyspath);
  void Report(const PathHandler& handler, const std::string& path);

  std::map<std::string, Tty> ttys_;  // keyed by the tty's sysfs path
};

}  // namespace flintmoor
