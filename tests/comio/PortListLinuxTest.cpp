// The Linux port list against a fake sysfs tree laid out like the kernel's: tty class entries
// linking into the device tree, device links, driver links, the UART type attribute, and the USB
// device and interface attributes above a USB port.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "base/Clock.h"
#include "base/Error.h"
#include "comio/Platform.h"
#include "comio/uComIo.h"

using namespace flintmoor;
namespace fs = std::filesystem;
using Names = std::vector<std::string>;

namespace {

class FakeSysfs : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "sysfs-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    fs::create_directories(root_ / "class" / "tty");
  }
  void TearDown() override { fs::remove_all(root_); }

  fs::path dir(const std::string& rel) {
    fs::create_directories(root_ / rel);
    return root_ / rel;
  }
  // A relative link, as sysfs makes them.
  void link(const std::string& from, const std::string& to) {
    fs::path at = root_ / from;
    fs::create_directories(at.parent_path());
    fs::create_directory_symlink(fs::relative(root_ / to, at.parent_path()), at);
  }
  // A tty class entry for the tty directory `ttyDir`, optionally with a device and a UART type.
  void tty(const std::string& name, const std::string& ttyDir, const std::string& device,
           const char* uartType) {
    dir(ttyDir);
    link("class/tty/" + name, ttyDir);
    if (!device.empty()) link(ttyDir + "/device", device);
    if (uartType) std::ofstream(root_ / ttyDir / "type") << uartType << "\n";
  }
  void driver(const std::string& device, const std::string& driverDir) {
    dir(device);
    dir(driverDir);
    link(device + "/driver", driverDir);
  }

  // An attribute file as the kernel shows it: the value and a line end.
  void attr(const std::string& dirRel, const std::string& name, const std::string& value) {
    std::ofstream(dir(dirRel) / name) << value << "\n";
  }
  // A USB device directory with its ids and, when not empty, its strings.
  void usbDevice(const std::string& rel, const char* vid, const char* pid,
                 const std::string& serial, const std::string& manufacturer,
                 const std::string& product) {
    attr(rel, "idVendor", vid);
    attr(rel, "idProduct", pid);
    if (!serial.empty()) attr(rel, "serial", serial);
    if (!manufacturer.empty()) attr(rel, "manufacturer", manufacturer);
    if (!product.empty()) attr(rel, "product", product);
  }

  // The listed ports by name.
  std::map<std::string, PortInfo> identities() {
    std::map<std::string, PortInfo> byName;
    for (PortInfo& port : listOsPortInfo(root_.string())) byName[port.name] = port;
    return byName;
  }

  Names listed() {
    Names names = listOsPorts(root_.string());
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path root_;
};

}  // namespace

TEST_F(FakeSysfs, ListsDeviceBackedTtysButNotPlaceholderUarts) {
  const std::string p8250 = "devices/platform/serial8250";
  driver(p8250, "bus/platform/drivers/serial8250");
  driver("devices/pnp0/00:05", "bus/pnp/drivers/serial");
  driver("devices/usb1/1-1/1-1:1.0/ttyUSB0", "bus/usb-serial/drivers/ftdi_sio");
  driver("devices/usb1/1-2/1-2:1.0", "bus/usb/drivers/cdc_acm");

  // A real UART found by the PnP serial driver, one the 8250 platform device drives, and two
  // placeholders of the 8250 driver (type 0, and no type attribute at all).
  tty("ttyS0", "devices/pnp0/00:05/tty/ttyS0", "devices/pnp0/00:05", "4");
  tty("ttyS1", p8250 + "/tty/ttyS1", p8250, "4");
  tty("ttyS2", p8250 + "/tty/ttyS2", p8250, "0");
  tty("ttyS3", p8250 + "/tty/ttyS3", p8250, nullptr);
  tty("ttyUSB0", "devices/usb1/1-1/1-1:1.0/ttyUSB0/tty/ttyUSB0", "devices/usb1/1-1/1-1:1.0/ttyUSB0",
      nullptr);
  tty("ttyACM0", "devices/usb1/1-2/1-2:1.0/tty/ttyACM0", "devices/usb1/1-2/1-2:1.0", nullptr);
  // Virtual consoles and the console device have no device behind them.
  tty("tty0", "devices/virtual/tty/tty0", "", nullptr);
  tty("console", "devices/virtual/tty/console", "", nullptr);

  EXPECT_EQ(listed(), (Names{"/dev/ttyACM0", "/dev/ttyS0", "/dev/ttyS1", "/dev/ttyUSB0"}));
}

TEST_F(FakeSysfs, EmptyTtyClassGivesAnEmptyList) {
  EXPECT_TRUE(listed().empty());
}

TEST_F(FakeSysfs, MissingTtyClassLeavesTheModulesListAsItWas) {
  const std::string missing = (root_ / "absent").string();
  EXPECT_THROW(listOsPorts(missing), Exception);

  VirtualClock clock;
  TComIo com(clock, nullptr, [missing] { return listOsPorts(missing); });
  Names list{"/dev/ttyUSB1"};
  com.ListComPorts(list);
  EXPECT_EQ(list, Names{"/dev/ttyUSB1"});
}

TEST_F(FakeSysfs, UsbPortsCarryTheIdentityOfTheirDeviceAndInterface) {
  const std::string bus = "devices/pci0000:00/0000:00:14.0/usb1";
  // The root hub and a hub have ids too; the port's own device is the nearest one above it.
  usbDevice(bus, "1d6b", "0002", "0000:00:14.0", "Linux 6.1.0 xhci-hcd", "xHCI Host Controller");
  usbDevice(bus + "/1-1", "05e3", "0610", "", "GenesysLogic", "USB2.1 Hub");
  attr(bus + "/1-1/1-1:1.0", "bInterfaceNumber", "00");

  // A CP2102N behind the hub (usb-serial: the port device below the interface).
  const std::string cp = bus + "/1-1/1-1.2";
  usbDevice(cp, "10c4", "ea60", "0001", "Silicon Labs", "CP2102N USB to UART Bridge Controller");
  attr(cp + "/1-1.2:1.0", "bInterfaceNumber", "00");
  driver(cp + "/1-1.2:1.0/ttyUSB0", "bus/usb-serial/drivers/cp210x");
  tty("ttyUSB0", cp + "/1-1.2:1.0/ttyUSB0/tty/ttyUSB0", cp + "/1-1.2:1.0/ttyUSB0", nullptr);

  // A CH340 without serial and without manufacturer.
  const std::string ch = bus + "/1-3";
  usbDevice(ch, "1a86", "7523", "", "", "USB Serial");
  attr(ch + "/1-3:1.0", "bInterfaceNumber", "00");
  tty("ttyUSB1", ch + "/1-3:1.0/ttyUSB1/tty/ttyUSB1", ch + "/1-3:1.0/ttyUSB1", nullptr);

  // A composite device whose third interface is an ACM port (the interface is the tty's device).
  const std::string acm = bus + "/1-4";
  usbDevice(acm, "1209", "1001", "F4:12:FA:00:11:22", "Acme", "USB CDC serial port");
  attr(acm + "/1-4:1.0", "bInterfaceNumber", "00");
  attr(acm + "/1-4:1.2", "bInterfaceNumber", "02");
  driver(acm + "/1-4:1.2", "bus/usb/drivers/cdc_acm");
  tty("ttyACM0", acm + "/1-4:1.2/tty/ttyACM0", acm + "/1-4:1.2", nullptr);

  // A real UART and an 8250 placeholder.
  const std::string p8250 = "devices/platform/serial8250";
  driver(p8250, "bus/platform/drivers/serial8250");
  tty("ttyS0", "devices/pnp0/00:05/tty/ttyS0", "devices/pnp0/00:05", "4");
  tty("ttyS1", p8250 + "/tty/ttyS1", p8250, "0");

  std::map<std::string, PortInfo> ports = identities();
  ASSERT_EQ(ports.size(), 4u);
  ASSERT_EQ(ports.count("/dev/ttyS1"), 0u);

  const PortInfo& cp2102 = ports["/dev/ttyUSB0"];
  EXPECT_TRUE(cp2102.usb);
  EXPECT_EQ(cp2102.vid, 0x10c4);
  EXPECT_EQ(cp2102.pid, 0xea60);
  EXPECT_EQ(cp2102.serial, "0001");
  EXPECT_EQ(cp2102.manufacturer, "Silicon Labs");
  EXPECT_EQ(cp2102.product, "CP2102N USB to UART Bridge Controller");
  EXPECT_EQ(cp2102.interfaceNumber, 0);

  const PortInfo& ch340 = ports["/dev/ttyUSB1"];
  EXPECT_EQ(formatVidPid(ch340), "1A86:7523");
  EXPECT_EQ(ch340.serial, "");
  EXPECT_EQ(ch340.manufacturer, "");
  EXPECT_EQ(ch340.description(), "USB Serial");

  const PortInfo& jtag = ports["/dev/ttyACM0"];
  EXPECT_EQ(formatVidPid(jtag), "1209:1001");
  EXPECT_EQ(jtag.serial, "F4:12:FA:00:11:22");
  EXPECT_EQ(jtag.interfaceNumber, 2);
  EXPECT_EQ(jtag.description(), "Acme USB CDC serial port");

  const PortInfo& uart = ports["/dev/ttyS0"];
  EXPECT_FALSE(uart.usb);
  EXPECT_EQ(uart.interfaceNumber, -1);
  EXPECT_EQ(uart.description(), "");

  // The names alone are the same list.
  EXPECT_EQ(listed(), (Names{"/dev/ttyACM0", "/dev/ttyS0", "/dev/ttyUSB0", "/dev/ttyUSB1"}));
}

TEST_F(FakeSysfs, UnreadableUsbAttributesLeaveTheIdentityOutWithoutBorrowingAHubs) {
  const std::string bus = "devices/pci0000:00/0000:00:14.0/usb1";
  usbDevice(bus, "1d6b", "0002", "", "", "");
  // A device whose product id is garbled: no identity, and not the root hub's either.
  attr(bus + "/1-2", "idVendor", "10c4");
  attr(bus + "/1-2", "idProduct", "ea6z");
  attr(bus + "/1-2/1-2:1.0", "bInterfaceNumber", "00");
  tty("ttyUSB0", bus + "/1-2/1-2:1.0/ttyUSB0/tty/ttyUSB0", bus + "/1-2/1-2:1.0/ttyUSB0", nullptr);
  // An ACM interface with no USB device above it (a broken tree).
  attr("devices/odd/1-9:1.0", "bInterfaceNumber", "01");
  tty("ttyACM3", "devices/odd/1-9:1.0/tty/ttyACM3", "devices/odd/1-9:1.0", nullptr);

  std::map<std::string, PortInfo> ports = identities();
  ASSERT_EQ(ports.size(), 2u);
  EXPECT_FALSE(ports["/dev/ttyUSB0"].usb);
  EXPECT_EQ(ports["/dev/ttyUSB0"].vid, 0);
  EXPECT_FALSE(ports["/dev/ttyACM3"].usb);
  EXPECT_EQ(ports["/dev/ttyACM3"].interfaceNumber, -1);

  EXPECT_THROW(listOsPortInfo((root_ / "absent").string()), Exception);
}
