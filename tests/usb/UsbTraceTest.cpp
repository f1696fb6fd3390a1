// Hot-plug tracing end to end without hardware: recorded udev events go through the tracker into
// the serial link module's handlers, which write the debug log.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/Clock.h"
#include "comio/U_UsbTracker.h"
#include "comio/uComIo.h"
#include "log/Log.h"

namespace flintmoor {
namespace {

using Lines = std::vector<std::string>;

const std::string kBus = "/sys/devices/pci0000:00/0000:00:14.0/usb1";
// A USB-serial bridge, a CDC-ACM board, and a mouse that provides no serial port.
const std::string kBridge = kBus + "/1-2";
const std::string kBridgeTty = kBridge + "/1-2:1.0/ttyUSB0/tty/ttyUSB0";
const std::string kAcm = kBus + "/1-3";
const std::string kAcmTty = kAcm + "/1-3:1.0/tty/ttyACM0";
const std::string kMouse = kBus + "/1-4";

UsbEvent Usb(const std::string& action, const std::string& syspath) {
  return {action, "usb", "usb_device", syspath, "", ""};
}
UsbEvent Interface(const std::string& action, const std::string& syspath) {
  return {action, "usb", "usb_interface", syspath, "", ""};
}
UsbEvent Tty(const std::string& action, const std::string& syspath, const std::string& node,
             const std::string& parent) {
  return {action, "tty", "", syspath, node, parent};
}

class HotPlugTrace : public testing::Test {
 protected:
  HotPlugTrace()
      : com_(
            clock_, [](const std::string&) { return std::unique_ptr<SerialDevice>(); },
            [] { return std::vector<std::string>(); }) {
    com_.UsbLog = &log_;
    com_.CurrentPortText = [this] { return shown_; };
    com_.DevicePortName = [this](const std::string& path) { return tracker_.PortName(path); };
    tracker_.OnArrival = [this](const std::string& path) { com_.UsbArrival(path); };
    tracker_.OnRemove = [this](const std::string& path) { com_.UsbRemove(path); };
    tracker_.OnException = [this](const std::string& message) { reports_.push_back(message); };
  }

  void Feed(const std::vector<UsbEvent>& events) {
    for (const UsbEvent& e : events) tracker_.Handle(e);
  }
  // The kernel's order: the device, its interface, then the tty the driver creates.
  void Plug(const std::string& usb, const std::string& tty, const std::string& node) {
    Feed({Usb("add", usb), Interface("add", usb + "/x:1.0"), Interface("bind", usb + "/x:1.0"),
          Usb("bind", usb)});
    if (!tty.empty()) Feed({Tty("add", tty, node, usb)});
  }
  // Children go first: the tty, the interface, and last the device itself.
  void Unplug(const std::string& usb, const std::string& tty, const std::string& node) {
    if (!tty.empty()) Feed({Tty("remove", tty, node, "")});
    Feed({Interface("unbind", usb + "/x:1.0"), Interface("remove", usb + "/x:1.0"),
          Usb("unbind", usb), Usb("remove", usb)});
  }
  const Lines& lines() const { return log_.lines(); }

  VirtualClock clock_;
  TComIo com_;
  MemoryLog log_;
  UsbTracker tracker_;
  std::string shown_;
  Lines reports_;
};

TEST_F(HotPlugTrace, AnyDevice_LogsOneArrivalAndOneRemovalWithItsPath) {
  shown_ = "/dev/ttyUSB0";
  Plug(kMouse, "", "");
  EXPECT_EQ(lines(), Lines({"ARRIVE: " + kMouse}));
  Unplug(kMouse, "", "");
  EXPECT_EQ(lines(), Lines({"ARRIVE: " + kMouse, "REMOVE: " + kMouse}));
}

TEST_F(HotPlugTrace, RemovingTheDeviceOfTheShownPort_LogsCloseComAfterTheRemoval) {
  Plug(kBridge, kBridgeTty, "/dev/ttyUSB0");
  Plug(kAcm, kAcmTty, "/dev/ttyACM0");
  shown_ = "/dev/ttyACM0";

  Unplug(kBridge, kBridgeTty, "/dev/ttyUSB0");
  EXPECT_EQ(lines().back(), "REMOVE: " + kBridge);
  Unplug(kAcm, kAcmTty, "/dev/ttyACM0");
  EXPECT_EQ(lines(), Lines({"ARRIVE: " + kBridge, "ARRIVE: " + kAcm, "REMOVE: " + kBridge,
                            "REMOVE: " + kAcm, "CLOSE COM"}));
  EXPECT_EQ(tracker_.size(), 0u);
}

TEST_F(HotPlugTrace, AnAdapterThatVanishesRightAfterArriving_PointsAtBrltty) {
  const std::string hint =
      "A CH34x/CP210x serial adapter vanished right after it arrived: the braille display "
      "service brltty may have claimed it; remove the brltty package or disable its udev rules";
  std::map<std::string, uint16_t> vendors = {{kBridge, 0x1A86}, {kAcm, 0x2E8A}};
  com_.DeviceVendorId = [&](const std::string& path) { return vendors[path]; };
  shown_ = "/dev/ttyUSB9";

  Plug(kBridge, "", "");  // claimed at once: no tty ever appears
  clock_.sleepMs(TComIo::kVanishMs - 1);
  Unplug(kBridge, "", "");
  EXPECT_EQ(lines(), Lines({"ARRIVE: " + kBridge, "REMOVE: " + kBridge, hint}));

  // Pulled out later, or a board of another maker: nothing more than the trace.
  Plug(kBridge, kBridgeTty, "/dev/ttyUSB0");
  clock_.sleepMs(TComIo::kVanishMs);
  Unplug(kBridge, kBridgeTty, "/dev/ttyUSB0");
  Plug(kAcm, "", "");
  Unplug(kAcm, "", "");
  EXPECT_EQ(std::count(lines().begin(), lines().end(), hint), 1);
}

TEST_F(HotPlugTrace, EmptyDropDownAndDeviceWithoutPort_BothEmpty_LogsCloseCom) {
  Plug(kMouse, "", "");
  Unplug(kMouse, "", "");
  EXPECT_EQ(lines(), Lines({"ARRIVE: " + kMouse, "REMOVE: " + kMouse, "CLOSE COM"}));
}

TEST_F(HotPlugTrace, ActionsOtherThanAddAndRemoveOfAUsbDevice_LogNothing) {
  shown_ = "/dev/ttyUSB0";
  Feed({Usb("bind", kBridge),
        Usb("unbind", kBridge),
        Usb("change", kBridge),
        Usb("move", kBridge),
        Usb("offline", kBridge),
        Usb("online", kBridge),
        Interface("add", kBridge + "/1-2:1.0"),
        Interface("remove", kBridge + "/1-2:1.0"),
        Tty("add", kBridgeTty, "/dev/ttyUSB0", kBridge),
        Tty("change", kBridgeTty, "", ""),
        Tty("remove", kBridgeTty, "/dev/ttyUSB0", ""),
        {"add", "block", "disk", "/sys/sda", "", ""},
        {"remove", "usb", "usb_device", "", "", ""}});
  EXPECT_EQ(lines(), Lines());
}

TEST_F(HotPlugTrace, BridgePresentAtStart_ItsScannedPortIsKnownAtRemoval) {
  // The initial scan reports only the tty with its USB parent; no arrival was seen.
  Feed({Tty("add", kBridgeTty, "/dev/ttyUSB0", kBridge)});
  shown_ = "/dev/ttyUSB0";
  Unplug(kBridge, kBridgeTty, "/dev/ttyUSB0");
  EXPECT_EQ(lines(), Lines({"REMOVE: " + kBridge, "CLOSE COM"}));
}

TEST_F(HotPlugTrace, TtyWithoutKnownParent_BelongsToTheDeviceWhoseSysfsTreeHoldsIt) {
  // Parent lookup failed (device already gone when the add was read): the sysfs path decides,
  // and "1-2" must not claim a tty of its neighbour "1-21".
  const std::string neighbour = kBus + "/1-21";
  Feed({Tty("add", neighbour + "/1-21:1.0/ttyUSB1/tty/ttyUSB1", "/dev/ttyUSB1", ""),
        Tty("add", kBridgeTty, "/dev/ttyUSB0", "")});
  shown_ = "/dev/ttyUSB1";
  Feed({Usb("remove", kBridge)});
  EXPECT_EQ(lines(), Lines({"REMOVE: " + kBridge}));
  Feed({Usb("remove", neighbour)});
  EXPECT_EQ(lines(), Lines({"REMOVE: " + kBridge, "REMOVE: " + neighbour, "CLOSE COM"}));
}

TEST_F(HotPlugTrace, BridgeBehindAHub_TheBridgeNotTheHubOwnsThePort) {
  const std::string hub = kBus + "/1-1";
  const std::string bridge = hub + "/1-1.2";
  const std::string tty = bridge + "/1-1.2:1.0/ttyUSB0/tty/ttyUSB0";
  Plug(hub, "", "");
  Plug(bridge, tty, "/dev/ttyUSB0");
  shown_ = "/dev/ttyUSB0";
  Unplug(bridge, tty, "/dev/ttyUSB0");
  Unplug(hub, "", "");
  EXPECT_EQ(lines(), Lines({"ARRIVE: " + hub, "ARRIVE: " + bridge, "REMOVE: " + bridge, "CLOSE COM",
                            "REMOVE: " + hub}));
}

TEST_F(HotPlugTrace, NodeNameTakenOverByAnotherDevice_NoLongerCountsForTheFirst) {
  // The bridge's driver lets go of ttyUSB0 while the bridge stays plugged in; a second bridge
  // then gets the same node name.
  const std::string other = kBus + "/1-5";
  const std::string otherTty = other + "/1-5:1.0/ttyUSB0/tty/ttyUSB0";
  Plug(kBridge, kBridgeTty, "/dev/ttyUSB0");
  Feed({Tty("remove", kBridgeTty, "/dev/ttyUSB0", "")});
  Plug(other, otherTty, "/dev/ttyUSB0");
  shown_ = "/dev/ttyUSB0";
  Feed({Usb("remove", kBridge)});
  EXPECT_EQ(lines().back(), "REMOVE: " + kBridge);
  Unplug(other, otherTty, "/dev/ttyUSB0");
  EXPECT_EQ(lines().back(), "CLOSE COM");
}

TEST_F(HotPlugTrace, DeviceWithTwoPorts_AnswersThePortOfItsFirstInterface) {
  const std::string dual = kBus + "/1-6";
  Feed({Usb("add", dual), Tty("add", dual + "/1-6:1.1/ttyUSB3/tty/ttyUSB3", "/dev/ttyUSB3", dual),
        Tty("add", dual + "/1-6:1.0/ttyUSB2/tty/ttyUSB2", "/dev/ttyUSB2", dual)});
  EXPECT_EQ(tracker_.PortName(dual), "/dev/ttyUSB2");
  EXPECT_EQ(tracker_.PortName(kBridge), "");
}

TEST_F(HotPlugTrace, HandlerRaises_ReportedAndTheDeviceStillForgotten) {
  Plug(kBridge, kBridgeTty, "/dev/ttyUSB0");
  com_.CurrentPortText = []() -> std::string { throw std::runtime_error("no drop-down"); };
  Unplug(kBridge, kBridgeTty, "/dev/ttyUSB0");
  EXPECT_EQ(reports_, Lines({"no drop-down"}));
  EXPECT_EQ(lines(), Lines({"ARRIVE: " + kBridge, "REMOVE: " + kBridge}));
  EXPECT_EQ(tracker_.size(), 0u);
  Plug(kAcm, "", "");
  EXPECT_EQ(lines().back(), "ARRIVE: " + kAcm);
}

TEST(UsbRemove, PortNamesCompareExactly) {
  VirtualClock clock;
  TComIo com(
      clock, [](const std::string&) { return std::unique_ptr<SerialDevice>(); },
      [] { return std::vector<std::string>(); });
  MemoryLog log;
  com.UsbLog = &log;
  std::string port;
  std::string shown;
  com.DevicePortName = [&](const std::string&) { return port; };
  com.CurrentPortText = [&] { return shown; };

  port = "com5", shown = "COM5";
  com.UsbRemove("a");
  port = "COM5", shown = "COM5 ";
  com.UsbRemove("b");
  port = "COM5", shown = "";
  com.UsbRemove("c");
  port = "COM5", shown = "COM5";
  com.UsbRemove("d");
  EXPECT_EQ(log.lines(), Lines({"REMOVE: a", "REMOVE: b", "REMOVE: c", "REMOVE: d", "CLOSE COM"}));
}

}  // namespace
}  // namespace flintmoor
