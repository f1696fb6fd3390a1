// Natural-order comparison of port names and the port list sort.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "app/StrNatComp.h"

namespace flintmoor {
namespace {

// Checks a < b and the mirrored b > a.
void expectBefore(const std::string& a, const std::string& b) {
  EXPECT_EQ(NaturalCompare(a, b), -1) << a << " vs " << b;
  EXPECT_EQ(NaturalCompare(b, a), 1) << b << " vs " << a;
}

TEST(NaturalCompare, DigitRunsCompareAsNumbers) {
  expectBefore("COM2", "COM3");
  expectBefore("COM3", "COM10");
  expectBefore("COM9", "COM10");
  expectBefore("/dev/ttyUSB2", "/dev/ttyUSB10");
  expectBefore("/dev/ttyACM0", "/dev/ttyUSB0");
  expectBefore("COM10x", "COM11");
  EXPECT_EQ(NaturalCompare("COM10", "COM10"), 0);
}

TEST(NaturalCompare, LetterCaseIsFolded) {
  EXPECT_EQ(NaturalCompare("com3", "COM3"), 0);
  EXPECT_EQ(NaturalCompare("/DEV/ttyusb1", "/dev/ttyUSB1"), 0);
  // Folded to upper case, '_' (0x5F) sorts after the letters.
  expectBefore("comz", "COM_");
}

TEST(NaturalCompare, RunsWithLeadingZerosCompareAsFractions) {
  expectBefore("x01", "x1");  // '0' < '1' from the left
  expectBefore("x007", "x07");
  expectBefore("x01", "x010");  // the shorter run ends first
  expectBefore("v1.05", "v1.5");
  expectBefore("v1.5", "v1.50");
  EXPECT_EQ(NaturalCompare("x010", "x010"), 0);
}

TEST(NaturalCompare, BlanksAndControlCharactersAreSkipped) {
  EXPECT_EQ(NaturalCompare("COM 3", "COM3"), 0);
  EXPECT_EQ(NaturalCompare(" \tCOM3 ", "COM3"), 0);
  expectBefore("COM 2", "COM10");
}

TEST(NaturalCompare, AShorterTextComesFirst) {
  expectBefore("COM", "COM1");
  expectBefore("", "A");
  EXPECT_EQ(NaturalCompare("", ""), 0);
}

TEST(SortPorts, SortsInNaturalOrderKeepingEqualNamesInPlace) {
  std::vector<std::string> ports = {"COM3", "COM10",         "com3",
                                    "COM2", "/dev/ttyUSB10", "/dev/ttyUSB2"};
  SortPorts(ports);
  EXPECT_EQ(ports, (std::vector<std::string>{"/dev/ttyUSB2", "/dev/ttyUSB10", "COM2", "COM3",
                                             "com3", "COM10"}));
}

TEST(SortPorts, EmptyAndSingleListsStay) {
  std::vector<std::string> none;
  SortPorts(none);
  EXPECT_TRUE(none.empty());
  std::vector<std::string> one = {"SIM"};
  SortPorts(one);
  EXPECT_EQ(one, std::vector<std::string>{"SIM"});
}

}  // namespace
}  // namespace flintmoor
