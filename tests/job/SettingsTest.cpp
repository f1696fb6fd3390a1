// The settings kept in the file: connection settings, port, file names and window placement,
// read, used and written back.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "job/IniFile.h"
#include "job/Settings.h"
#include "log/Log.h"
#include "tests/support/TempDir.h"

namespace flintmoor {
namespace {

using testing::readBytes;
using testing::TempDir;

IniFile fromBytes(std::string_view bytes) {
  IniFile ini("/nonexistent-dir-for-flintmoor-tests", kSettingsFileName);
  ini.loadFromBytes(bytes);
  return ini;
}

// One monitor of 1920 x 1080 at the origin.
ScreenInfo fullHd(int ppi = 96) {
  return {1920, 1080, ppi, [](int x, int y) { return x >= 0 && y >= 0 && x < 1920 && y < 1080; }};
}

TEST(Settings, FirstRunWritesEverySectionWithItsDefaults) {
  TempDir dir;
  IniFile ini(dir.str(), kSettingsFileName);
  MemoryLog log;
  const TConfig config = readConfigAsRead(ini, log);
  EXPECT_EQ(readComPort(ini), "");
  // The order the window closes in: placement, connection settings, files.
  WindowPlacement placement;
  placement.left = 100, placement.top = 200, placement.right = 485, placement.bottom = 445;
  writePlacement(ini, placement, fullHd(), "butUpdate");
  writeConfig(ini, config, "COM3");
  writeFiles(ini, readFiles(ini));
  ASSERT_TRUE(ini.save(&log));
  EXPECT_EQ(readBytes(dir.file("Flintmoor.ini")),
            "[Main]\r\nFormVersion=0\r\nShowCmd=1\r\nFlags=0\r\nPixelsPerInch=96\r\n"
            "MinMaxPos(1920x1080)=-1,-1,-1,-1\r\nMinMaxPos=-1,-1,-1,-1\r\n"
            "NormPos(1920x1080)=100,200,485,445\r\nNormPos=100,200,485,445\r\n"
            "ActiveControl=butUpdate\r\n\r\n"
            "[CONFIG]\r\nComPort=COM3\r\nConnBaud=115200\r\nFastBaud=921600\r\n"
            "FastFirst=TRUE\r\nSlowLow=1400\r\nSlowHigh=500\r\nFastLow=150\r\nFastHigh=100\r\n"
            "DoBeep=TRUE\r\n\r\n"
            "[FILES]\r\nBootloader=\r\nPartitions=\r\nFirmware=\r\n\r\n");
  EXPECT_TRUE(log.lines().empty());
}

TEST(Settings, WordsEmptyValuesAndLowerCaseNamesAreReadAndWrittenBackCanonically) {
  IniFile ini = fromBytes(
      "; my board\r\n[config]\r\nfastfirst=no\r\nDoBeep=Y\r\nconnbaud=\r\nMyNote=blue\r\n"
      "[files]\r\nfirmware=app.bin\r\n");
  MemoryLog log;
  TConfig config = readConfigAsRead(ini, log);
  EXPECT_FALSE(config.FastFirst);
  EXPECT_TRUE(config.DoBeep);
  EXPECT_EQ(config.ConnBaud, 0u);
  EXPECT_EQ(readFiles(ini), (std::array<std::string, 3>{"", "", "app.bin"}));
  EXPECT_FALSE(fromBytes("[CONFIG]\r\nDoBeep=0\r\n").readBool(kSectionConfig, "DoBeep", true));
  EXPECT_FALSE(readConfigAsRead(fromBytes("[CONFIG]\r\nDoBeep=\r\n"), log).DoBeep);

  writeConfig(ini, config, "COM7");
  writeFiles(ini, readFiles(ini));
  EXPECT_EQ(ini.toBytes(),
            "[config]\r\nFastFirst=FALSE\r\nDoBeep=TRUE\r\nConnBaud=0\r\nMyNote=blue\r\n"
            "ComPort=COM7\r\nFastBaud=921600\r\nSlowLow=1400\r\nSlowHigh=500\r\n"
            "FastLow=150\r\nFastHigh=100\r\n\r\n"
            "[files]\r\nFirmware=app.bin\r\nBootloader=\r\nPartitions=\r\n\r\n");
  EXPECT_TRUE(log.lines().empty());
}

TEST(Settings, ValueThatDoesNotConvertFallsBackAndTheRestIsStillRead) {
  MemoryLog log;
  const TConfig config = readConfigAsRead(
      fromBytes("[CONFIG]\r\nConnBaud=fast\r\nFastFirst=sometimes\r\nSlowLow=2000\r\n"), log);
  EXPECT_EQ(config.ConnBaud, 115200u);
  EXPECT_TRUE(config.FastFirst);
  EXPECT_EQ(config.SlowLow, 2000u);
  ASSERT_EQ(log.lines().size(), 2u);
  EXPECT_NE(log.lines()[0].find("ConnBaud"), std::string::npos);
  EXPECT_NE(log.lines()[1].find("FastFirst"), std::string::npos);
}

TEST(Settings, OutOfRangeValuesAreUsedClampedButWrittenBackAsRead) {
  IniFile ini = fromBytes(
      "[CONFIG]\r\nConnBaud=-1\r\nFastBaud=0\r\nSlowLow=20000\r\nFastLow=10000\r\n"
      "FastHigh=$10\r\n");
  MemoryLog log;
  const TConfig asRead = readConfigAsRead(ini, log);
  EXPECT_EQ(asRead.ConnBaud, 4294967295u);  // a negative value wraps
  const TConfig used = readConfig(ini, log);
  EXPECT_EQ(used.ConnBaud, 5000000u);
  EXPECT_EQ(used.FastBaud, 300u);
  EXPECT_EQ(used.SlowLow, 10000u);
  EXPECT_EQ(used.FastLow, 10000u);  // the limits themselves are inside
  EXPECT_EQ(used.FastHigh, 16u);
  EXPECT_EQ(log.lines().size(), 3u);  // one line per clamped value

  writeConfig(ini, asRead, "");
  EXPECT_EQ(ini.value(kSectionConfig, "ConnBaud"), "-1");
  EXPECT_EQ(ini.value(kSectionConfig, "FastBaud"), "0");
  EXPECT_EQ(ini.value(kSectionConfig, "SlowLow"), "20000");
}

TEST(Placement, ShowCmdMapsToTheWindowState) {
  for (int cmd : {1, 5, 9}) EXPECT_EQ(stateOfShowCmd(cmd), WindowState::Normal) << cmd;
  for (int cmd : {2, 6, 7}) EXPECT_EQ(stateOfShowCmd(cmd), WindowState::Minimized) << cmd;
  EXPECT_EQ(stateOfShowCmd(3), WindowState::Maximized);
  for (int cmd : {0, 4, 8}) EXPECT_FALSE(stateOfShowCmd(cmd).has_value()) << cmd;
}

TEST(Placement, SavedPositionStateAndFocusAreRestored) {
  PlacementRestore r = restorePlacement(
      fromBytes("[Main]\r\nShowCmd=2\r\nPixelsPerInch=96\r\nNormPos(1920x1080)=300,400,0,0\r\n"
                "NormPos=1,2,3,4\r\nActiveControl=cbPort\r\n"),
      10, 20, 385, 245, fullHd());
  EXPECT_TRUE(r.move);
  EXPECT_EQ(std::pair(r.left, r.top), std::pair(300, 400));
  EXPECT_EQ(r.state, WindowState::Minimized);
  EXPECT_EQ(r.activeControl, "cbPort");

  // Another desktop size: the plain key. An edge that does not convert keeps the current one.
  ScreenInfo wide = {2560, 1440, 96, [](int, int) { return true; }};
  r = restorePlacement(fromBytes("[Main]\r\nNormPos(1920x1080)=9,9,9,9\r\nNormPos=x,60\r\n"), 33, 0,
                       385, 245, wide);
  EXPECT_TRUE(r.move);
  EXPECT_EQ(std::pair(r.left, r.top), std::pair(33, 60));
  EXPECT_FALSE(r.state.has_value());
}

TEST(Placement, PositionIsIgnoredAtOtherPixelsPerInchOffTheMonitorsOrBelowVersionZero) {
  auto moves = [](const std::string& main, int ppi = 96) {
    return restorePlacement(fromBytes("[Main]\r\n" + main), 0, 0, 385, 245, fullHd(ppi)).move;
  };
  EXPECT_FALSE(moves("PixelsPerInch=120\r\nNormPos=50,60,0,0\r\n"));
  EXPECT_TRUE(moves("PixelsPerInch=120\r\nNormPos=50,60,0,0\r\n", 120));
  EXPECT_TRUE(moves("NormPos=1535,835\r\n"));   // flush with the bottom-right corner
  EXPECT_FALSE(moves("NormPos=1536,835\r\n"));  // one pixel beyond it
  EXPECT_FALSE(moves("NormPos=100,-1\r\n"));
  EXPECT_FALSE(moves("ShowCmd=3\r\n"));  // no position key
  const PlacementRestore old = restorePlacement(
      fromBytes("[Main]\r\nFormVersion=-1\r\nShowCmd=3\r\nNormPos=50,60\r\nActiveControl=x\r\n"), 0,
      0, 385, 245, fullHd());
  EXPECT_FALSE(old.move || old.state.has_value() || !old.activeControl.empty());
}

}  // namespace
}  // namespace flintmoor
