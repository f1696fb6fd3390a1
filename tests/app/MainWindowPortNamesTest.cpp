// The port list with device paths: short names shown, the full path and the device in each
// item's tooltip, and the full path wherever the chosen port is used (settings, job, hot-plug).
#include "MainWindowFixture.h"
#include "base/Error.h"
#include "job/IniFile.h"
#include "tests/support/UsbPort.h"

namespace flintmoor::testing {
namespace {

class MainWindowPortNamesTest : public MainWindowTest {
 protected:
  MainWindowPortNamesTest() {
    ports = {"/dev/ttyUSB10", "/dev/ttyS0", SimBoard::portName(), "/dev/ttyUSB2", "/dev/ttyACM0"};
    portInfo = {
        usbPort("/dev/ttyUSB2", 0x10c4, 0xea60, "0001", "Silicon Labs",
                "CP2102N USB to UART Bridge Controller"),
        usbPort("/dev/ttyACM0", 0x1209, 0x1001, "", "Acme", "USB CDC serial port")};
  }

  QString toolTip(int index) const {
    return portList()->itemData(index, Qt::ToolTipRole).toString();
  }

  void choose(const QString& shown) {
    const int index = portList()->findText(shown);
    ASSERT_GE(index, 0) << shown.toStdString();
    portList()->setCurrentIndex(index);
  }
};

TEST_F(MainWindowPortNamesTest, ItemsShowShortNamesInTheOrderOfTheFullNamesWithTheirDevices) {
  writeBytes(iniPath(), "[CONFIG]\r\nComPort=/dev/ttyUSB10\r\n");
  start();
  EXPECT_EQ(portItems(), (QStringList{"ttyACM0", "ttyS0", "ttyUSB2", "ttyUSB10", "SIM"}));
  EXPECT_EQ(portList()->currentText(), "ttyUSB10");
  EXPECT_EQ(main->portName(), "/dev/ttyUSB10");

  EXPECT_EQ(toolTip(0), "/dev/ttyACM0\nAcme USB CDC serial port\n1209:1001");
  EXPECT_EQ(toolTip(1), "/dev/ttyS0");
  EXPECT_EQ(
      toolTip(2),
      "/dev/ttyUSB2\nSilicon Labs CP2102N USB to UART Bridge Controller\n10C4:EA60 serial 0001");
  EXPECT_EQ(toolTip(3), "/dev/ttyUSB10");
  EXPECT_EQ(toolTip(4), "SIM");
}

TEST_F(MainWindowPortNamesTest, TheChosenPortsFullPathSurvivesARefreshAndIsSaved) {
  start();
  choose("ttyUSB2");
  EXPECT_EQ(main->portName(), "/dev/ttyUSB2");

  // Opening the list refills it and keeps the choice; a lister that fails only loses tooltips.
  ports.push_back("/dev/ttyUSB1");
  main->setPortInfoLister([]() -> std::vector<PortInfo> { throw Exception("no identity"); });
  portList()->showPopup();
  portList()->hidePopup();
  EXPECT_EQ(portItems(),
            (QStringList{"ttyACM0", "ttyS0", "ttyUSB1", "ttyUSB2", "ttyUSB10", "SIM"}));
  EXPECT_EQ(portList()->currentText(), "ttyUSB2");
  EXPECT_EQ(toolTip(portList()->currentIndex()), "/dev/ttyUSB2");

  main->close();
  ASSERT_TRUE(main->saveSettingsFile());
  IniFile saved(dir.str(), "Flintmoor.ini");
  EXPECT_EQ(saved.value("CONFIG", "ComPort"), "/dev/ttyUSB2");
}

TEST_F(MainWindowPortNamesTest, TheJobAndTheHotPlugCheckGetTheFullPath) {
  writeBytes(iniPath(), "[CONFIG]\r\nDoBeep=FALSE\r\n");
  start();
  choose("ttyACM0");
  answer = mrYes;
  button("butErase")->click();
  // The job connects by the full name (the virtual chip answers behind any name here).
  ASSERT_FALSE(opened.empty());
  EXPECT_EQ(opened.front(), "/dev/ttyACM0");
  EXPECT_EQ(com.cPort.port(), "/dev/ttyACM0");

  // The removal of the device behind the shown port is noticed by its full path.
  com.UsbLog = &debug;
  com.CurrentPortText = [this] { return main->portName(); };
  com.DevicePortName = [](const std::string&) { return std::string("/dev/ttyACM0"); };
  com.UsbRemove("usb-device");
  EXPECT_TRUE(debug.lines().contains("CLOSE COM"));
}

}  // namespace
}  // namespace flintmoor::testing
