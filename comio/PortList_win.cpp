// The system's serial ports on Windows: the values under HARDWARE\DEVICEMAP\SERIALCOMM, whose data
// are the port names (COM3, ...); the value names are the drivers' device paths and are ignored.
// The USB identity of a port comes from the device properties of the ports class (SetupAPI),
// matched to the name by the device's "PortName" value.
#include <windows.h>
// After windows.h, which they need.
#include <cfgmgr32.h>
#include <setupapi.h>

#include <map>
#include <string>
#include <vector>

#include "base/Error.h"
#include "comio/Platform.h"

namespace flintmoor {

namespace {

constexpr DWORD kValueNameChars = 256;
constexpr DWORD kValueDataBytes = 256;

std::string narrow(const wchar_t* text, int length) {
  if (length <= 0) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), n, nullptr, nullptr);
  return out;
}

// The ports device class {4D36E978-E325-11CE-BFC1-08002BE10318}, spelt out so that no GUID
// definition unit needs linking.
const GUID kPortsClass = {
    0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

std::string narrow(const std::wstring& text) {
  return narrow(text.c_str(), static_cast<int>(text.size()));
}

// A string property of the device; for a list (REG_MULTI_SZ, the hardware ids) its first entry.
std::string deviceText(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property) {
  wchar_t buffer[1024] = {};
  DWORD type = 0;
  if (!SetupDiGetDeviceRegistryPropertyW(set, &device, property, &type,
                                         reinterpret_cast<BYTE*>(buffer), sizeof buffer - 4,
                                         nullptr)) {
    return std::string();
  }
  if (type != REG_SZ && type != REG_MULTI_SZ) return std::string();
  return narrow(std::wstring(buffer));  // up to the first NUL
}

// The device's "PortName" ("COM5"), from its hardware key.
std::string devicePortName(HDEVINFO set, SP_DEVINFO_DATA& device) {
  HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
  if (key == INVALID_HANDLE_VALUE) return std::string();
  wchar_t name[256] = {};
  DWORD bytes = sizeof name - sizeof(wchar_t);
  DWORD type = 0;
  const LONG rc =
      RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &bytes);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS || type != REG_SZ) return std::string();
  return narrow(std::wstring(name));
}

std::string instanceIdOf(DEVINST instance) {
  wchar_t id[MAX_DEVICE_ID_LEN + 1] = {};
  if (CM_Get_Device_IDW(instance, id, MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS) return std::string();
  return narrow(std::wstring(id));
}

// The identity of every present device of the ports class that has a port name, by that name.
std::map<std::string, PortInfo> portIdentities() {
  std::map<std::string, PortInfo> found;
  HDEVINFO set = SetupDiGetClassDevsW(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE) return found;
  for (DWORD index = 0;; ++index) {
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    if (!SetupDiEnumDeviceInfo(set, index, &device)) break;  // ERROR_NO_MORE_ITEMS
    const std::string name = devicePortName(set, device);
    if (name.empty()) continue;
    WinDeviceIds ids;
    ids.hardwareId = deviceText(set, device, SPDRP_HARDWAREID);
    ids.manufacturer = deviceText(set, device, SPDRP_MFG);
    ids.friendlyName = deviceText(set, device, SPDRP_FRIENDLYNAME);
    if (ids.friendlyName.empty()) ids.friendlyName = deviceText(set, device, SPDRP_DEVICEDESC);
    ids.instanceId = instanceIdOf(device.DevInst);
    DEVINST parent = 0;
    if (CM_Get_Parent(&parent, device.DevInst, 0) == CR_SUCCESS) {
      ids.parentInstanceId = instanceIdOf(parent);
    }
    found.emplace(name, portInfoFromWinDevice(name, ids));
  }
  SetupDiDestroyDeviceInfoList(set);
  return found;
}

}  // namespace

std::vector<PortInfo> listOsPortInfo() {
  const std::vector<std::string> names = listOsPorts();
  const std::map<std::string, PortInfo> identities = portIdentities();
  std::vector<PortInfo> ports;
  for (const std::string& name : names) {
    const auto known = identities.find(name);
    if (known != identities.end()) {
      ports.push_back(known->second);
    } else {
      PortInfo port;
      port.name = name;
      ports.push_back(port);
    }
  }
  return ports;
}

std::vector<std::string> listOsPorts() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
      ERROR_SUCCESS) {
    // The key exists only once a serial driver has registered a port.
    throw Exception("No serial port list");
  }

  std::vector<std::string> ports;
  for (DWORD index = 0;; ++index) {
    wchar_t name[kValueNameChars];
    DWORD nameChars = kValueNameChars;
    // wchar_t storage keeps the UTF-16 data aligned; its size is the 256 bytes the call gets.
    wchar_t data[kValueDataBytes / sizeof(wchar_t)];
    DWORD dataBytes = kValueDataBytes;
    DWORD type = 0;
    LONG rc = RegEnumValueW(key, index, name, &nameChars, nullptr, &type,
                            reinterpret_cast<BYTE*>(data), &dataBytes);
    // ERROR_NO_MORE_ITEMS (259) ends the list; any other failure keeps what was gathered.
    if (rc != ERROR_SUCCESS) break;
    if (type != REG_SZ) continue;
    int chars = static_cast<int>(dataBytes / sizeof(wchar_t));
    while (chars > 0 && data[chars - 1] == L'\0') --chars;  // the terminating NUL, if stored
    ports.push_back(narrow(data, chars));
  }
  RegCloseKey(key);
  return ports;
}

}  // namespace flintmoor
