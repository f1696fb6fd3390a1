// The serial link module's hot-plug handlers: they only trace USB arrivals and removals in the
// debug log and note when the removed device provided the port shown in the port drop-down.
#include "comio/uComIo.h"
#include "log/Log.h"

namespace flintmoor {

void TComIo::UsbArrival(const std::string& path) {
  if (UsbLog) UsbLog->S("ARRIVE: " + path);
}

// The trace changes nothing: the port stays open or closed as it is, and the port list keeps its
// entries and selection until the user opens the drop-down again.
void TComIo::UsbRemove(const std::string& path) {
  if (UsbLog) UsbLog->S("REMOVE: " + path);
  const std::string port = DevicePortName ? DevicePortName(path) : std::string();
  const std::string shown = CurrentPortText ? CurrentPortText() : std::string();
  // Exact comparison: a device without a serial port matches an empty drop-down.
  if (port == shown && UsbLog) UsbLog->S("CLOSE COM");
}

}  // namespace flintmoor
