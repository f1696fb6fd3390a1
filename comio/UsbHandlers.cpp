// The serial link module's hot-plug handlers: they only trace USB arrivals and removals in the
// debug log and note when the removed device provided the port shown in the port drop-down.
#include "comio/uComIo.h"
#include "log/Log.h"

namespace flintmoor {

namespace {

constexpr uint16_t kVendorCh34x = 0x1A86;
constexpr uint16_t kVendorCp210x = 0x10C4;

}  // namespace

void TComIo::UsbArrival(const std::string& path) {
  if (UsbLog) UsbLog->S("ARRIVE: " + path);
  const uint16_t vendor = DeviceVendorId ? DeviceVendorId(path) : 0;
  if (vendor == kVendorCh34x || vendor == kVendorCp210x) adapterArrivals_[path] = clock_.nowMs();
}

// The trace changes nothing: the port stays open or closed as it is, and the port list keeps its
// entries and selection until the user opens the drop-down again.
void TComIo::UsbRemove(const std::string& path) {
  if (UsbLog) UsbLog->S("REMOVE: " + path);
  const auto arrival = adapterArrivals_.find(path);
  if (arrival != adapterArrivals_.end()) {
    if (clock_.nowMs() - arrival->second < kVanishMs && UsbLog) {
      UsbLog->S(
          "A CH34x/CP210x serial adapter vanished right after it arrived: the braille display "
          "service brltty may have claimed it; remove the brltty package or disable its udev "
          "rules");
    }
    adapterArrivals_.erase(arrival);
  }
  const std::string port = DevicePortName ? DevicePortName(path) : std::string();
  const std::string shown = CurrentPortText ? CurrentPortText() : std::string();
  // Exact comparison: a device without a serial port matches an empty drop-down.
  if (port == shown && UsbLog) UsbLog->S("CLOSE COM");
}

}  // namespace flintmoor
