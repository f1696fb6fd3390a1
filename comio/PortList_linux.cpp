// The system's serial ports on Linux, read from sysfs: every tty class entry backed by a device,
// except the placeholder ttyS entries that the 8250 driver registers without a UART behind them;
// for a USB port also the identity of the USB device and interface above it in the device tree.
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "base/Error.h"
#include "comio/Platform.h"

namespace flintmoor {

namespace fs = std::filesystem;

namespace {

// The last component of a symbolic link's target, or "" when `link` is no link.
std::string linkTargetName(const fs::path& link) {
  std::error_code ec;
  fs::path target = fs::read_symlink(link, ec);
  return ec ? std::string() : target.filename().string();
}

// The UART type that serial_core reports; 0 (unknown) means the driver found no UART there.
int uartType(const fs::path& entry) {
  std::ifstream in(entry / "type");
  int type = 0;
  if (!(in >> type)) return 0;
  return type;
}

// The 8250 driver registers a fixed number of ttyS ports whether or not a UART answers; those
// hang off its platform device, or have its driver, and report the UART type 0.
bool isPlaceholderUart(const std::string& name, const fs::path& entry) {
  if (name.rfind("ttyS", 0) != 0) return false;
  const bool from8250 = linkTargetName(entry / "device" / "driver") == "serial8250" ||
                        linkTargetName(entry / "device") == "serial8250";
  return from8250 && uartType(entry) == 0;
}

// A sysfs attribute's text without the line end; nullopt when the file cannot be read.
std::optional<std::string> attribute(const fs::path& file) {
  std::ifstream in(file);
  std::string text;
  if (!in || !std::getline(in, text)) return std::nullopt;
  while (!text.empty() && (text.back() == '\r' || text.back() == ' ')) text.pop_back();
  return text;
}

// A hex attribute (idVendor "10c4", bInterfaceNumber "02"); nullopt when absent or not hex.
std::optional<unsigned> hexAttribute(const fs::path& file) {
  const std::optional<std::string> text = attribute(file);
  if (!text || text->empty() || text->size() > 4) return std::nullopt;
  size_t used = 0;
  unsigned long value = 0;
  try {
    value = std::stoul(*text, &used, 16);
  } catch (const std::exception&) {
    return std::nullopt;
  }
  if (used != text->size()) return std::nullopt;
  return static_cast<unsigned>(value);
}

// Fills the USB identity of `port` from the device tree above the tty's device: the first
// directory with bInterfaceNumber is the USB interface, the first with idVendor and idProduct the
// USB device. usb-serial ports hang one level below the interface (.../1-2:1.0/ttyUSB0), ACM ports
// are the interface itself (.../1-2:1.0). The walk stays inside the sysfs tree.
void readUsbIdentity(const fs::path& root, const fs::path& entry, PortInfo& port) {
  std::error_code ec;
  fs::path dir = fs::canonical(entry / "device", ec);
  if (ec) return;
  for (; dir != root && dir.has_relative_path() && dir != dir.parent_path();
       dir = dir.parent_path()) {
    if (port.interfaceNumber < 0) {
      if (const std::optional<unsigned> number = hexAttribute(dir / "bInterfaceNumber")) {
        port.interfaceNumber = static_cast<int>(*number);
      }
    }
    if (!fs::exists(dir / "idVendor", ec) && !fs::exists(dir / "idProduct", ec)) continue;
    // The USB device; identity only when both ids read (no hub above it stands in for it).
    const std::optional<unsigned> vid = hexAttribute(dir / "idVendor");
    const std::optional<unsigned> pid = hexAttribute(dir / "idProduct");
    if (!vid || !pid) break;
    port.usb = true;
    port.vid = static_cast<uint16_t>(*vid);
    port.pid = static_cast<uint16_t>(*pid);
    port.serial = attribute(dir / "serial").value_or("");
    port.manufacturer = attribute(dir / "manufacturer").value_or("");
    port.product = attribute(dir / "product").value_or("");
    return;
  }
  port.interfaceNumber = -1;  // an interface number without a USB device above it means nothing
}

}  // namespace

std::vector<PortInfo> listOsPortInfo(const std::string& sysfsRoot) {
  const fs::path ttyClass = fs::path(sysfsRoot) / "class" / "tty";
  std::error_code ec;
  fs::directory_iterator it(ttyClass, ec);
  if (ec) throw Exception("No tty class in " + ttyClass.string());
  std::error_code rootError;
  const fs::path root = fs::canonical(sysfsRoot, rootError);

  std::vector<PortInfo> ports;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    const fs::path entry = it->path();
    const std::string name = entry.filename().string();
    // Virtual consoles, pseudo-terminals and the like have no device behind them.
    if (!fs::exists(fs::symlink_status(entry / "device", ec))) continue;
    if (isPlaceholderUart(name, entry)) continue;
    PortInfo port;
    port.name = "/dev/" + name;
    readUsbIdentity(root, entry, port);
    ports.push_back(std::move(port));
  }
  return ports;
}

std::vector<PortInfo> listOsPortInfo() {
  return listOsPortInfo("/sys");
}

std::vector<std::string> listOsPorts(const std::string& sysfsRoot) {
  std::vector<std::string> names;
  for (PortInfo& port : listOsPortInfo(sysfsRoot)) names.push_back(std::move(port.name));
  return names;
}

std::vector<std::string> listOsPorts() {
  return listOsPorts("/sys");
}

}  // namespace flintmoor
