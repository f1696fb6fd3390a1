// The system's serial ports on Linux, read from sysfs: every tty class entry backed by a device,
// except the placeholder ttyS entries that the 8250 driver registers without a UART behind them.
#include <filesystem>
#include <fstream>
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

}  // namespace

std::vector<std::string> listOsPorts(const std::string& sysfsRoot) {
  const fs::path ttyClass = fs::path(sysfsRoot) / "class" / "tty";
  std::error_code ec;
  fs::directory_iterator it(ttyClass, ec);
  if (ec) throw Exception("No tty class in " + ttyClass.string());

  std::vector<std::string> ports;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    const fs::path entry = it->path();
    const std::string name = entry.filename().string();
    // Virtual consoles, pseudo-terminals and the like have no device behind them.
    if (!fs::exists(fs::symlink_status(entry / "device", ec))) continue;
    if (isPlaceholderUart(name, entry)) continue;
    ports.push_back("/dev/" + name);
  }
  return ports;
}

std::vector<std::string> listOsPorts() {
  return listOsPorts("/sys");
}

}  // namespace flintmoor
