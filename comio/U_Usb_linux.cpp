// TComponentUSB on Linux: a udev monitor for USB devices and tty nodes, with an initial scan of
// the ttys that already hang below a USB device. The reporting rules and the tty map live in
// UsbTracker; this file only turns libudev devices into recorded events.
#include <fcntl.h>
#include <libudev.h>

#include <exception>
#include <fstream>
#include <memory>

#include "comio/U_Usb.h"
#include "comio/U_UsbTracker.h"

namespace flintmoor {

namespace {

struct DeviceUnref {
  void operator()(udev_device* device) const { udev_device_unref(device); }
};
using DevicePtr = std::unique_ptr<udev_device, DeviceUnref>;

std::string Text(const char* s) {
  return s ? std::string(s) : std::string();
}

// The usb_device above a tty. Asking for a parent reads sysfs, which is gone for a removed
// device; the tracker then decides by the sysfs path.
std::string UsbParentOf(udev_device* device) {
  udev_device* parent = udev_device_get_parent_with_subsystem_devtype(device, "usb", "usb_device");
  return parent ? Text(udev_device_get_syspath(parent)) : std::string();
}

UsbEvent EventOf(udev_device* device, const char* action) {
  UsbEvent event;
  event.action = Text(action);
  event.subsystem = Text(udev_device_get_subsystem(device));
  event.devtype = Text(udev_device_get_devtype(device));
  event.syspath = Text(udev_device_get_syspath(device));
  event.devnode = Text(udev_device_get_devnode(device));
  if (event.subsystem == "tty" && event.action != "remove") event.usbParent = UsbParentOf(device);
  return event;
}

}  // namespace

struct TComponentUSB::Impl {
  udev* context = nullptr;
  udev_monitor* monitor = nullptr;
  UsbTracker tracker;

  ~Impl() { Stop(); }

  bool Start() {
    context = udev_new();
    if (!context) return false;
    monitor = udev_monitor_new_from_netlink(context, "udev");
    if (!monitor) return false;
    if (udev_monitor_filter_add_match_subsystem_devtype(monitor, "usb", "usb_device") < 0 ||
        udev_monitor_filter_add_match_subsystem_devtype(monitor, "tty", nullptr) < 0 ||
        udev_monitor_enable_receiving(monitor) < 0) {
      return false;
    }
    const int fd = udev_monitor_get_fd(monitor);
    if (fd < 0) return false;
    // dispatch() drains the socket until it is empty, and the descriptor must not leak into a
    // started program.
    const int status = fcntl(fd, F_GETFL);
    const int flags = fcntl(fd, F_GETFD);
    return status >= 0 && flags >= 0 && fcntl(fd, F_SETFL, status | O_NONBLOCK) == 0 &&
           fcntl(fd, F_SETFD, flags | FD_CLOEXEC) == 0;
  }

  void Stop() {
    if (monitor) udev_monitor_unref(monitor);
    if (context) udev_unref(context);
    monitor = nullptr;
    context = nullptr;
  }

  // Runs after the monitor is receiving, so that a tty added meanwhile is seen at least once
  // (the tracker takes a repeated add as the same tty).
  void Scan() {
    udev_enumerate* enumerate = udev_enumerate_new(context);
    if (!enumerate) return;
    if (udev_enumerate_add_match_subsystem(enumerate, "tty") == 0 &&
        udev_enumerate_scan_devices(enumerate) == 0) {
      udev_list_entry* entry;
      udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate)) {
        DevicePtr device(udev_device_new_from_syspath(context, udev_list_entry_get_name(entry)));
        if (!device) continue;
        const UsbEvent event = EventOf(device.get(), "add");
        if (!event.usbParent.empty()) tracker.Handle(event);
      }
    }
    udev_enumerate_unref(enumerate);
  }
};

TComponentUSB::TComponentUSB() : impl_(std::make_unique<Impl>()) {
  impl_->tracker.OnArrival = [this](const std::string& path) {
    if (OnUSBArrival) OnUSBArrival(path);
  };
  impl_->tracker.OnRemove = [this](const std::string& path) {
    if (OnUSBRemove) OnUSBRemove(path);
  };
  impl_->tracker.OnException = [this](const std::string& message) {
    if (OnException) OnException(message);
  };
  if (impl_->Start()) {
    impl_->Scan();
  } else {
    impl_->Stop();
  }
}

TComponentUSB::~TComponentUSB() = default;

std::string TComponentUSB::DevicePortName(const std::string& path) const {
  return impl_->tracker.PortName(path);
}

uint16_t TComponentUSB::DeviceVendorId(const std::string& path) const {
  // The USB device's own sysfs attribute, hexadecimal text, readable while it is present.
  std::ifstream in(path + "/idVendor");
  unsigned vendor = 0;
  if (!(in >> std::hex >> vendor) || vendor > 0xFFFF) return 0;
  return static_cast<uint16_t>(vendor);
}

int TComponentUSB::fd() const {
  return impl_->monitor ? udev_monitor_get_fd(impl_->monitor) : -1;
}

void TComponentUSB::dispatch() {
  if (!impl_->monitor) return;
  try {
    while (DevicePtr device{udev_monitor_receive_device(impl_->monitor)}) {
      const UsbEvent event = EventOf(device.get(), udev_device_get_action(device.get()));
      device.reset();
      impl_->tracker.Handle(event);
    }
  } catch (const std::exception& e) {
    // Only allocation can fail here; the events still queued are read on the next call.
    if (OnException) OnException(e.what());
  }
}

}  // namespace flintmoor
