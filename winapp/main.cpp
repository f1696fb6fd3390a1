// Start-up of the Win32 window program: the main window, the log window, the message dialog and
// the serial link module with its USB watcher, in this order; then the message loop; the settings
// go to disk at the end. Switches: "-d" (log window, copy into dist\), "--simulate" (the port
// "SIM", a virtual ESP32 in real time), and with it "--sim-flash FILE" (the virtual chip's flash
// is loaded from FILE when it exists and saved there when the program ends).
#include <windows.h>
// windows.h first: the others need its types.
#include <commctrl.h>
#include <shellapi.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/ProgramPorts.h"
#include "base/Clock.h"
#include "base/Error.h"
#include "comio/U_Usb.h"
#include "comio/uComIo.h"
#include "sim/VirtualEsp32.h"
#include "winapp/DebugWindow.h"
#include "winapp/MainWindow.h"
#include "winapp/MsgBox.h"
#include "winapp/WinText.h"

namespace {

using namespace flintmoor;

std::vector<std::string> commandLine() {
  int argc = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.push_back(win::utf8(argv[i]));
  LocalFree(argv);
  return args;
}

std::string exePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n < path.size()) {
      path.resize(n);
      return win::utf8(path);
    }
    path.resize(path.size() * 2);
  }
}

std::string optionValue(const std::vector<std::string>& args, const char* option) {
  const auto it = std::find(args.begin(), args.end(), option);
  return it != args.end() && it + 1 != args.end() ? *(it + 1) : std::string();
}

int messageLoop(win::TMain& main) {
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (!main.handleDialogMessage(msg)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
  return static_cast<int>(msg.wParam);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCmd) {
  INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_WIN95_CLASSES | ICC_BAR_CLASSES | ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&icc);
  const std::vector<std::string> args = commandLine();
  const bool simulate = std::find(args.begin(), args.end(), "--simulate") != args.end();

  win::TMain mainWindow(instance, exePath(), args);
  win::TDebug debug(instance);
  win::TMsgBox msgBox(instance);

  // One clock for everything: in real-time mode it paces the virtual chip by the wall clock and
  // behaves as a steady clock for real ports.
  VirtualClock clock;
  clock.setRealTime(true);
  ProgramPorts ports(clock, simulate);
  const std::string flashFile = simulate ? optionValue(args, "--sim-flash") : std::string();
  if (!flashFile.empty() &&
      GetFileAttributesW(win::wide(flashFile).c_str()) != INVALID_FILE_ATTRIBUTES) {
    try {
      ports.board()->flash().load(flashFile);
    } catch (const Exception& e) {
      debug.S(e.what());
    }
  }
  TComIo com(clock, ports.factory(), ports.lister());
  mainWindow.setPortInfoLister(ports.infoLister());

  // USB hot-plug tracing through the device-notification window.
  TComponentUSB usb;
  usb.OnUSBArrival = [&com](const std::string& path) { com.UsbArrival(path); };
  usb.OnUSBRemove = [&com](const std::string& path) { com.UsbRemove(path); };
  usb.OnException = [&msgBox](const std::string& message) {
    msgBox.Execute(message, mtError, "Error", msgBut(mbOK), true);
  };
  com.UsbLog = &debug;
  com.CurrentPortText = [&mainWindow] { return mainWindow.portName(); };
  com.DevicePortName = [&usb](const std::string& path) { return usb.DevicePortName(path); };
  com.DeviceVendorId = [&usb](const std::string& path) { return usb.DeviceVendorId(path); };

  mainWindow.attach(debug, msgBox, com);
  mainWindow.show(showCmd);
  const int rc = messageLoop(mainWindow);
  mainWindow.saveSettingsFile();
  if (!flashFile.empty()) {
    try {
      ports.board()->flash().save(flashFile);
    } catch (const Exception& e) {
      debug.S(e.what());
    }
  }
  // The serial link goes before the window (reverse order of creation).
  mainWindow.detach();
  return rc;
}
