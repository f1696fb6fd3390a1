// The built flintmoor-cli monitoring the virtual ESP32 on a pseudo-terminal, as a user at a
// terminal sees it: raw mode while it runs (the keys go to the chip, the terminal echoes nothing),
// and the terminal's settings back as they were however it ends: Ctrl-], Ctrl-C or SIGTERM.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>

#include "tests/cli/CliFixture.h"

extern char** environ;

namespace flintmoor::test {
namespace {

struct Ending {
  const char* name;
  const char* keys;  // typed to end it; none: SIGTERM
};

class CliMonitorPty : public Cli, public ::testing::WithParamInterface<Ending> {
 protected:
  void SetUp() override {
    ASSERT_EQ(run(updateArgs(images())), kExitOk) << out.str();
    master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    ASSERT_EQ(tcgetattr(slave, &before), 0);
    ASSERT_NE(before.c_lflag & ICANON, 0u) << "a new terminal edits lines";
  }
  void TearDown() override {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    if (slave >= 0) close(slave);
    if (master >= 0) close(master);
  }

  void start() {
    std::vector<std::string> args = {FLINTMOOR_CLI_PATH, "--port",    "SIM",
                                     "--sim-flash",      flashFile(), "monitor"};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
      posix_spawn_file_actions_adddup2(&actions, slave, fd);
    }
    ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
  }

  // Reads the terminal until `text` has come (true) or 60 s have passed.
  bool waitFor(const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
      if (seen.find(text, searchFrom) != std::string::npos) {
        searchFrom = seen.find(text, searchFrom) + text.size();
        return true;
      }
      pollfd p{master, POLLIN, 0};
      if (poll(&p, 1, 200) <= 0) continue;
      char buffer[4096];
      const ssize_t n = ::read(master, buffer, sizeof buffer);
      if (n <= 0) return false;
      seen.append(buffer, static_cast<size_t>(n));
      // Keep only the tail: the virtual chip ticks as fast as the terminal takes it.
      if (seen.size() > (1 << 20)) {
        const size_t drop = seen.size() - (1 << 16);
        seen.erase(0, drop);
        searchFrom = searchFrom > drop ? searchFrom - drop : 0;
      }
    }
    return false;
  }
  void type(const std::string& keys) {
    ASSERT_EQ(::write(master, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  }
  // Drains the terminal while the tool ends; its exit status.
  int finish() {
    int status = 0;
    pid_t done = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while ((done = waitpid(pid, &status, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() < deadline) {
      pollfd p{master, POLLIN, 0};
      if (poll(&p, 1, 100) > 0) {
        char buffer[4096];
        if (::read(master, buffer, sizeof buffer) <= 0) break;
      }
    }
    if (done == 0) done = waitpid(pid, &status, 0);
    if (done != pid) return -1;
    pid = 0;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  int master = -1;
  int slave = -1;
  pid_t pid = 0;
  termios before{};
  std::string seen;
  size_t searchFrom = 0;
};

TEST_P(CliMonitorPty, KeysReachTheChipInRawModeAndTheTerminalIsRestored) {
  start();
  ASSERT_TRUE(waitFor("tick 2")) << seen.substr(seen.size() > 2000 ? seen.size() - 2000 : 0);
  termios during{};
  ASSERT_EQ(tcgetattr(slave, &during), 0);
  EXPECT_EQ(during.c_lflag & (ICANON | ECHO | ISIG), 0u) << "raw mode while monitoring";
  // The terminal echoes nothing now: "ping" comes back only from the chip's program.
  type("ping\r");
  ASSERT_TRUE(waitFor("ping\r\n"));
  if (GetParam().keys != nullptr) {
    type(GetParam().keys);
  } else {
    ASSERT_EQ(kill(pid, SIGTERM), 0);
  }
  EXPECT_EQ(finish(), kExitOk);
  termios after{};
  ASSERT_EQ(tcgetattr(slave, &after), 0);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(after.c_iflag, before.c_iflag);
  EXPECT_EQ(after.c_oflag, before.c_oflag);
  EXPECT_EQ(after.c_cc[VMIN], before.c_cc[VMIN]);
}

INSTANTIATE_TEST_SUITE_P(Endings, CliMonitorPty,
                         ::testing::Values(Ending{"CtrlRightBracket", "\x1d"},
                                           Ending{"CtrlC", "\x03"}, Ending{"SigTerm", nullptr}),
                         [](const ::testing::TestParamInfo<Ending>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace flintmoor::test
#endif
