// The command-line tool's console on POSIX systems.
#include <unistd.h>

#include <filesystem>
#include <system_error>

#include "cli/Console.h"

namespace flintmoor {

bool stderrIsTerminal() {
  return isatty(STDERR_FILENO) == 1;
}

std::string executableDir(const char* argv0) {
  std::error_code ec;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) exe = std::filesystem::absolute(argv0 != nullptr ? argv0 : "", ec);
  return exe.parent_path().string();
}

}  // namespace flintmoor
