// The command-line tool's console on Windows.
#include <io.h>
#include <stdio.h>
#include <windows.h>

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

}  // namespace flintmoor
