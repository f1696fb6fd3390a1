// TComponentUSB on Windows: a message-only window of our own class, registered for the device
// interface notifications of all USB devices; the "PortName" of a removed device comes from its
// instance key in the registry.
#include <windows.h>
// windows.h first: dbt.h needs its types.
#include <dbt.h>

#include <cstddef>
#include <exception>
#include <string>
#include <string_view>

#include "comio/DeviceKeyPath.h"
#include "comio/U_Usb.h"

namespace flintmoor {

namespace {

constexpr wchar_t kWindowClass[] = L"FlintmoorUsbNotification";
constexpr UINT kDeviceChange = 0x0219;      // WM_DEVICECHANGE
constexpr WPARAM kArrival = 0x8000;         // DBT_DEVICEARRIVAL
constexpr WPARAM kRemoveComplete = 0x8004;  // DBT_DEVICEREMOVECOMPLETE
constexpr DWORD kDeviceInterface = 5;       // DBT_DEVTYP_DEVICEINTERFACE

// The interface class of all USB devices, {A5DCBF10-6530-11D2-901F-00C04FB951ED}.
constexpr GUID kUsbDeviceClass = {
    0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};

static_assert(sizeof(DEV_BROADCAST_DEVICEINTERFACE_W) == 32,
              "the notification filter is a 32-byte record");
static_assert(offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) == 28,
              "the device interface path starts at byte 28");

std::string Utf8(std::wstring_view w) {
  if (w.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                    nullptr, nullptr);
  if (n <= 0) return {};
  std::string s(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr,
                      nullptr);
  return s;
}

std::wstring Wide(std::string_view s) {
  if (s.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  if (n <= 0) return {};
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

// The device interface path of a notification record. The record's own size bounds the read, so
// a path without its terminating NUL cannot run past the record.
std::string InterfacePath(const DEV_BROADCAST_HDR* header) {
  constexpr size_t nameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
  if (header->dbch_size <= nameOffset) return {};
  // The declared name array has one element; the path runs on to the end of the record.
  const auto* name =
      reinterpret_cast<const wchar_t*>(reinterpret_cast<const char*>(header) + nameOffset);
  const size_t capacity = (header->dbch_size - nameOffset) / sizeof(wchar_t);
  size_t length = 0;
  while (length < capacity && name[length] != L'\0') ++length;
  return Utf8(std::wstring_view(name, length));
}

class RegistryKey {
 public:
  explicit RegistryKey(const std::wstring& subKey) {
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, KEY_QUERY_VALUE, &key_) !=
        ERROR_SUCCESS) {
      key_ = nullptr;
    }
  }
  ~RegistryKey() {
    if (key_) RegCloseKey(key_);
  }
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;

  // The value as text; empty when it is missing or is no string value.
  std::wstring String(const wchar_t* name) const {
    if (!key_) return {};
    DWORD type = 0;
    DWORD bytes = 0;
    if (RegQueryValueExW(key_, name, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS) return {};
    if (type != REG_SZ && type != REG_EXPAND_SZ) return {};
    // The value may change between the two reads; retry while it keeps growing.
    for (int attempt = 0; attempt < 4; ++attempt) {
      std::wstring text(bytes / sizeof(wchar_t) + 1, L'\0');
      DWORD size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
      const LONG rc =
          RegQueryValueExW(key_, name, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &size);
      if (rc == ERROR_MORE_DATA) {
        bytes = size;
        continue;
      }
      if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return {};
      // A stored string need not end in NUL, and may carry several.
      text.resize(size / sizeof(wchar_t));
      const size_t end = text.find(L'\0');
      if (end != std::wstring::npos) text.resize(end);
      return text;
    }
    return {};
  }

 private:
  HKEY key_ = nullptr;
};

}  // namespace

struct TComponentUSB::Impl {
  TComponentUSB* owner = nullptr;
  HWND window = nullptr;
  HDEVNOTIFY registration = nullptr;

  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_NCCREATE) {
      const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
      SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<Impl*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (msg != kDeviceChange || !self) return DefWindowProcW(hwnd, msg, wParam, lParam);
    // A window procedure is no place for an exception to leave through: it goes to the report.
    try {
      self->DeviceChange(wParam, lParam);
    } catch (const std::exception& e) {
      self->Report(e.what());
    } catch (...) {
      self->Report("Unknown exception in the USB event handler");
    }
    return 0;
  }

  void Report(const std::string& message) {
    if (!owner->OnException) return;
    try {
      owner->OnException(message);
    } catch (...) {
      // The report itself failed; there is nobody left to tell.
    }
  }

  // Only arrivals and completed removals of device interfaces get through; removal queries,
  // pending removals, configuration changes, volumes, ports and handles are ignored.
  void DeviceChange(WPARAM event, LPARAM data) {
    if (event != kArrival && event != kRemoveComplete) return;
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(data);
    if (!header || header->dbch_devicetype != kDeviceInterface) return;
    const std::string path = InterfacePath(header);
    const PathEvent& handler = event == kArrival ? owner->OnUSBArrival : owner->OnUSBRemove;
    if (handler) handler(path);
  }

  void Create() {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = &Impl::WindowProc;
    wc.hInstance = instance;
    wc.lpszClassName = kWindowClass;
    // A second component finds the class registered already; that is no failure.
    if (!RegisterClassExW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return;
    window =
        CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, this);
    if (!window) return;

    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof(filter);
    filter.dbcc_devicetype = kDeviceInterface;
    filter.dbcc_reserved = 0;
    filter.dbcc_classguid = kUsbDeviceClass;
    filter.dbcc_name[0] = L'\0';
    // A refused registration leaves the component without events; nothing is reported.
    registration = RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  }

  void Destroy() {
    if (registration) UnregisterDeviceNotification(registration);
    registration = nullptr;
    if (window) DestroyWindow(window);
    window = nullptr;
  }
};

TComponentUSB::TComponentUSB() : impl_(std::make_unique<Impl>()) {
  impl_->owner = this;
  impl_->Create();
}

TComponentUSB::~TComponentUSB() {
  impl_->Destroy();
}

uint16_t TComponentUSB::DeviceVendorId(const std::string&) const {
  return 0;  // no service on Windows claims serial adapters as they arrive
}

std::string TComponentUSB::DevicePortName(const std::string& path) const {
  const std::string key = RelativeKeyPath(DeviceKeyPath(path));
  if (key.empty()) return {};
  return Utf8(RegistryKey(Wide(key)).String(L"PortName"));
}

}  // namespace flintmoor
