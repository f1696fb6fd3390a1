// flintmoor-cli: exit statuses, usage, the file check before the job, the erase question, the
// virtual chip's flash file, the settings file and the output, run in-process and once as the
// built program.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "sim/SimFlash.h"
#include "tests/cli/CliFixture.h"

#ifndef _WIN32
#include <sys/wait.h>
#endif

namespace flintmoor::test {
namespace {

TEST_F(Cli, BadUsageExitsWith2AndShowsTheUsage) {
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"flash"},
      {"update", "a.bin", "b.bin"},
      {"erase", "a.bin"},
      {"--port"},
      {"--port", "SIM", "--speed", "9", "erase"},
      {"--port", "SIM", "--yes", "update", "a", "b", "c"},
      {"--port", "/dev/ttyUSB0", "--sim-flash", "f.bin", "erase"},
      {"--port", "SIM", "--sim-fault", "no-such-fault", "erase"},
      {"ports", "extra"},
      {"--port", "SIM", "--baud", "fast", "erase"},
      {"--port", "SIM", "--baud", "4800", "erase"},
      {"--port", "SIM", "--baud", "921600x", "erase"},
      {"--port", "SIM", "--no-skip=1", "erase"},
  };
  for (const auto& args : bad) {
    EXPECT_EQ(run(args), kExitUsage) << ::testing::PrintToString(args);
    EXPECT_NE(err.str().find("usage: flintmoor-cli"), std::string::npos);
    EXPECT_TRUE(out.str().empty());
  }
}

TEST_F(Cli, HelpPrintsTheUsageAndSucceeds) {
  EXPECT_EQ(run({"--help"}), kExitOk);
  EXPECT_EQ(out.str(), cliUsage());
  EXPECT_NE(cliUsage().find("flash-corrupt"), std::string::npos);
}

TEST_F(Cli, PortsAreListedInNaturalOrder) {
  osPorts = {"/dev/ttyUSB10", "/dev/ttyACM0", "/dev/ttyUSB2", "/dev/ttyUSB1"};
  EXPECT_EQ(run({"ports"}), kExitOk);
  EXPECT_EQ(out.str(), "/dev/ttyACM0\n/dev/ttyUSB1\n/dev/ttyUSB2\n/dev/ttyUSB10\n");
}

TEST_F(Cli, UpdateWritesTheImagesIntoTheVirtualChipsFlashFile) {
  const auto files = images();
  EXPECT_EQ(run(updateArgs(files)), kExitOk) << err.str();

  EXPECT_EQ(linesOf(out.str()), (std::vector<std::string>{"MAC: 02:00:5E:10:20:30", "OK"}));
  const std::vector<uint8_t> flash = read(flashFile());
  ASSERT_EQ(flash.size(), SimFlash::kSize);
  std::vector<uint8_t> boot = read(files[0]);
  boot[2] = 0x02;
  boot[3] = 0x20;
  EXPECT_TRUE(std::equal(boot.begin(), boot.end(), flash.begin() + 0x1000));
  const std::vector<uint8_t> part = read(files[1]);
  EXPECT_TRUE(std::equal(part.begin(), part.end(), flash.begin() + 0x8000));
  const std::vector<uint8_t> app = read(files[2]);
  EXPECT_TRUE(std::equal(app.begin(), app.end(), flash.begin() + 0x10000));

  const std::vector<std::string> status = linesOf(err.str());
  ASSERT_FALSE(status.empty());
  EXPECT_EQ(status.front(), "Connect fast #");
  EXPECT_NE(
      std::find_if(status.begin(), status.end(),
                   [](const std::string& l) { return l.rfind("66000/66000 bytes 100%", 0) == 0; }),
      status.end())
      << err.str();
  EXPECT_EQ(status.back().rfind("Virtual time: ", 0), 0u);
}

TEST_F(Cli, TheFlashFileKeepsWhatTheJobDidNotTouch) {
  std::vector<uint8_t> before(SimFlash::kSize, 0xFF);
  before[0x300000] = 0x42;
  write("flash.bin", before);
  EXPECT_EQ(run(updateArgs(images())), kExitOk);
  EXPECT_EQ(read(flashFile())[0x300000], 0x42);
}

TEST_F(Cli, AFailingFileStopsBeforeThePortIsOpened) {
  EXPECT_EQ(run(updateArgs(images(3000))), kExitJobFailed);
  EXPECT_EQ(out.str(), "Partitions: Filesize Error\n");
  EXPECT_FALSE(std::filesystem::exists(flashFile()));
  EXPECT_EQ(err.str(), "");
}

TEST_F(Cli, EraseAsksOnTheTerminalAndOnlyYesErases) {
  std::vector<uint8_t> written(SimFlash::kSize, 0xFF);
  written[0x1000] = 0x00;
  const std::vector<std::string> args = {"--port", "SIM", "--sim-flash", flashFile(), "erase"};
  for (const char* answer : {"n\n", "", "maybe\n"}) {
    write("flash.bin", written);
    EXPECT_EQ(run(args, answer), kExitOk);
    EXPECT_EQ(read(flashFile())[0x1000], 0x00) << "answer " << answer;
    EXPECT_NE(err.str().find("ERASE: Erase Flash? [y/N] "), std::string::npos);
    EXPECT_EQ(linesOf(out.str()).back(), "OK");
  }
  write("flash.bin", written);
  EXPECT_EQ(run(args, "YES\n"), kExitOk);
  EXPECT_EQ(read(flashFile())[0x1000], 0xFF);
}

TEST_F(Cli, EraseWithYesDoesNotAsk) {
  std::vector<uint8_t> written(SimFlash::kSize, 0x00);
  write("flash.bin", written);
  EXPECT_EQ(run({"--port", "SIM", "--sim-flash", flashFile(), "erase", "--yes"}), kExitOk);
  const std::vector<uint8_t> flash = read(flashFile());
  EXPECT_TRUE(std::all_of(flash.begin(), flash.end(), [](uint8_t b) { return b == 0xFF; }));
  EXPECT_EQ(err.str().find("[y/N]"), std::string::npos);
}

TEST_F(Cli, AFailedJobExitsWith1AndEndsWithTheErrorMessage) {
  auto args = updateArgs(images());
  // At the connect speed a failure ends the job: there is no slower speed to try.
  args.insert(args.begin(), {"--sim-fault", "flash-fail:1", "--baud", "115200"});
  EXPECT_EQ(run(args), kExitJobFailed);
  EXPECT_EQ(linesOf(out.str()).back(), "Error Flash");
  // The flash is saved all the same: the bootloader went in before the failing block.
  EXPECT_EQ(read(flashFile())[0x1000], 0xE9);
}

TEST_F(Cli, NoChipEndsInNoDeviceFoundWithWhatTheLineShowed) {
  EXPECT_EQ(run({"--port", "SIM", "--sim-fault", "silent", "erase", "--yes"}), kExitNoDevice);
  EXPECT_EQ(out.str(),
            "No Device Found!\nNothing came from the chip: check the cable and that this is the "
            "board's port.\n");
  EXPECT_EQ(run({"--port", "SIM", "--sim-fault", "no-boot-strap", "erase", "--yes"}),
            kExitNoDevice);
  EXPECT_EQ(linesOf(out.str()),
            (std::vector<std::string>{
                "No Device Found!",
                "The chip started its program instead of the loader: hold the BOOT (IO0) button "
                "while it resets, or check the board's auto-reset circuit."}));
}

TEST_F(Cli, ThePortAndTimingsComeFromTheSettingsFile) {
  std::ofstream(dir / "Flintmoor.ini", std::ios::binary)
      << "[CONFIG]\r\nComPort=SIM\r\nFastFirst=FALSE\r\n";
  EXPECT_EQ(run({"erase", "--yes"}), kExitOk) << err.str();
  EXPECT_EQ(linesOf(err.str()).front(), "Connect slow #");

  std::ofstream(dir / "other.ini", std::ios::binary) << "[CONFIG]\r\nComPort=SIM\r\n";
  EXPECT_EQ(run({"--ini", (dir / "other.ini").string(), "erase", "--yes"}), kExitOk);
  EXPECT_EQ(linesOf(err.str()).front(), "Connect fast #");
  // The tool only reads its settings.
  EXPECT_EQ(read((dir / "other.ini").string()).size(),
            std::string("[CONFIG]\r\nComPort=SIM\r\n").size());
}

TEST_F(Cli, FileNamesTheSystemCannotUseEndTheToolWithAMessageInsteadOfAnAbort) {
  const std::string tooLong = (dir / std::string(5000, 'a')).string();
  EXPECT_EQ(run({"--ini", tooLong, "--port", "SIM", "erase", "--yes"}), kExitUsage);
  EXPECT_NE(err.str().find("settings file not found: " + tooLong), std::string::npos);

  // The job itself goes well, but its flash cannot be kept: that fails the run, and says so last.
  EXPECT_EQ(run({"--port", "SIM", "--sim-flash", tooLong, "erase", "--yes"}), kExitJobFailed);
  EXPECT_EQ(linesOf(out.str()).back().rfind("Cannot write flash image " + tooLong, 0), 0u);
  const std::string noDir = (dir / "absent" / "flash.bin").string();
  EXPECT_EQ(run({"--port", "SIM", "--sim-flash", noDir, "erase", "--yes"}), kExitJobFailed);
  EXPECT_EQ(linesOf(out.str()).back(), "Cannot write flash image " + noDir);
}

TEST_F(Cli, NoPortAnywhereIsBadUsage) {
  EXPECT_EQ(run({"erase", "--yes"}), kExitUsage);
  EXPECT_EQ(run({"--ini", (dir / "absent.ini").string(), "erase", "--yes"}), kExitUsage);
}

TEST_F(Cli, RomOnlyWritesThroughTheRomLoaderAndTheDebugLogGoesToItsFile) {
  const std::string logFile = (dir / "debug.log").string();
  const auto files = images();
  auto args = updateArgs(files);
  args.insert(args.begin(), {"--rom-only", "--log", logFile});
  EXPECT_EQ(run(args), kExitOk) << err.str();
  EXPECT_EQ(linesOf(out.str()).back(), "OK");
  const std::vector<uint8_t> flash = read(flashFile());
  const std::vector<uint8_t> app = read(files[2]);
  EXPECT_TRUE(std::equal(app.begin(), app.end(), flash.begin() + 0x10000));
  std::ifstream in(logFile);
  const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  EXPECT_EQ(text.rfind("12288\n3072\n66000\n", 0), 0u) << "the file check's sizes come first";
  EXPECT_NE(text.find("Writing through the ROM loader\n"), std::string::npos);
  EXPECT_NE(text.find("ADR: 10000\n"), std::string::npos);
  EXPECT_NE(text.find("ZIP: "), std::string::npos);
  EXPECT_NE(err.str().find("\n66000/66000 bytes"), std::string::npos) << err.str();

  // Again: the chip holds it all already, and says so.
  EXPECT_EQ(run(args), kExitOk) << err.str();
  EXPECT_NE(err.str().find("app.bin: 66000 of 66000 bytes unchanged, skipped\n"), std::string::npos)
      << err.str();
  args.insert(args.begin(), "--no-skip");
  EXPECT_EQ(run(args), kExitOk) << err.str();
  EXPECT_EQ(err.str().find("unchanged, skipped"), std::string::npos) << err.str();
}

TEST_F(Cli, ALineThatCannotCarryTheFastSpeedIsRetriedSlowerAndBaudSetsIt) {
  auto args = updateArgs(images());
  args.insert(args.begin(), {"--sim-fault", "bridge-limit"});
  EXPECT_EQ(run(args), kExitOk) << err.str();
  EXPECT_NE(err.str().find("\nRetrying at 460800\n"), std::string::npos) << err.str();
  EXPECT_EQ(linesOf(out.str()).back(), "OK");

  args.insert(args.begin(), {"--baud", "460800"});
  EXPECT_EQ(run(args), kExitOk) << err.str();
  EXPECT_EQ(err.str().find("Retrying"), std::string::npos) << err.str();
}

TEST_F(Cli, OnATerminalProgressIsOneRedrawnLine) {
  EXPECT_EQ(run(updateArgs(images()), "", true), kExitOk);
  const std::string text = err.str();
  EXPECT_NE(text.find("\r[##############################] 66000/66000 bytes 100%"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("\n66000/66000"), std::string::npos);
}

#ifndef _WIN32
TEST_F(Cli, TheBuiltProgramReportsItsOutcomeInTheExitStatus) {
  const std::string exe = FLINTMOOR_CLI_PATH;
  const auto files = images();
  const std::string quiet = " >/dev/null 2>&1";
  const int usage = std::system((exe + " update" + quiet).c_str());
  ASSERT_TRUE(WIFEXITED(usage));
  EXPECT_EQ(WEXITSTATUS(usage), kExitUsage);

  const std::string update = exe + " --port SIM --sim-flash '" + flashFile() + "' update '" +
                             files[0] + "' '" + files[1] + "' '" + files[2] + "'" + quiet;
  const int ok = std::system(update.c_str());
  ASSERT_TRUE(WIFEXITED(ok));
  EXPECT_EQ(WEXITSTATUS(ok), kExitOk);
  EXPECT_EQ(read(flashFile())[0x8000], pattern(3072, 2)[0]);

  const int noDevice =
      std::system((exe + " --port SIM --sim-fault silent erase --yes" + quiet).c_str());
  ASSERT_TRUE(WIFEXITED(noDevice));
  EXPECT_EQ(WEXITSTATUS(noDevice), kExitNoDevice);
  const int failed =
      std::system((exe + " --port SIM --sim-fault s2 erase --yes" + quiet).c_str());
  ASSERT_TRUE(WIFEXITED(failed));
  EXPECT_EQ(WEXITSTATUS(failed), kExitJobFailed);
}
#endif

}  // namespace
}  // namespace flintmoor::test
