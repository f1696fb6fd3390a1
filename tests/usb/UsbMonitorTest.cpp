// The real udev monitor on the machine running the tests: it starts with a watchable descriptor
// and gives back every descriptor it opened when it is destroyed.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>

#include "comio/U_Usb.h"

namespace flintmoor {
namespace {

int OpenDescriptors() {
  DIR* dir = opendir("/proc/self/fd");
  if (!dir) return -1;
  int count = 0;
  while (readdir(dir)) ++count;
  closedir(dir);
  return count;
}

TEST(UsbMonitor, StartsNonBlockingAndReleasesItsDescriptorsWhenDestroyed) {
  const int before = OpenDescriptors();
  ASSERT_GT(before, 0) << "/proc/self/fd is not readable";
  {
    TComponentUSB usb;
    if (usb.fd() < 0) {
      GTEST_SKIP() << "the system refused a udev netlink monitor (container without netlink?)";
    }
    EXPECT_GT(OpenDescriptors(), before);
    const int status = fcntl(usb.fd(), F_GETFL);
    const int flags = fcntl(usb.fd(), F_GETFD);
    EXPECT_TRUE(status & O_NONBLOCK);
    EXPECT_TRUE(flags & FD_CLOEXEC);
    // Non-blocking: with nothing queued this returns at once.
    usb.dispatch();
    EXPECT_EQ(usb.DevicePortName("/sys/devices/no/such/usb/device"), "");
  }
  EXPECT_EQ(OpenDescriptors(), before);
}

}  // namespace
}  // namespace flintmoor
