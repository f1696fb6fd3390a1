// The registry key of a USB device instance, built from a device interface path.
#include <gtest/gtest.h>

#include "comio/DeviceKeyPath.h"

namespace flintmoor {
namespace {

TEST(DeviceKeyPath, InterfacePath_GivesTheInstanceKeyWithHashesAsSeparators) {
  EXPECT_EQ(
      DeviceKeyPath("\\\\?\\USB#VID_1234&PID_5678#0001#{a5dcbf10-6530-11d2-901f-00c04fb951ed}"),
      "\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_1234&PID_5678\\0001\\Device Parameters\\");
  // The instance part ends at the first "#{", and a "#" inside it becomes a separator as well.
  EXPECT_EQ(DeviceKeyPath("\\\\?\\USB#VID_10C4&PID_EA60#5&2c0b#3#{guid}#{x}"),
            "\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_10C4&PID_EA60\\5&2c0b\\3\\Device "
            "Parameters\\");
}

TEST(DeviceKeyPath, PathWithoutBothMarkersInOrder_NamesNoKey) {
  EXPECT_EQ(DeviceKeyPath("\\\\?\\USB#PID_5678#0001#{a5dcbf10-6530-11d2-901f-00c04fb951ed}"), "");
  EXPECT_EQ(DeviceKeyPath("\\\\?\\USB#VID_1234&PID_5678#0001"), "");
  EXPECT_EQ(DeviceKeyPath("\\\\?\\USB#vid_1234&PID_5678#0001#{guid}"), "");  // case-sensitive
  EXPECT_EQ(DeviceKeyPath("\\\\?\\USB#{guid}#VID_1234&PID_5678#0001"), "");
  EXPECT_EQ(DeviceKeyPath(""), "");
}

TEST(DeviceKeyPath, RelativeKeyPath_DropsTheSeparatorsAtBothEnds) {
  EXPECT_EQ(
      RelativeKeyPath(
          "\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_1234&PID_5678\\0001\\Device Parameters\\"),
      "SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_1234&PID_5678\\0001\\Device Parameters");
  EXPECT_EQ(RelativeKeyPath(""), "");
  EXPECT_EQ(RelativeKeyPath("\\\\"), "");
}

}  // namespace
}  // namespace flintmoor
