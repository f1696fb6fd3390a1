// Ports and their USB identity: the description and VID:PID texts, the "usb:VID:PID[:SERIAL]"
// choice of a port, the window's short names and details, and the Windows device ids.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/Error.h"
#include "comio/PortInfo.h"
#include "tests/support/UsbPort.h"

using namespace flintmoor;

namespace {

using flintmoor::testing::usbPort;

std::vector<std::string> names(const std::vector<PortInfo>& ports) {
  std::vector<std::string> out;
  for (const PortInfo& port : ports) out.push_back(port.name);
  return out;
}

}  // namespace

TEST(PortInfo, DescriptionJoinsManufacturerAndProductUnlessTheProductNamesItAlready) {
  EXPECT_EQ(
      usbPort("a", 1, 2, "", "Silicon Labs", "CP2102N USB to UART Bridge Controller").description(),
      "Silicon Labs CP2102N USB to UART Bridge Controller");
  EXPECT_EQ(usbPort("a", 1, 2, "", "FTDI", "ftdi FT232R").description(), "ftdi FT232R");
  EXPECT_EQ(usbPort("a", 1, 2, "", "", "USB Serial").description(), "USB Serial");
  EXPECT_EQ(usbPort("a", 1, 2, "", "Acme", "").description(), "Acme");
  EXPECT_EQ(usbPort("a", 1, 2, "").description(), "");

  PortInfo uart;
  uart.name = "/dev/ttyS0";
  uart.product = "left over";
  EXPECT_EQ(uart.description(), "");
}

TEST(PortInfo, VidPidIsFourUpperCaseHexDigitsEachAndEmptyWithoutUsb) {
  EXPECT_EQ(formatVidPid(usbPort("a", 0x10c4, 0xea60, "")), "10C4:EA60");
  EXPECT_EQ(formatVidPid(usbPort("a", 0x3, 0x0, "")), "0003:0000");
  EXPECT_EQ(formatVidPid(usbPort("a", 0xffff, 0xffff, "")), "FFFF:FFFF");
  EXPECT_EQ(formatVidPid(PortInfo{}), "");
}

TEST(UsbPortId, ReadsHexIdsInAnyCaseAndTheSerialVerbatim) {
  const std::optional<UsbPortId> bare = parseUsbPortId("usb:10c4:EA60");
  ASSERT_TRUE(bare);
  EXPECT_EQ(bare->vid, 0x10c4);
  EXPECT_EQ(bare->pid, 0xea60);
  EXPECT_FALSE(bare->serial);

  const std::optional<UsbPortId> full = parseUsbPortId("USB:3:1a:Ab:01");
  ASSERT_TRUE(full);
  EXPECT_EQ(full->vid, 0x3);
  EXPECT_EQ(full->pid, 0x1a);
  EXPECT_EQ(full->serial, "Ab:01");
}

TEST(UsbPortId, OtherNamesAreNoUsbIdAndMalformedOnesRaise) {
  for (const char* name : {"/dev/ttyUSB0", "COM5", "SIM", "", "usb", "/dev/usb:1:2"}) {
    EXPECT_FALSE(parseUsbPortId(name)) << name;
  }
  for (const char* bad :
       {"usb:", "usb:10c4", "usb:10c4:", "usb::ea60", "usb:10c4g:ea60", "usb:10c45:ea60",
        "usb:10c4:ea600", "usb:10c4:ea60:", "usb:-1:2", "usb: 10c4:ea60"}) {
    EXPECT_THROW(parseUsbPortId(bad), Exception) << bad;
  }
  try {
    parseUsbPortId("usb:xyz:1");
    FAIL();
  } catch (const Exception& e) {
    EXPECT_NE(std::string(e.what()).find("usb:VID:PID"), std::string::npos) << e.what();
  }
}

TEST(UsbPortId, MatchesByIdsAndExactSerialKeepingTheListsOrder) {
  PortInfo uart;
  uart.name = "/dev/ttyS0";
  const std::vector<PortInfo> ports = {usbPort("/dev/ttyUSB1", 0x10c4, 0xea60, "0002"), uart,
                                       usbPort("/dev/ttyUSB0", 0x10c4, 0xea60, "0001"),
                                       usbPort("/dev/ttyUSB2", 0x1a86, 0x7523, ""),
                                       usbPort("/dev/ttyUSB3", 0xea60, 0x10c4, "0001")};
  using Names = std::vector<std::string>;
  EXPECT_EQ(names(matchUsbPort(*parseUsbPortId("usb:10c4:ea60"), ports)),
            (Names{"/dev/ttyUSB1", "/dev/ttyUSB0"}));
  EXPECT_EQ(names(matchUsbPort(*parseUsbPortId("usb:10C4:EA60:0001"), ports)),
            Names{"/dev/ttyUSB0"});
  EXPECT_TRUE(matchUsbPort(*parseUsbPortId("usb:10c4:ea60:1"), ports).empty());
  EXPECT_TRUE(matchUsbPort(*parseUsbPortId("usb:10c4:ea60:0001 "), ports).empty());
  EXPECT_EQ(names(matchUsbPort(*parseUsbPortId("usb:1a86:7523"), ports)), Names{"/dev/ttyUSB2"});
  // A port without USB device matches nothing, not even VID and PID 0.
  EXPECT_TRUE(matchUsbPort(*parseUsbPortId("usb:0:0"), ports).empty());
}

TEST(PortNames, ShortNameDropsTheDeviceDirectoryOnly) {
  EXPECT_EQ(shortPortName("/dev/ttyUSB0"), "ttyUSB0");
  EXPECT_EQ(shortPortName("/dev/serial/by-id/usb-x"), "serial/by-id/usb-x");
  EXPECT_EQ(shortPortName("COM5"), "COM5");
  EXPECT_EQ(shortPortName("SIM"), "SIM");
  EXPECT_EQ(shortPortName("/dev/"), "/dev/");
  EXPECT_EQ(shortPortName("/tmp/dev/ttyX"), "/tmp/dev/ttyX");
}

TEST(PortNames, DetailsGiveThePathDescriptionIdsAndSerialWhenKnown) {
  EXPECT_EQ(
      portDetails(usbPort("/dev/ttyUSB0", 0x10c4, 0xea60, "0001", "Silicon Labs",
                          "CP2102N USB to UART Bridge Controller")),
      "/dev/ttyUSB0\nSilicon Labs CP2102N USB to UART Bridge Controller\n10C4:EA60 serial 0001");
  EXPECT_EQ(portDetails(usbPort("/dev/ttyUSB1", 0x1a86, 0x7523, "", "", "USB Serial")),
            "/dev/ttyUSB1\nUSB Serial\n1A86:7523");
  EXPECT_EQ(portDetails(usbPort("/dev/ttyACM0", 0x1209, 0x1001, "")), "/dev/ttyACM0\n1209:1001");
  PortInfo uart;
  uart.name = "/dev/ttyS0";
  EXPECT_EQ(portDetails(uart), "/dev/ttyS0");
}

TEST(WinDeviceIds, AWholeUsbDeviceGivesItsIdsSerialAndNameWithoutThePortSuffix) {
  const PortInfo port = portInfoFromWinDevice(
      "COM5", {"USB\\VID_10C4&PID_EA60&REV_0100", "USB\\VID_10C4&PID_EA60\\0001",
               "USB\\ROOT_HUB30\\4&1A2B3C&0&0", "Silicon Labs",
               "Silicon Labs CP210x USB to UART Bridge (COM5)"});
  EXPECT_TRUE(port.usb);
  EXPECT_EQ(port.name, "COM5");
  EXPECT_EQ(formatVidPid(port), "10C4:EA60");
  EXPECT_EQ(port.serial, "0001");
  EXPECT_EQ(port.interfaceNumber, -1);
  EXPECT_EQ(port.manufacturer, "Silicon Labs");
  EXPECT_EQ(port.product, "Silicon Labs CP210x USB to UART Bridge");
  EXPECT_EQ(port.description(), "Silicon Labs CP210x USB to UART Bridge");
}

TEST(WinDeviceIds, SerialOfACompositeInterfaceOrVendorBusComesFromTheParent) {
  const PortInfo acm = portInfoFromWinDevice(
      "COM7",
      {"USB\\VID_1209&PID_1001&REV_0101&MI_02", "USB\\VID_1209&PID_1001&MI_02\\6&3F&0&0002",
       "USB\\VID_1209&PID_1001\\F4:12:FA:00:11:22", "Microsoft", "USB Serial Device (COM7)"});
  EXPECT_EQ(formatVidPid(acm), "1209:1001");
  EXPECT_EQ(acm.interfaceNumber, 2);
  EXPECT_EQ(acm.serial, "F4:12:FA:00:11:22");
  EXPECT_EQ(acm.product, "USB Serial Device");

  const PortInfo ftdi = portInfoFromWinDevice(
      "COM3", {"FTDIBUS\\COMPORT&VID_0403&PID_6001", "FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000",
               "USB\\VID_0403&PID_6001\\A50285BI", "FTDI", "USB Serial Port (COM3)"});
  EXPECT_EQ(formatVidPid(ftdi), "0403:6001");
  EXPECT_EQ(ftdi.serial, "A50285BI");
}

TEST(WinDeviceIds, MadeUpInstanceIdsAndHubsGiveNoSerial) {
  // A device without serial: the system makes up the last part, and its parent is the hub.
  const PortInfo ch340 = portInfoFromWinDevice(
      "COM4", {"USB\\VID_1A86&PID_7523&REV_0264", "USB\\VID_1A86&PID_7523\\5&2B1E5A3&0&2",
               "USB\\VID_05E3&PID_0610\\HUB0001", "wch.cn", "USB-SERIAL CH340 (COM4)"});
  EXPECT_TRUE(ch340.usb);
  EXPECT_EQ(ch340.serial, "");
  EXPECT_EQ(ch340.product, "USB-SERIAL CH340");
  // A composite interface whose parent has no serial either.
  EXPECT_EQ(portInfoFromWinDevice(
                "COM8", {"USB\\VID_2E8A&PID_000A&MI_00", "USB\\VID_2E8A&PID_000A&MI_00\\7&1&0&0000",
                         "USB\\VID_2E8A&PID_000A\\6&2&0&1", "", ""})
                .serial,
            "");
}

TEST(WinDeviceIds, APortWithoutUsbIdentityKeepsOnlyItsName) {
  for (const char* hardwareId : {"ACPI\\PNP0501", "", "USB\\VID_10C4", "USB\\VID_10C4&PID_EA6"}) {
    const PortInfo port =
        portInfoFromWinDevice("COM1", {hardwareId, "ACPI\\PNP0501\\0", "ACPI\\PNP0A08\\0",
                                       "(Standard port types)", "Communications Port (COM1)"});
    EXPECT_EQ(port.name, "COM1") << hardwareId;
    EXPECT_FALSE(port.usb) << hardwareId;
    EXPECT_EQ(port.product, "") << hardwareId;
    EXPECT_EQ(port.description(), "") << hardwareId;
  }
}
