// The debug log's line formats, byte for byte: F conversions, the one-line operations, hex dumps.
#include <gtest/gtest.h>

#include <numeric>
#include <sstream>
#include <vector>

#include "base/Error.h"
#include "log/Log.h"

using namespace flintmoor;
using Lines = std::vector<std::string>;

TEST(LogDump, ThreeBytesGiveOneShortRow) {
  MemoryLog log;
  const uint8_t bytes[] = {0x41, 0x42, 0x0D};
  log.BUFF(bytes, 3);
  EXPECT_EQ(log.lines(), Lines{"0000:  41 42 0D .. .. .. .. .. .. .. .. .. .. .. .. ..  AB."});
}

TEST(LogDump, SeventeenBytesSpillIntoASecondRow) {
  MemoryLog log;
  std::vector<uint8_t> bytes(17);
  std::iota(bytes.begin(), bytes.end(), uint8_t{0x30});
  log.BUFF(bytes.data(), 17);
  EXPECT_EQ(log.lines(),
            (Lines{"0000:  30 31 32 33 34 35 36 37 38 39 3A 3B 3C 3D 3E 3F  0123456789:;<=>?",
                   "0010:  40 .. .. .. .. .. .. .. .. .. .. .. .. .. .. ..  @"}));
}

TEST(LogDump, RowLengthsAtTheBoundaries) {
  MemoryLog log;
  std::vector<uint8_t> bytes(16, 'a');
  log.BUFF(bytes.data(), 0);
  EXPECT_TRUE(log.lines().empty());
  log.BUFF(bytes.data(), 16);
  EXPECT_EQ(log.lines(),
            Lines{"0000:  61 61 61 61 61 61 61 61 61 61 61 61 61 61 61 61  aaaaaaaaaaaaaaaa"});
}

TEST(LogDump, CharacterColumnShowsOnly32To125) {
  MemoryLog log;
  const uint8_t bytes[] = {31, 32, 125, 126, 127, 0xFF, 0x00};
  log.BUFF(bytes, 7);
  EXPECT_EQ(log.lines(), Lines{"0000:  1F 20 7D 7E 7F FF 00 .. .. .. .. .. .. .. .. ..  . }...."});
}

TEST(LogDump, OffsetsGrowToFiveDigitsPast0xFFFF) {
  MemoryLog log;
  std::vector<uint8_t> bytes(0x10001, 0x2E);
  log.BUFF(bytes.data(), static_cast<int>(bytes.size()));
  ASSERT_EQ(log.lines().size(), 0x1001u);
  EXPECT_EQ(log.lines()[0xFFF].substr(0, 7), "FFF0:  ");
  EXPECT_EQ(log.lines()[0x1000], "10000:  2E .. .. .. .. .. .. .. .. .. .. .. .. .. .. ..  .");
}

TEST(LogDump, DumpWritesTheHeadingEvenForNothing) {
  MemoryLog log;
  log.DUMP({}, -1);
  EXPECT_EQ(log.lines(), Lines{"Anzahl: 0"});

  log.C();
  log.DUMP({0x01, 0x02, 0x03, 0x7A}, -1);
  log.DUMP({0x01, 0x02, 0x03, 0x7A}, 2);
  EXPECT_EQ(log.lines(),
            (Lines{"Anzahl: 4", "0000:  01 02 03 7A .. .. .. .. .. .. .. .. .. .. .. ..  ...z",
                   "Anzahl: 2", "0000:  01 02 .. .. .. .. .. .. .. .. .. .. .. .. .. ..  .."}));
}

TEST(LogDump, CountsBeyondTheArrayOrNegativeReadNothingExtra) {
  MemoryLog log;
  log.DUMP({0x41}, 40);
  log.DUMP({0x41}, -7);
  log.BUFF(nullptr, 8);
  log.BUFF("x", -3);
  EXPECT_EQ(log.lines(),
            (Lines{"Anzahl: 1", "0000:  41 .. .. .. .. .. .. .. .. .. .. .. .. .. .. ..  A",
                   "Anzahl: 0"}));
}

TEST(LogLines, FixedFormats) {
  MemoryLog log;
  log.H(255);
  log.H(-1);
  log.H(0x1'2345'6789LL);
  log.D(-42);
  log.D(INT32_MIN);
  log.B(true);
  log.B(false);
  log.TH("Reg", 16);
  log.TH("Neg", -2);
  log.S("as is: %d");
  EXPECT_EQ(log.lines(), (Lines{"000000FF", "FFFFFFFF", "23456789", "-42", "-2147483648", "TRUE",
                                "FALSE", "Reg: 00000010", "Neg: FFFFFFFE", "as is: %d"}));
}

TEST(LogLines, SeparatorIsSixtyCopies) {
  MemoryLog log;
  log.L('=');
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_EQ(log.lines()[0], std::string(60, '='));
}

TEST(LogLines, ClearEmptiesAndTheNextLineStartsAtTheTop) {
  MemoryLog log;
  log.C();
  EXPECT_TRUE(log.lines().empty());
  log.S("one");
  log.S("two");
  log.C();
  log.S("three");
  EXPECT_EQ(log.lines(), Lines{"three"});
}

TEST(LogLines, StreamLogWritesEachLineAndIgnoresClear) {
  std::ostringstream out;
  StreamLog log(out);
  log.F("BLK: %d", {3});
  log.C();
  log.B(true);
  EXPECT_EQ(out.str(), "BLK: 3\nTRUE\n");
}

TEST(LogFormat, TheSystemsOwnFormats) {
  EXPECT_EQ(formatLog("BLK: %d", {12}), "BLK: 12");
  EXPECT_EQ(formatLog("ERA: %d", {-3}), "ERA: -3");
  EXPECT_EQ(formatLog("ADR: %x", {0x10000}), "ADR: 10000");
  EXPECT_EQ(formatLog("%3d: %d = %02x", {5, 1, 0xC1}), "  5: 1 = C1");
  EXPECT_EQ(formatLog("%3d: %d = %02x", {5, 1, 5}), "  5: 1 =  5");
  EXPECT_EQ(formatLog("Read Reg: 0x%0.8x", {0x3FF5A004u}), "Read Reg: 0x3FF5A004");
  EXPECT_EQ(formatLog("Read Reg: 0x%0.8x", {0x1000}), "Read Reg: 0x00001000");
  EXPECT_EQ(formatLog("%0.2x:%0.2x:%0.2x", {10, 0xAB, 0}), "0A:AB:00");
  EXPECT_EQ(formatLog("Controller Error: %s", {"ESP32-S2"}), "Controller Error: ESP32-S2");
}

TEST(LogFormat, WidthPrecisionAndSigns) {
  EXPECT_EQ(formatLog("%0.8x", {0x1234}), "00001234");
  EXPECT_EQ(formatLog("[%5d]", {-12}), "[  -12]");
  EXPECT_EQ(formatLog("[%6.3d]", {-7}), "[  -007]");
  EXPECT_EQ(formatLog("[%2d]", {12345}), "[12345]");
  EXPECT_EQ(formatLog("%x", {-1}), "FFFFFFFF");
  EXPECT_EQ(formatLog("%x", {0x1'0000'0000LL}), "100000000");
  EXPECT_EQ(formatLog("%d", {INT64_MIN}), "-9223372036854775808");
  EXPECT_EQ(formatLog("[%4s|%s|%.2s]", {"ab", 'c', "xyz"}), "[  ab|c|xy]");
  EXPECT_EQ(formatLog("100%% of %d%%", {7}), "100% of 7%");
  EXPECT_EQ(formatLog("", {}), "");
}

TEST(LogFormat, MismatchedFormatsRaiseNamingTheFormat) {
  struct Case {
    const char* form;
    std::initializer_list<LogArg> args;
  };
  const Case cases[] = {
      {"BLK: %d", {}},          // too few
      {"BLK: %d", {1, 2}},      // too many
      {"no conversion", {1}},   // too many
      {"BLK: %d", {"text"}},    // text for a number
      {"BLK: %x", {'c'}},       // character for a number
      {"Name: %s", {5}},        // number for a text
      {"Value: %u", {5}},       // unknown conversion
      {"Value: %5", {5}},       // incomplete at the end
      {"Value: %99999d", {5}},  // absurd width
  };
  for (const Case& c : cases) {
    try {
      formatLog(c.form, c.args);
      ADD_FAILURE() << "no error for " << c.form;
    } catch (const Exception& e) {
      EXPECT_NE(std::string(e.what()).find(c.form), std::string::npos) << e.what();
    }
  }
  MemoryLog log;
  EXPECT_THROW(log.F("ADR: %x", {}), Exception);
  EXPECT_TRUE(log.lines().empty());
}
