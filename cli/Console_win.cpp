// The command-line tool's console on Windows.
#include <io.h>
#include <stdio.h>
#include <windows.h>

#include <atomic>
#include <filesystem>
#include <string>

#include "cli/Console.h"

namespace flintmoor {

bool stderrIsTerminal() {
  return _isatty(_fileno(stderr)) != 0;
}

std::string executableDir(const char* argv0) {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return std::filesystem::path(argv0 != nullptr ? argv0 : "").parent_path().string();
    if (n < buffer.size()) {
      buffer.resize(n);
      break;
    }
    buffer.resize(buffer.size() * 2);
  }
  const std::u8string dir = std::filesystem::path(buffer).parent_path().u8string();
  return std::string(dir.begin(), dir.end());
}

namespace {

std::atomic<bool> interrupted{false};
UINT secondExitStatus = 1;

// Runs on a thread of its own that the system starts for the event.
BOOL WINAPI onConsoleEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
      if (interrupted.exchange(true)) ExitProcess(secondExitStatus);
      // Closing the console ends the process when the handler returns: give the job the time
      // the system allows to reset the chip and close the port.
      if (event == CTRL_CLOSE_EVENT) Sleep(4000);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

void installInterruptHandler(int exitStatus) {
  secondExitStatus = static_cast<UINT>(exitStatus);
  SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

bool interruptRequested() {
  return interrupted.load();
}

}  // namespace flintmoor
