// The monitor's console on POSIX systems: termios raw mode, poll() on standard input, and
// addr2line through posix_spawn.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "cli/MonitorConsole.h"

extern char** environ;

namespace flintmoor {

bool stdoutIsTerminal() {
  return isatty(STDOUT_FILENO) == 1;
}

namespace {

// The settings to put back from a signal handler (only async-signal-safe calls there).
termios savedTerminal{};
volatile sig_atomic_t terminalSaved = 0;
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
struct sigaction previousActions[sizeof kSignals / sizeof kSignals[0]];

extern "C" void restoreOnSignal(int sig) {
  if (terminalSaved != 0) tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
  for (size_t i = 0; i < sizeof kSignals / sizeof kSignals[0]; ++i) {
    if (kSignals[i] != sig) continue;
    const struct sigaction& prev = previousActions[i];
    if (prev.sa_handler == SIG_IGN) return;
    if (prev.sa_handler != SIG_DFL) {
      // The tool's own handler (the stop flag) runs as before.
      prev.sa_handler(sig);
      return;
    }
    sigaction(sig, &prev, nullptr);
    raise(sig);
  }
}

class PosixKeyboard : public MonitorKeyboard {
 public:
  PosixKeyboard() {
    tcgetattr(STDIN_FILENO, &savedTerminal);
    terminalSaved = 1;
    struct sigaction action {};
    action.sa_handler = restoreOnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (size_t i = 0; i < sizeof kSignals / sizeof kSignals[0]; ++i) {
      sigaction(kSignals[i], &action, &previousActions[i]);
    }
    termios raw = savedTerminal;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
    raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL | INLCR | IGNCR);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &raw);
  }
  ~PosixKeyboard() override {
    tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
    for (size_t i = 0; i < sizeof kSignals / sizeof kSignals[0]; ++i) {
      sigaction(kSignals[i], &previousActions[i], nullptr);
    }
    terminalSaved = 0;
  }

  std::string poll() override {
    std::string typed;
    while (open_) {
      pollfd p{STDIN_FILENO, POLLIN, 0};
      if (::poll(&p, 1, 0) <= 0 || (p.revents & (POLLIN | POLLHUP)) == 0) break;
      char buffer[256];
      const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
      if (n <= 0) {
        if (n < 0 && errno == EINTR) continue;
        open_ = false;  // end of input: no more keys
        break;
      }
      typed.append(buffer, static_cast<size_t>(n));
    }
    return typed;
  }

 private:
  bool open_ = true;
};

}  // namespace

std::unique_ptr<MonitorKeyboard> openTerminalKeyboard() {
  if (isatty(STDIN_FILENO) != 1) return nullptr;
  return std::make_unique<PosixKeyboard>();
}

std::optional<std::string> runToolOutput(const std::vector<std::string>& argv) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return std::nullopt;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
  posix_spawn_file_actions_addclose(&actions, pipeFds[1]);
  std::vector<char*> args;
  std::vector<std::string> copies = argv;
  for (std::string& a : copies) args.push_back(a.data());
  args.push_back(nullptr);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  if (spawned != 0) {
    close(pipeFds[0]);
    return std::nullopt;
  }
  std::string output;
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
    if (n > 0) {
      output.append(buffer, static_cast<size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  close(pipeFds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return output;
}

std::string findOnPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  if (path == nullptr) return {};
  const std::string dirs = path;
  size_t start = 0;
  for (;;) {
    const size_t end = dirs.find(':', start);
    const std::string dir = dirs.substr(start, end - start);
    const std::filesystem::path candidate = std::filesystem::path(dir.empty() ? "." : dir) / name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate.string();
    if (end == std::string::npos) return {};
    start = end + 1;
  }
}

}  // namespace flintmoor
