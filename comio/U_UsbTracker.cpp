// Hot-plug bookkeeping for device-manager events: reporting rules and the tty map.
#include "comio/U_UsbTracker.h"

#include <exception>

namespace flintmoor {

void UsbTracker::Handle(const UsbEvent& event) {
  if (event.subsystem == "tty") {
    if (event.devnode.empty() || event.syspath.empty()) return;
    if (event.action == "add") {
      TtyAdded(event);
    } else if (event.action == "remove") {
      TtyRemoved(event);
    }
    return;
  }
  if (event.subsystem != "usb" || event.devtype != "usb_device" || event.syspath.empty()) return;
  if (event.action == "add") {
    Report(OnArrival, event.syspath);
  } else if (event.action == "remove") {
    Report(OnRemove, event.syspath);
    Forget(event.syspath);
  }
}

std::string UsbTracker::PortName(const std::string& usbSyspath) const {
  for (const auto& [syspath, tty] : ttys_) {
    if (Belongs(syspath, tty, usbSyspath)) return tty.devnode;
  }
  return {};
}

bool UsbTracker::Belongs(const std::string& ttySyspath, const Tty& tty,
                         const std::string& usbSyspath) const {
  if (!tty.usbParent.empty()) return tty.usbParent == usbSyspath;
  // Without a recorded parent the tty lies somewhere in the device's sysfs subtree. Devices below
  // a hub are removed before the hub, so the nearest device claims the tty first.
  return ttySyspath.size() > usbSyspath.size() + 1 &&
         ttySyspath.compare(0, usbSyspath.size(), usbSyspath) == 0 &&
         ttySyspath[usbSyspath.size()] == '/';
}

void UsbTracker::TtyAdded(const UsbEvent& event) {
  // A node name now in use belongs to the new tty, and a device whose tty comes back (driver
  // rebound) no longer provides the nodes it dropped: stale entries would match the wrong device.
  for (auto it = ttys_.begin(); it != ttys_.end();) {
    const Tty& old = it->second;
    const bool sameParent = !event.usbParent.empty() && old.usbParent == event.usbParent;
    if (old.gone && (old.devnode == event.devnode || sameParent)) {
      it = ttys_.erase(it);
    } else {
      ++it;
    }
  }
  ttys_[event.syspath] = Tty{event.devnode, event.usbParent, false};
}

void UsbTracker::TtyRemoved(const UsbEvent& event) {
  // The kernel removes a device's ttys before the device itself; the entry is kept so that the
  // device's removal, which follows, can still name its port.
  auto it = ttys_.find(event.syspath);
  if (it != ttys_.end()) it->second.gone = true;
}

void UsbTracker::Forget(const std::string& usbSyspath) {
  for (auto it = ttys_.begin(); it != ttys_.end();) {
    if (Belongs(it->first, it->second, usbSyspath)) {
      it = ttys_.erase(it);
    } else {
      ++it;
    }
  }
}

void UsbTracker::Report(const PathHandler& handler, const std::string& path) {
  if (!handler) return;
  try {
    handler(path);
  } catch (const std::exception& e) {
    if (OnException) OnException(e.what());
  } catch (...) {
    if (OnException) OnException("Unknown exception in the USB event handler");
  }
}

}  // namespace flintmoor
