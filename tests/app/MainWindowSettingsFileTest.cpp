// The window's settings file: where it is read from and written to, and the log line naming it.
#include <gtest/gtest.h>

#include "MainWindowFixture.h"
#include "job/IniFile.h"

namespace flintmoor::testing {
namespace {

TEST_F(MainWindowTest, WritableProgramFolder_SettingsStayBesideTheProgramAndTheLogNamesThem) {
  writeBytes(iniPath(), "[CONFIG]\r\nComPort=COM9\r\n");
  ports = {"COM5", "COM9"};
  start();
  EXPECT_EQ(main->iniFile().path(), iniPath());
  EXPECT_TRUE(debug.lines().contains(QString::fromStdString("Settings: " + iniPath())));
  EXPECT_EQ(main->portName(), "COM9");
  main->close();
  ASSERT_TRUE(main->saveSettingsFile());
  IniFile saved(dir.str(), "Flintmoor.ini");
  EXPECT_EQ(saved.value("CONFIG", "ComPort"), "COM9");
}

}  // namespace
}  // namespace flintmoor::testing
