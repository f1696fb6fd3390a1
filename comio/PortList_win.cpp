// The system's serial ports on Windows: the values under HARDWARE\DEVICEMAP\SERIALCOMM, whose data
// are the port names (COM3, ...); the value names are the drivers' device paths and are ignored.
#include <windows.h>

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

}  // namespace

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
