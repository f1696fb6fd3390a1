// Natural-order comparison of port names and the port list sort.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "job/StrNatComp.h"

namespace flintmoor {
namespace {

TEST(NaturalCompare, OrdersNumbersFractionsBlanksAndCase) {
  // Each pair: first < second, checked both ways.
  const std::pair<const char*, const char*> ordered[] = {
      {"COM2", "COM3"},   {"COM3", "COM10"}, {"/dev/ttyUSB2", "/dev/ttyUSB10"},
      {"x01", "x1"},      {"x007", "x07"},   {"x01", "x010"},  // leading zeros: fractions
      {"COM 2", "COM10"}, {"comz", "COM_"},                    // folded to upper case, 'Z' < '_'
      {"COM", "COM1"},    {"", "A"}};
  for (const auto& [a, b] : ordered) {
    EXPECT_EQ(NaturalCompare(a, b), -1) << a << " < " << b;
    EXPECT_EQ(NaturalCompare(b, a), 1) << b << " > " << a;
  }
  for (const auto& [a, b] :
       {std::pair{"com3", "COM3"}, {" \tCOM 3 ", "COM3"}, {"x010", "x010"}, {"", ""}}) {
    EXPECT_EQ(NaturalCompare(a, b), 0) << a << " = " << b;
  }
}

TEST(SortPorts, SortsNaturallyAndKeepsEqualNamesInTheirOrder) {
  std::vector<std::string> ports = {"COM3", "COM10",         "com3",
                                    "COM2", "/dev/ttyUSB10", "/dev/ttyUSB2"};
  SortPorts(ports);
  EXPECT_EQ(ports, (std::vector<std::string>{"/dev/ttyUSB2", "/dev/ttyUSB10", "COM2", "COM3",
                                             "com3", "COM10"}));
}

}  // namespace
}  // namespace flintmoor
