// The command-line tool's console on POSIX systems.
#include <signal.h>
#include <unistd.h>

#include <atomic>
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

namespace {

std::atomic<bool> interrupted{false};
int secondExitStatus = 1;

extern "C" void onInterrupt(int) {
  if (interrupted.exchange(true)) _exit(secondExitStatus);
}

}  // namespace

void installInterruptHandler(int exitStatus) {
  secondExitStatus = exitStatus;
  struct sigaction action {};
  action.sa_handler = onInterrupt;
  sigemptyset(&action.sa_mask);
  // Blocking reads and sleeps resume after the handler; the job looks at the flag per packet.
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

bool interruptRequested() {
  return interrupted.load();
}

}  // namespace flintmoor
