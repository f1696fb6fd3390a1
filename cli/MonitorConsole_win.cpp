// The monitor's console on Windows: the console's keys through the C runtime's _kbhit/_getch
// (which read keys without echo and without line editing), and addr2line through _popen.
#include <conio.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "cli/MonitorConsole.h"

namespace flintmoor {

bool stdoutIsTerminal() {
  return _isatty(_fileno(stdout)) != 0;
}

namespace {

class ConsoleKeyboard : public MonitorKeyboard {
 public:
  std::string poll() override {
    std::string typed;
    while (_kbhit() != 0) {
      const int c = _getch();
      if (c == 0 || c == 0xE0) {
        _getch();  // a function or arrow key: two codes, nothing to send
        continue;
      }
      typed += static_cast<char>(c);
    }
    return typed;
  }
};

// One argument for cmd.exe's command line, in double quotes.
std::string quoted(const std::string& arg) {
  return "\"" + arg + "\"";
}

}  // namespace

std::unique_ptr<MonitorKeyboard> openTerminalKeyboard() {
  if (_isatty(_fileno(stdin)) == 0) return nullptr;
  return std::make_unique<ConsoleKeyboard>();
}

std::optional<std::string> runToolOutput(const std::vector<std::string>& argv) {
  std::string command;
  for (const std::string& a : argv) command += (command.empty() ? "" : " ") + quoted(a);
  // cmd.exe drops the outer pair of quotes of a line that starts with one.
  command = "\"" + command + " 2>NUL <NUL\"";
  FILE* pipe = _popen(command.c_str(), "rb");
  if (pipe == nullptr) return std::nullopt;
  std::string output;
  char buffer[4096];
  size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
  if (_pclose(pipe) != 0) return std::nullopt;
  return output;
}

std::string findOnPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  if (path == nullptr) return {};
  const std::string dirs = path;
  size_t start = 0;
  for (;;) {
    const size_t end = dirs.find(';', start);
    const std::string dir = dirs.substr(start, end - start);
    std::error_code ec;
    for (const char* ext : {".exe", ""}) {
      const std::filesystem::path candidate = std::filesystem::path(dir) / (name + ext);
      if (!dir.empty() && std::filesystem::is_regular_file(candidate, ec))
        return candidate.string();
    }
    if (end == std::string::npos) return {};
    start = end + 1;
  }
}

}  // namespace flintmoor
