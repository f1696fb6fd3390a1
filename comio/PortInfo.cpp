// Ports and their USB identity: descriptions, the "usb:" choice, short names, Windows device ids.
#include "comio/PortInfo.h"

#include <cstdio>

#include "base/Error.h"

namespace flintmoor {

namespace {

char lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (lower(text[i]) != lower(prefix[i])) return false;
  }
  return true;
}

// The position of `word` in `text` ignoring case, or npos.
size_t findNoCase(std::string_view text, std::string_view word) {
  for (size_t at = 0; at + word.size() <= text.size(); ++at) {
    if (startsWithNoCase(text.substr(at), word)) return at;
  }
  return std::string_view::npos;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = lower(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// 1 to `maxDigits` hex digits, all of `text`.
std::optional<uint16_t> parseHex(std::string_view text, size_t maxDigits) {
  if (text.empty() || text.size() > maxDigits) return std::nullopt;
  unsigned value = 0;
  for (char c : text) {
    const int d = hexDigit(c);
    if (d < 0) return std::nullopt;
    value = value * 16 + static_cast<unsigned>(d);
  }
  return static_cast<uint16_t>(value);
}

// The `digits` hex digits following `key` ("VID_") in `id`, or nullopt.
std::optional<uint16_t> hexAfter(std::string_view id, std::string_view key, size_t digits) {
  const size_t at = findNoCase(id, key);
  if (at == std::string_view::npos || id.size() < at + key.size() + digits) return std::nullopt;
  return parseHex(id.substr(at + key.size(), digits), digits);
}

// The serial in a whole USB device's instance id "USB\VID_xxxx&PID_xxxx\SERIAL"; "" for any
// other id, an interface's ("...&MI_00\...") or a made-up one ("5&2b1e5a3&0&2").
std::string usbInstanceSerial(std::string_view instanceId) {
  if (!startsWithNoCase(instanceId, "USB\\VID_")) return std::string();
  const size_t last = instanceId.rfind('\\');
  if (last <= 4) return std::string();  // no part after "USB\VID_..."
  const std::string_view device = instanceId.substr(4, last - 4);
  const std::string_view serial = instanceId.substr(last + 1);
  if (findNoCase(device, "&MI_") != std::string_view::npos) return std::string();
  if (serial.empty() || serial.find('&') != std::string_view::npos) return std::string();
  return std::string(serial);
}

bool isWholeUsbDevice(std::string_view instanceId) {
  const size_t last = instanceId.rfind('\\');
  return startsWithNoCase(instanceId, "USB\\VID_") && last != std::string_view::npos &&
         findNoCase(instanceId.substr(0, last), "&MI_") == std::string_view::npos;
}

[[noreturn]] void badId(std::string_view text, const std::string& why) {
  throw Exception("Bad port \"" + std::string(text) + "\": " + why +
                  " (expected usb:VID:PID or usb:VID:PID:SERIAL, VID and PID in hex)");
}

}  // namespace

std::string PortInfo::description() const {
  if (!usb) return std::string();
  if (manufacturer.empty()) return product;
  if (product.empty() || startsWithNoCase(product, manufacturer)) {
    return product.empty() ? manufacturer : product;
  }
  return manufacturer + " " + product;
}

std::string formatVidPid(const PortInfo& port) {
  if (!port.usb) return std::string();
  char text[10];
  std::snprintf(text, sizeof text, "%04X:%04X", static_cast<unsigned>(port.vid),
                static_cast<unsigned>(port.pid));
  return text;
}

std::optional<UsbPortId> parseUsbPortId(std::string_view text) {
  if (!startsWithNoCase(text, "usb:")) return std::nullopt;
  const std::string_view rest = text.substr(4);
  const size_t colon = rest.find(':');
  if (colon == std::string_view::npos) badId(text, "no PID");
  const size_t colon2 = rest.find(':', colon + 1);
  const std::string_view pidText = rest.substr(
      colon + 1, colon2 == std::string_view::npos ? std::string_view::npos : colon2 - colon - 1);
  const std::optional<uint16_t> vid = parseHex(rest.substr(0, colon), 4);
  if (!vid) badId(text, "the VID is not 1 to 4 hex digits");
  const std::optional<uint16_t> pid = parseHex(pidText, 4);
  if (!pid) badId(text, "the PID is not 1 to 4 hex digits");
  UsbPortId id{*vid, *pid, std::nullopt};
  if (colon2 != std::string_view::npos) {
    if (colon2 + 1 == rest.size()) badId(text, "empty serial");
    id.serial = std::string(rest.substr(colon2 + 1));
  }
  return id;
}

std::vector<PortInfo> matchUsbPort(const UsbPortId& id, const std::vector<PortInfo>& ports) {
  std::vector<PortInfo> found;
  for (const PortInfo& port : ports) {
    if (!port.usb || port.vid != id.vid || port.pid != id.pid) continue;
    if (id.serial && port.serial != *id.serial) continue;
    found.push_back(port);
  }
  return found;
}

std::string shortPortName(const std::string& name) {
  constexpr std::string_view kDev = "/dev/";
  if (name.size() > kDev.size() && name.compare(0, kDev.size(), kDev) == 0) {
    return name.substr(kDev.size());
  }
  return name;
}

std::string portDetails(const PortInfo& port) {
  std::string text = port.name;
  const std::string description = port.description();
  // Appended piece by piece: a temporary "\n" + text makes GCC 12 warn (-Wrestrict) in vain.
  if (!description.empty()) text.append("\n").append(description);
  if (port.usb) {
    text.append("\n").append(formatVidPid(port));
    if (!port.serial.empty()) text.append(" serial ").append(port.serial);
  }
  return text;
}

PortInfo portInfoFromWinDevice(const std::string& name, const WinDeviceIds& ids) {
  PortInfo port;
  port.name = name;
  const std::optional<uint16_t> vid = hexAfter(ids.hardwareId, "VID_", 4);
  const std::optional<uint16_t> pid = hexAfter(ids.hardwareId, "PID_", 4);
  if (!vid || !pid) return port;
  port.usb = true;
  port.vid = *vid;
  port.pid = *pid;
  if (const std::optional<uint16_t> mi = hexAfter(ids.hardwareId, "&MI_", 2)) {
    port.interfaceNumber = *mi;
  }
  port.serial = isWholeUsbDevice(ids.instanceId) ? usbInstanceSerial(ids.instanceId)
                                                 : usbInstanceSerial(ids.parentInstanceId);
  port.manufacturer = ids.manufacturer;
  port.product = ids.friendlyName;
  const std::string suffix = " (" + name + ")";
  if (port.product.size() > suffix.size() &&
      port.product.compare(port.product.size() - suffix.size(), suffix.size(), suffix) == 0) {
    port.product.resize(port.product.size() - suffix.size());
  }
  return port;
}

}  // namespace flintmoor
