// The settings kept in the file: connection settings, port, file names and window placement,
// read, used and written back.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TempDir.h"
#include "app/IniFile.h"
#include "app/Settings.h"
#include "diag/Log.h"

namespace flintmoor {
namespace {

using testing::readBytes;
using testing::TempDir;
using testing::writeBytes;

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
  TConfig config = readConfigAsRead(ini, log);
  EXPECT_EQ(config.ConnBaud, 115200u);
  EXPECT_EQ(config.FastBaud, 921600u);
  EXPECT_TRUE(config.FastFirst);
  EXPECT_EQ(config.SlowLow, 1400u);
  EXPECT_EQ(config.SlowHigh, 500u);
  EXPECT_EQ(config.FastLow, 150u);
  EXPECT_EQ(config.FastHigh, 100u);
  EXPECT_TRUE(config.DoBeep);
  EXPECT_EQ(readComPort(ini), "");
  EXPECT_EQ(readFiles(ini), (std::array<std::string, 3>{"", "", ""}));

  // The order the window closes in: placement, connection settings, files.
  WindowPlacement placement;
  placement.left = 100;
  placement.top = 200;
  placement.right = 485;
  placement.bottom = 445;
  writePlacement(ini, placement, fullHd(), "butUpdate");
  writeConfig(ini, config, "COM3");
  writeFiles(ini, readFiles(ini));
  ASSERT_TRUE(ini.save(&log));
  EXPECT_EQ(readBytes(dir.file("Flintmoor.ini")),
            "[Main]\r\n"
            "FormVersion=0\r\n"
            "ShowCmd=1\r\n"
            "Flags=0\r\n"
            "PixelsPerInch=96\r\n"
            "MinMaxPos(1920x1080)=-1,-1,-1,-1\r\n"
            "MinMaxPos=-1,-1,-1,-1\r\n"
            "NormPos(1920x1080)=100,200,485,445\r\n"
            "NormPos=100,200,485,445\r\n"
            "ActiveControl=butUpdate\r\n"
            "\r\n"
            "[CONFIG]\r\n"
            "ComPort=COM3\r\n"
            "ConnBaud=115200\r\n"
            "FastBaud=921600\r\n"
            "FastFirst=TRUE\r\n"
            "SlowLow=1400\r\n"
            "SlowHigh=500\r\n"
            "FastLow=150\r\n"
            "FastHigh=100\r\n"
            "DoBeep=TRUE\r\n"
            "\r\n"
            "[FILES]\r\n"
            "Bootloader=\r\n"
            "Partitions=\r\n"
            "Firmware=\r\n"
            "\r\n");
  EXPECT_TRUE(log.lines().empty());
}

TEST(Settings, BooleanWordsAreReadAndWrittenBackAsTrueOrFalse) {
  IniFile ini = fromBytes("[CONFIG]\r\nFastFirst=no\r\nDoBeep=0\r\n");
  MemoryLog log;
  TConfig config = readConfigAsRead(ini, log);
  EXPECT_FALSE(config.FastFirst);
  EXPECT_FALSE(config.DoBeep);
  writeConfig(ini, config, "");
  EXPECT_EQ(ini.value(kSectionConfig, "FastFirst"), "FALSE");
  EXPECT_EQ(ini.value(kSectionConfig, "DoBeep"), "FALSE");

  IniFile yes = fromBytes("[CONFIG]\r\nDoBeep=Y\r\n");
  config = readConfigAsRead(yes, log);
  EXPECT_TRUE(config.DoBeep);
  writeConfig(yes, config, "");
  EXPECT_EQ(yes.value(kSectionConfig, "DoBeep"), "TRUE");
}

TEST(Settings, EmptyValuesReadAsZeroAndFalse) {
  IniFile ini = fromBytes("[CONFIG]\r\nConnBaud=\r\nDoBeep=\r\n");
  MemoryLog log;
  TConfig config = readConfigAsRead(ini, log);
  EXPECT_EQ(config.ConnBaud, 0u);
  EXPECT_FALSE(config.DoBeep);
  EXPECT_TRUE(log.lines().empty());
}

TEST(Settings, LowerCaseNamesAreFoundAndUnknownKeysStay) {
  IniFile ini = fromBytes(
      "; my board\r\n[config]\r\nconnbaud=57600\r\ncomport=com7\r\nMyNote=blue board\r\n"
      "[files]\r\nfirmware=app.bin\r\n");
  MemoryLog log;
  TConfig config = readConfigAsRead(ini, log);
  EXPECT_EQ(config.ConnBaud, 57600u);
  EXPECT_EQ(readComPort(ini), "com7");
  EXPECT_EQ(readFiles(ini), (std::array<std::string, 3>{"", "", "app.bin"}));
  writeConfig(ini, config, "COM7");
  writeFiles(ini, readFiles(ini));
  EXPECT_EQ(ini.toBytes(),
            "[config]\r\nConnBaud=57600\r\nComPort=COM7\r\nMyNote=blue board\r\n"
            "FastBaud=921600\r\nFastFirst=TRUE\r\nSlowLow=1400\r\nSlowHigh=500\r\n"
            "FastLow=150\r\nFastHigh=100\r\nDoBeep=TRUE\r\n\r\n"
            "[files]\r\nFirmware=app.bin\r\nBootloader=\r\nPartitions=\r\n\r\n");
}

TEST(Settings, ValueThatDoesNotConvertFallsBackToItsDefaultAndTheRestIsRead) {
  IniFile ini = fromBytes("[CONFIG]\r\nConnBaud=fast\r\nFastFirst=sometimes\r\nSlowLow=2000\r\n");
  MemoryLog log;
  TConfig config = readConfigAsRead(ini, log);
  EXPECT_EQ(config.ConnBaud, 115200u);
  EXPECT_TRUE(config.FastFirst);
  EXPECT_EQ(config.SlowLow, 2000u);
  ASSERT_EQ(log.lines().size(), 2u);
  EXPECT_NE(log.lines()[0].find("ConnBaud"), std::string::npos);
  EXPECT_NE(log.lines()[1].find("FastFirst"), std::string::npos);
}

TEST(Settings, OutOfRangeValuesAreUsedClampedButWrittenBackAsRead) {
  IniFile ini = fromBytes(
      "[CONFIG]\r\nConnBaud=-1\r\nFastBaud=0\r\nSlowLow=20000\r\nSlowHigh=-5\r\n"
      "FastLow=$10\r\n");
  MemoryLog log;
  TConfig asRead = readConfigAsRead(ini, log);
  EXPECT_EQ(asRead.ConnBaud, 4294967295u);  // a negative value wraps
  EXPECT_EQ(asRead.SlowLow, 20000u);

  TConfig used = readConfig(ini, log);
  EXPECT_EQ(used.ConnBaud, 5000000u);
  EXPECT_EQ(used.FastBaud, 300u);
  EXPECT_EQ(used.SlowLow, 10000u);
  EXPECT_EQ(used.SlowHigh, 10000u);
  EXPECT_EQ(used.FastLow, 16u);
  EXPECT_EQ(used.FastHigh, 100u);
  EXPECT_EQ(log.lines().size(), 4u);  // one line per clamped value

  writeConfig(ini, asRead, "");
  EXPECT_EQ(ini.value(kSectionConfig, "ConnBaud"), "-1");
  EXPECT_EQ(ini.value(kSectionConfig, "FastBaud"), "0");
  EXPECT_EQ(ini.value(kSectionConfig, "SlowLow"), "20000");
  EXPECT_EQ(ini.value(kSectionConfig, "SlowHigh"), "-5");
  EXPECT_EQ(ini.value(kSectionConfig, "FastLow"), "16");
}

TEST(Settings, ValuesInsideTheRangesAreUsedUnchanged) {
  TConfig edges;
  edges.ConnBaud = 300;
  edges.FastBaud = 5000000;
  edges.SlowLow = 0;
  edges.FastHigh = 10000;
  MemoryLog log;
  TConfig used = clampConfig(edges, &log);
  EXPECT_EQ(used.ConnBaud, 300u);
  EXPECT_EQ(used.FastBaud, 5000000u);
  EXPECT_EQ(used.SlowLow, 0u);
  EXPECT_EQ(used.FastHigh, 10000u);
  EXPECT_TRUE(log.lines().empty());
}

TEST(Placement, PositionKeysCarryTheDesktopSize) {
  EXPECT_EQ(placementKey("NormPos", 1920, 1080), "NormPos(1920x1080)");
  EXPECT_EQ(placementKey("MinMaxPos", 3840, 1080), "MinMaxPos(3840x1080)");
}

TEST(Placement, ShowCmdMapsToTheWindowState) {
  for (int cmd : {1, 5, 9}) EXPECT_EQ(stateOfShowCmd(cmd), WindowState::Normal) << cmd;
  for (int cmd : {2, 6, 7}) EXPECT_EQ(stateOfShowCmd(cmd), WindowState::Minimized) << cmd;
  EXPECT_EQ(stateOfShowCmd(3), WindowState::Maximized);
  for (int cmd : {0, 4, 8, 10, -1}) EXPECT_FALSE(stateOfShowCmd(cmd).has_value()) << cmd;
  for (WindowState s : {WindowState::Normal, WindowState::Minimized, WindowState::Maximized}) {
    EXPECT_EQ(stateOfShowCmd(showCmdOf(s)), s);
  }
}

TEST(Placement, SavedPositionIsRestoredWithStateAndFocus) {
  IniFile ini = fromBytes(
      "[Main]\r\nFormVersion=0\r\nShowCmd=2\r\nPixelsPerInch=96\r\n"
      "NormPos(1920x1080)=300,400,685,645\r\nNormPos=1,2,3,4\r\nActiveControl=cbPort\r\n");
  PlacementRestore r = restorePlacement(ini, 10, 20, 385, 245, fullHd());
  EXPECT_TRUE(r.move);
  EXPECT_EQ(r.left, 300);
  EXPECT_EQ(r.top, 400);
  EXPECT_EQ(r.state, WindowState::Minimized);
  EXPECT_EQ(r.activeControl, "cbPort");
}

TEST(Placement, AnotherDesktopSizeFallsBackToThePlainKey) {
  IniFile ini =
      fromBytes("[Main]\r\nNormPos(1920x1080)=1700,900,2085,1145\r\nNormPos=50,60,435,305\r\n");
  ScreenInfo wide = {2560, 1440, 96,
                     [](int x, int y) { return x >= 0 && y >= 0 && x < 2560 && y < 1440; }};
  PlacementRestore r = restorePlacement(ini, 0, 0, 385, 245, wide);
  EXPECT_TRUE(r.move);
  EXPECT_EQ(r.left, 50);
  EXPECT_EQ(r.top, 60);
  EXPECT_FALSE(r.state.has_value());
  EXPECT_EQ(r.activeControl, "");
}

TEST(Placement, PositionIsIgnoredAtOtherPixelsPerInchOrOffTheMonitors) {
  const std::string at120 = "[Main]\r\nPixelsPerInch=120\r\nNormPos=50,60,435,305\r\n";
  EXPECT_FALSE(restorePlacement(fromBytes(at120), 0, 0, 385, 245, fullHd(96)).move);
  EXPECT_TRUE(restorePlacement(fromBytes(at120), 0, 0, 385, 245, fullHd(120)).move);
  // The bottom-right corner hangs off the right edge of the only monitor.
  const std::string offRight = "[Main]\r\nNormPos=1600,60,1985,305\r\n";
  EXPECT_FALSE(restorePlacement(fromBytes(offRight), 0, 0, 385, 245, fullHd()).move);
  // Exactly flush with the bottom-right corner still fits.
  const std::string flush = "[Main]\r\nNormPos=1535,835,1920,1080\r\n";
  EXPECT_TRUE(restorePlacement(fromBytes(flush), 0, 0, 385, 245, fullHd()).move);
  const std::string offTop = "[Main]\r\nNormPos=100,-10,485,235\r\n";
  EXPECT_FALSE(restorePlacement(fromBytes(offTop), 0, 0, 385, 245, fullHd()).move);
}

TEST(Placement, NothingIsRestoredWithoutAPositionKeyOrBelowVersionZero) {
  PlacementRestore none =
      restorePlacement(fromBytes("[Main]\r\nShowCmd=3\r\n"), 5, 5, 385, 245, fullHd());
  EXPECT_FALSE(none.move);
  EXPECT_EQ(none.state, WindowState::Maximized);

  PlacementRestore old = restorePlacement(
      fromBytes("[Main]\r\nFormVersion=-1\r\nShowCmd=3\r\nNormPos=50,60,435,305\r\n"
                "ActiveControl=butErase\r\n"),
      5, 5, 385, 245, fullHd());
  EXPECT_FALSE(old.move);
  EXPECT_FALSE(old.state.has_value());
  EXPECT_EQ(old.activeControl, "");
}

TEST(Placement, AnEdgeThatDoesNotConvertKeepsTheCurrentEdge) {
  MemoryLog log;
  PlacementRestore r = restorePlacement(fromBytes("[Main]\r\nNormPos=left,70,0,0\r\n"), 33, 44, 385,
                                        245, fullHd(), &log);
  EXPECT_TRUE(r.move);
  EXPECT_EQ(r.left, 33);
  EXPECT_EQ(r.top, 70);
}

}  // namespace
}  // namespace flintmoor
