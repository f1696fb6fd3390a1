// The built flintmoor-cli stopped by Ctrl-C (SIGINT) or SIGTERM in the middle of a real-time
// update on the virtual ESP32: it resets the chip into its application, closes the port, says
// "Interrupted" and exits with 5, without reporting any image as written.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "tests/cli/CliFixture.h"

extern char** environ;

namespace flintmoor::test {
namespace {

std::string readText(const std::string& path) {
  std::ifstream in(path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class CliSignal : public Cli, public ::testing::WithParamInterface<int> {};

TEST_P(CliSignal, StopsTheJobResetsTheChipAndExitsWith5) {
  const auto files = images();
  const std::string logFile = (dir / "debug.log").string();
  const std::string outFile = (dir / "out.txt").string();
  std::vector<std::string> args = {FLINTMOOR_CLI_PATH, "--realtime", "--log", logFile};
  const auto update = updateArgs(files);
  args.insert(args.end(), update.begin(), update.end());
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outFile.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);

  // Wait (on the wall clock: the tool runs in real time) until the images are being written.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (readText(logFile).find("Writing through the flasher stub") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_NE(readText(logFile).find("Writing through the flasher stub"), std::string::npos);
  ASSERT_EQ(kill(pid, GetParam()), 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);

  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), kExitInterrupted);
  const std::vector<std::string> out = linesOf(readText(outFile));
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(out.back(), "Interrupted");
  EXPECT_EQ(std::count(out.begin(), out.end(), "OK"), 0) << readText(outFile);
  const std::string log = readText(logFile);
  EXPECT_NE(log.find("Virtual chip: running its application"), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(Signals, CliSignal, ::testing::Values(SIGINT, SIGTERM),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::string(info.param == SIGINT ? "SigInt" : "SigTerm");
                         });

}  // namespace
}  // namespace flintmoor::test
#endif
