// The Linux port list against a fake sysfs tree laid out like the kernel's: tty class entries
// linking into the device tree, device links, driver links and the UART type attribute.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
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
