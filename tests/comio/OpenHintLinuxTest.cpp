// The advice under a port that would not open, against device nodes in a temporary folder and a
// fake process table laid out like /proc: PID folders with a comm file and fd links.
#include <errno.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "base/Error.h"
#include "comio/OpenHint.h"
#include "tests/support/TempDir.h"

using namespace flintmoor;
namespace fs = std::filesystem;
using flintmoor::testing::TempDir;
using flintmoor::testing::writeBytes;

namespace {

const std::string kBrltty =
    "The braille display service brltty may have claimed the CH34x/CP210x adapter: remove the "
    "brltty package or disable its udev rules";

class FakeProc : public ::testing::Test {
 protected:
  std::string root() const { return (dir_.path() / "proc").string(); }
  // A process PID named `name`, holding `fd` open on `target` when a target is given.
  void process(const std::string& pid, const std::string& name, const std::string& fd = {},
               const std::string& target = {}) {
    const fs::path at = dir_.path() / "proc" / pid;
    fs::create_directories(at / "fd");
    writeBytes((at / "comm").string(), name + "\n");
    if (!fd.empty()) fs::create_symlink(target, at / "fd" / fd);
  }

  TempDir dir_;
};

TEST_F(FakeProc, AccessNamesTheGroupThatOwnsTheNode) {
  const std::string node = dir_.file("ttyFake0");
  writeBytes(node, "");
  struct stat st {};
  ASSERT_EQ(::stat(node.c_str(), &st), 0);
  const group* owner = ::getgrgid(st.st_gid);
  if (owner != nullptr) {
    EXPECT_EQ(accessHint(node), "Add your user to the group " + std::string(owner->gr_name) +
                                    ", which owns " + node + ", and log in again");
  } else {  // a gid without a name (some containers): the usual group is suggested
    EXPECT_EQ(accessHint(node), "Add your user to the group that owns " + node +
                                    " (usually dialout) and log in again");
  }
  EXPECT_EQ(openFailureHint(EACCES, node, root()), accessHint(node));

  const std::string gone = dir_.file("ttyGone");
  EXPECT_EQ(accessHint(gone),
            "Add your user to the group that owns " + gone + " (usually dialout) and log in again");
}

TEST_F(FakeProc, BusyNamesTheProcessThatHoldsTheDevice) {
  process("1", "systemd", "0", "/dev/null");
  process("123", "screen", "4", "/dev/ttyUSB0");
  fs::create_directories(fs::path(root()) / "sys" / "fd");  // not a process
  EXPECT_EQ(busyHint("/dev/ttyUSB0", root()), "/dev/ttyUSB0 is in use by screen (process 123)");
  EXPECT_EQ(openFailureHint(EBUSY, "/dev/ttyUSB0", root()),
            "/dev/ttyUSB0 is in use by screen (process 123)");
  EXPECT_EQ(busyHint("/dev/ttyUSB1", root()), "");
  EXPECT_EQ(busyHint("/dev/ttyUSB0", dir_.file("no-proc")), "");
}

TEST_F(FakeProc, BusyFindsAHolderOfTheNodeBehindALinkedName) {
  // The user picked a stable name (like /dev/serial/by-id/...); the holder's link names the node.
  const std::string node = dir_.file("ttyACM3");
  writeBytes(node, "");
  const std::string byId = dir_.file("usb-board-if00");
  fs::create_symlink(node, byId);
  process("77", "minicom", "3", fs::canonical(node).string());
  EXPECT_EQ(busyHint(byId, root()), byId + " is in use by minicom (process 77)");
}

TEST_F(FakeProc, AMissingUsbPortPointsAtARunningBrltty) {
  process("1", "systemd");
  EXPECT_EQ(missingDeviceHint("/dev/ttyUSB0", root()), "") << "no brltty running";
  process("812", "brltty");
  EXPECT_EQ(missingDeviceHint("/dev/ttyUSB0", root()), kBrltty);
  EXPECT_EQ(openFailureHint(ENOENT, "/dev/ttyACM1", root()), kBrltty);
  EXPECT_EQ(missingDeviceHint("/dev/ttyS0", root()), "") << "not a USB serial name";
  EXPECT_EQ(openFailureHint(EIO, "/dev/ttyUSB0", root()), "") << "no advice for other errors";
}

TEST(PortError, AHintFollowsTheCodeOnItsOwnLineAndLeavesTheCodeAlone) {
  const EComPort withHint("Unable to open com port", EBUSY,
                          "/dev/ttyUSB0 is in use by x (process 9)");
  EXPECT_STREQ(withHint.what(), ("Unable to open com port (Error: " + std::to_string(EBUSY) +
                                 ")\n/dev/ttyUSB0 is in use by x (process 9)")
                                    .c_str());
  EXPECT_EQ(withHint.code(), EBUSY);
  EXPECT_STREQ(EComPort("Port Not Open", 0, "").what(), "Port Not Open");
}

}  // namespace
