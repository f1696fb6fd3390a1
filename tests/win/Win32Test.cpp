// The Win32 side that needs no serial device, run under Wine: the port list from the registry key
// HARDWARE\DEVICEMAP\SERIALCOMM, the device-notification window of TComponentUSB with its
// "PortName" lookup, and the version resource attached to the executables.
#include <windows.h>
// windows.h first: dbt.h and winver.h need its types.
#include <dbt.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <winver.h>

#include <algorithm>
#include <cstddef>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "job/FlashJob.h"
#include "base/Clock.h"
#include "comio/Platform.h"
#include "comio/U_Usb.h"
#include "comio/uComIo.h"
#include "log/Log.h"

namespace flintmoor {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr wchar_t kSerialComm[] = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";

// A registry key under HKEY_LOCAL_MACHINE that the test creates and may remove again.
class Key {
 public:
  explicit Key(const std::wstring& path, DWORD options = REG_OPTION_NON_VOLATILE) {
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, options, KEY_ALL_ACCESS,
                        nullptr, &key_, nullptr) != ERROR_SUCCESS) {
      throw std::runtime_error("cannot create a registry key");
    }
  }
  ~Key() { RegCloseKey(key_); }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;

  void setString(const std::wstring& name, const std::wstring& value) {
    RegSetValueExW(key_, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  }
  void setNumber(const std::wstring& name, DWORD value) {
    RegSetValueExW(key_, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                   sizeof value);
  }
  void remove(const std::wstring& name) { RegDeleteValueW(key_, name.c_str()); }

  // Every string value (name -> data) the key holds.
  std::map<std::wstring, std::wstring> strings() const {
    std::map<std::wstring, std::wstring> out;
    for (DWORD i = 0;; ++i) {
      wchar_t name[256];
      DWORD nameChars = 256;
      wchar_t data[256];
      DWORD dataBytes = sizeof data;
      DWORD type = 0;
      if (RegEnumValueW(key_, i, name, &nameChars, nullptr, &type, reinterpret_cast<BYTE*>(data),
                        &dataBytes) != ERROR_SUCCESS) {
        break;
      }
      if (type == REG_SZ) out[name] = std::wstring(data, wcsnlen(data, dataBytes / 2));
    }
    return out;
  }

 private:
  HKEY key_ = nullptr;
};

std::vector<std::string> listPorts(std::vector<std::string> list) {
  SteadyClock clock;
  TComIo com(clock, nullptr, listOsPorts);
  com.ListComPorts(list);
  return list;
}

TEST(PortList, RegistryNamesComeSortedAsTextIgnoringCase) {
  Key key(kSerialComm, REG_OPTION_VOLATILE);
  key.setString(L"\\Device\\FlintmoorTest0", L"COM35");
  key.setString(L"\\Device\\FlintmoorTest1", L"com24");
  key.setString(L"\\Device\\FlintmoorTest2", L"COM105");
  std::vector<std::string> ports = listPorts({"stale entry"});
  for (const wchar_t* name :
       {L"\\Device\\FlintmoorTest0", L"\\Device\\FlintmoorTest1", L"\\Device\\FlintmoorTest2"}) {
    key.remove(name);
  }

  // Every value of the key is listed (Wine adds its own ports, such as COM1) and nothing else.
  EXPECT_EQ(std::count(ports.begin(), ports.end(), "stale entry"), 0);
  std::vector<std::string> ours;
  std::copy_if(ports.begin(), ports.end(), std::back_inserter(ours),
               [](const std::string& p) { return p == "COM35" || p == "com24" || p == "COM105"; });
  // As text, case ignored: COM105 before com24 before COM35.
  EXPECT_THAT(ours, ElementsAre("COM105", "com24", "COM35"));
  auto noCase = [](const std::string& a, const std::string& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [](char x, char y) { return toupper(x) < toupper(y); });
  };
  EXPECT_TRUE(std::is_sorted(ports.begin(), ports.end(), noCase));
}

// The identity list names the same registry ports; a port that no device of the ports class
// claims (these test values, and every port under Wine, which lists no USB devices) comes
// without identity.
TEST(PortList, IdentityListNamesTheRegistryPortsAndLeavesUnclaimedOnesWithoutIdentity) {
  Key key(kSerialComm, REG_OPTION_VOLATILE);
  key.setString(L"\\Device\\FlintmoorTest0", L"COM36");
  const std::vector<std::string> names = listOsPorts();
  const std::vector<PortInfo> ports = listOsPortInfo();
  key.remove(L"\\Device\\FlintmoorTest0");

  std::vector<std::string> listed;
  for (const PortInfo& port : ports) listed.push_back(port.name);
  EXPECT_EQ(listed, names);
  const auto ours = std::find_if(ports.begin(), ports.end(),
                                 [](const PortInfo& port) { return port.name == "COM36"; });
  ASSERT_NE(ours, ports.end());
  EXPECT_FALSE(ours->usb);
  EXPECT_EQ(ours->description(), "");
}

TEST(PortList, WithoutTheRegistryKeyTheListStaysAsItWas) {
  std::map<std::wstring, std::wstring> saved = Key(kSerialComm, REG_OPTION_VOLATILE).strings();
  ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, kSerialComm), ERROR_SUCCESS);
  std::vector<std::string> ports = listPorts({"COM7", "COM2"});
  Key restored(kSerialComm, REG_OPTION_VOLATILE);
  for (const auto& [name, data] : saved) restored.setString(name, data);

  EXPECT_THAT(ports, ElementsAre("COM7", "COM2"));
}

// The notification window of a component, found by its class among the message-only windows.
HWND notificationWindow() {
  return FindWindowExW(HWND_MESSAGE, nullptr, L"FlintmoorUsbNotification", nullptr);
}

// A device-interface notification record as the system sends it: the fixed part, then the path.
struct Notification {
  explicit Notification(const std::wstring& path, DWORD deviceType = DBT_DEVTYP_DEVICEINTERFACE) {
    const size_t nameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
    bytes.assign(nameOffset + (path.size() + 1) * sizeof(wchar_t), 0);
    auto* record = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(bytes.data());
    record->dbcc_size = static_cast<DWORD>(bytes.size());
    record->dbcc_devicetype = deviceType;
    std::copy(path.begin(), path.end(), reinterpret_cast<wchar_t*>(bytes.data() + nameOffset));
  }
  LPARAM lParam() { return reinterpret_cast<LPARAM>(bytes.data()); }
  std::vector<unsigned char> bytes;  // heap storage: aligned for the record's DWORD fields
};

constexpr wchar_t kBridgePath[] =
    L"\\\\?\\USB#VID_1234&PID_5678#0001#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
constexpr char kBridgePathUtf8[] =
    "\\\\?\\USB#VID_1234&PID_5678#0001#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";

class UsbComponent : public ::testing::Test {
 protected:
  UsbComponent() {
    usb.OnUSBArrival = [this](const std::string& path) { events.push_back("arrival " + path); };
    usb.OnUSBRemove = [this](const std::string& path) { events.push_back("removal " + path); };
    usb.OnException = [this](const std::string& message) {
      events.push_back("exception " + message);
    };
    window = notificationWindow();
  }

  LRESULT deviceChange(WPARAM event, Notification& record) {
    return SendMessageW(window, WM_DEVICECHANGE, event, record.lParam());
  }

  TComponentUSB usb;
  HWND window = nullptr;
  std::vector<std::string> events;
};

TEST_F(UsbComponent, ArrivalAndCompletedRemovalReachTheHandlersWithTheInterfacePath) {
  ASSERT_NE(window, nullptr);
  Notification record(kBridgePath);
  EXPECT_EQ(deviceChange(DBT_DEVICEARRIVAL, record), 0);
  EXPECT_EQ(deviceChange(DBT_DEVICEREMOVECOMPLETE, record), 0);
  EXPECT_THAT(events, ElementsAre(std::string("arrival ") + kBridgePathUtf8,
                                  std::string("removal ") + kBridgePathUtf8));
}

TEST_F(UsbComponent, OtherDeviceEventsAndOtherRecordKindsAreIgnored) {
  ASSERT_NE(window, nullptr);
  Notification record(kBridgePath);
  for (WPARAM event : {DBT_DEVICEQUERYREMOVE, DBT_DEVICEQUERYREMOVEFAILED, DBT_DEVICEREMOVEPENDING,
                       DBT_DEVNODES_CHANGED, DBT_CONFIGCHANGED}) {
    deviceChange(event, record);
  }
  Notification port(L"COM5", DBT_DEVTYP_PORT);
  deviceChange(DBT_DEVICEARRIVAL, port);
  Notification volume(L"", DBT_DEVTYP_VOLUME);
  deviceChange(DBT_DEVICEREMOVECOMPLETE, volume);
  EXPECT_THAT(events, IsEmpty());
}

TEST_F(UsbComponent, AHandlerThatRaisesIsReportedAndGoesNoFurther) {
  ASSERT_NE(window, nullptr);
  usb.OnUSBArrival = [](const std::string&) { throw std::runtime_error("handler broke"); };
  Notification record(kBridgePath);
  EXPECT_EQ(deviceChange(DBT_DEVICEARRIVAL, record), 0);
  EXPECT_THAT(events, ElementsAre("exception handler broke"));
}

TEST_F(UsbComponent, PortNameComesFromTheDeviceInstanceKey) {
  const std::wstring params =
      L"SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_1234&PID_5678\\0001\\Device Parameters";
  {
    Key key(params);
    key.setString(L"PortName", L"COM5");
    EXPECT_EQ(usb.DevicePortName(kBridgePathUtf8), "COM5");
    key.setNumber(L"PortName", 5);
    EXPECT_EQ(usb.DevicePortName(kBridgePathUtf8), "");
    key.remove(L"PortName");
    EXPECT_EQ(usb.DevicePortName(kBridgePathUtf8), "");
  }
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, params.c_str());
  EXPECT_EQ(usb.DevicePortName("\\\\?\\USB#VID_1234&PID_9999#0001#{a5dcbf10}"), "");
  EXPECT_EQ(usb.DevicePortName("\\\\?\\HID#no-vendor-marker"), "");
}

// The wiring of the GUI's start-up, with the log in memory: a removal of the bridge behind the
// shown port traces the removal and "CLOSE COM"; another device's removal only the removal.
TEST_F(UsbComponent, RemovalOfTheShownPortsBridgeIsTracedByTheSerialLinkModule) {
  ASSERT_NE(window, nullptr);
  const std::wstring params =
      L"SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_1234&PID_5678\\0001\\Device Parameters";
  Key key(params);
  key.setString(L"PortName", L"COM5");

  SteadyClock clock;
  MemoryLog log;
  TComIo com(clock, nullptr, listOsPorts);
  com.UsbLog = &log;
  com.CurrentPortText = [] { return std::string("COM5"); };
  com.DevicePortName = [this](const std::string& path) { return usb.DevicePortName(path); };
  usb.OnUSBArrival = [&com](const std::string& path) { com.UsbArrival(path); };
  usb.OnUSBRemove = [&com](const std::string& path) { com.UsbRemove(path); };

  Notification bridge(kBridgePath);
  Notification mouse(L"\\\\?\\USB#VID_046D&PID_C077#7&1#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
  deviceChange(DBT_DEVICEARRIVAL, bridge);
  deviceChange(DBT_DEVICEREMOVECOMPLETE, mouse);
  deviceChange(DBT_DEVICEREMOVECOMPLETE, bridge);
  key.remove(L"PortName");
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, params.c_str());

  EXPECT_THAT(log.lines(),
              ElementsAre(std::string("ARRIVE: ") + kBridgePathUtf8,
                          "REMOVE: \\\\?\\USB#VID_046D&PID_C077#7&1#{a5dcbf10-6530-11d2-901f-"
                          "00c04fb951ed}",
                          std::string("REMOVE: ") + kBridgePathUtf8, "CLOSE COM"));
}

// Windows converts file names to UTF-16, and bytes that are not UTF-8 (an "ü" of an 8-bit code
// page, say, from a settings file written elsewhere) convert to nothing: such a name names no file,
// and the file check says so rather than raising.
TEST(ImageFileNames, BytesThatAreNotUtf8NameNoFile) {
  MemoryLog log;
  FileCheck check;
  EXPECT_NO_THROW(check = checkImageFile(2, "firmware \xFC.bin", log));
  EXPECT_FALSE(check.ok);
  EXPECT_EQ(check.hint, "File not found");
}

// The "FileVersion" text of an executable's version resource, empty when it has none.
std::string fileVersion(const std::wstring& path) {
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  if (size == 0) return {};
  std::vector<unsigned char> info(size);
  if (!GetFileVersionInfoW(path.c_str(), 0, size, info.data())) return {};
  wchar_t* text = nullptr;
  UINT chars = 0;
  if (!VerQueryValueW(info.data(), L"\\StringFileInfo\\040904B0\\FileVersion",
                      reinterpret_cast<void**>(&text), &chars) ||
      text == nullptr) {
    return {};
  }
  std::string out;
  for (UINT i = 0; i < chars && text[i] != L'\0'; ++i) out.push_back(static_cast<char>(text[i]));
  return out;
}

std::string buildVersion() {
  return std::to_string(FLINTMOOR_VERSION_MAJOR) + "." + std::to_string(FLINTMOOR_VERSION_MINOR) +
         "." + std::to_string(FLINTMOOR_VERSION_PATCH) + ".0";
}

TEST(Resources, ExecutablesCarryTheBuildsVersionAndRunWithUtf8AsTheirCodePage) {
  EXPECT_EQ(GetACP(), static_cast<UINT>(CP_UTF8));
  wchar_t self[MAX_PATH];
  ASSERT_GT(GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
  EXPECT_EQ(fileVersion(self), buildVersion());
#ifdef FLINTMOOR_CLI_EXE
  std::string cli = FLINTMOOR_CLI_EXE;
  EXPECT_EQ(fileVersion(std::wstring(cli.begin(), cli.end())), buildVersion());
#endif
}

}  // namespace
}  // namespace flintmoor
