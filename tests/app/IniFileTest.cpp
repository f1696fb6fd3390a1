// The settings store: value rules, loading and writing rules, encodings and the safe save.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "TempDir.h"
#include "app/IniFile.h"
#include "diag/Log.h"

namespace flintmoor {
namespace {

using testing::readBytes;
using testing::TempDir;
using testing::writeBytes;

// The bytes of a literal that holds NULs, without its terminator.
template <size_t N>
std::string bytesOf(const char (&s)[N]) {
  return std::string(s, N - 1);
}

IniFile fromBytes(std::string_view bytes) {
  IniFile ini("/nonexistent-dir-for-flintmoor-tests", "Flintmoor.ini");
  ini.loadFromBytes(bytes);
  return ini;
}

TEST(IniValues, IntegersFollowTheTextToIntegerRules) {
  EXPECT_EQ(parseIniInteger(""), 0);
  EXPECT_EQ(parseIniInteger("  42"), 42);
  EXPECT_EQ(parseIniInteger("-7"), -7);
  EXPECT_EQ(parseIniInteger("+7"), 7);
  EXPECT_EQ(parseIniInteger("$1F"), 31);
  EXPECT_EQ(parseIniInteger("0x1f"), 31);
  EXPECT_EQ(parseIniInteger("0X1F"), 31);
  EXPECT_EQ(parseIniInteger("x1f"), 31);
  EXPECT_EQ(parseIniInteger("X1F"), 31);
  EXPECT_EQ(parseIniInteger("-$10"), -16);
  EXPECT_EQ(parseIniInteger("2147483647"), 2147483647);
  EXPECT_EQ(parseIniInteger("-2147483648"), INT32_MIN);
  EXPECT_EQ(parseIniInteger("$FFFFFFFF"), -1);
}

TEST(IniValues, IntegersThatDoNotConvert) {
  for (const char* text : {"2147483648", "-2147483649", "$100000000", "12a", "0x", "$", "abc", "1 ",
                           "1.5", "--1", "0xG"}) {
    EXPECT_FALSE(parseIniInteger(text).has_value()) << text;
  }
}

TEST(IniValues, BooleansTakeTheSixWordsOrAnInteger) {
  for (const char* text : {"TRUE", "true", "Yes", "y", "1", "-1", "$10"}) {
    EXPECT_EQ(parseIniBool(text), true) << text;
  }
  for (const char* text : {"FALSE", "False", "no", "N", "0", ""}) {
    EXPECT_EQ(parseIniBool(text), false) << text;
  }
  for (const char* text : {"maybe", "yess", "on"}) {
    EXPECT_FALSE(parseIniBool(text).has_value()) << text;
  }
}

TEST(IniFileLoad, DropsCommentsBlankLinesAndLinesBeforeTheFirstSection) {
  IniFile ini = fromBytes(
      "Orphan=1\r\n; a comment\r\n[CONFIG]\r\n\r\n  ; indented comment\r\n"
      "  ConnBaud   =   57600  \r\nPlain line\r\n");
  EXPECT_FALSE(ini.valueExists("CONFIG", "Orphan"));
  EXPECT_EQ(ini.value("CONFIG", "ConnBaud"), "57600");
  EXPECT_EQ(ini.toBytes(), "[CONFIG]\r\nConnBaud=57600\r\nPlain line\r\n\r\n");
}

TEST(IniFileLoad, NamesMatchWithoutRegardToCase) {
  IniFile ini = fromBytes("[config]\nconnbaud=57600\n");
  EXPECT_TRUE(ini.sectionExists("CONFIG"));
  EXPECT_EQ(ini.readInteger("CONFIG", "ConnBaud", 115200), 57600);
  // Writing replaces the value in place under the name as written; the section keeps its name.
  ini.writeInteger("Config", "CONNBAUD", 9600);
  EXPECT_EQ(ini.toBytes(), "[config]\r\nCONNBAUD=9600\r\n\r\n");
}

TEST(IniFileLoad, TakesAnyLineEndAndMergesARepeatedSection) {
  IniFile ini = fromBytes("[A]\ra=1\n[B]\r\nb=2\n[a]\nc=3");
  EXPECT_EQ(ini.value("A", "c"), "3");
  EXPECT_EQ(ini.toBytes(), "[A]\r\na=1\r\nc=3\r\n\r\n[B]\r\nb=2\r\n\r\n");
}

TEST(IniFileLoad, OnlyTheFirstEqualsSignSplits) {
  IniFile ini = fromBytes("[FILES]\nFirmware = C:\\a=b.bin\n");
  EXPECT_EQ(ini.value("FILES", "Firmware"), "C:\\a=b.bin");
}

TEST(IniFileWrite, KeepsLoadedOrderAndAppendsNewKeysAndSections) {
  IniFile ini = fromBytes("[CONFIG]\nExtra=keep me\nDoBeep=0\n");
  ini.writeString("Main", "ShowCmd", "1");
  ini.writeBool("CONFIG", "DoBeep", false);
  ini.writeString("CONFIG", "ComPort", "COM3");
  ini.writeInteger("Main", "FormVersion", -5);
  EXPECT_EQ(ini.toBytes(),
            "[CONFIG]\r\nExtra=keep me\r\nDoBeep=FALSE\r\nComPort=COM3\r\n\r\n"
            "[Main]\r\nShowCmd=1\r\nFormVersion=-5\r\n\r\n");
}

TEST(IniFileRead, AbsentKeysGiveTheDefaultAndBadValuesAreLogged) {
  IniFile ini = fromBytes("[CONFIG]\nConnBaud=fast\nDoBeep=perhaps\nFastBaud=\n");
  MemoryLog log;
  EXPECT_EQ(ini.readInteger("CONFIG", "Missing", 7, &log), 7);
  EXPECT_EQ(ini.readString("CONFIG", "Missing", "dflt"), "dflt");
  EXPECT_TRUE(log.lines().empty());
  EXPECT_EQ(ini.readInteger("CONFIG", "FastBaud", 921600, &log), 0);
  EXPECT_EQ(ini.readInteger("CONFIG", "ConnBaud", 115200, &log), 115200);
  EXPECT_TRUE(ini.readBool("CONFIG", "DoBeep", true, &log));
  EXPECT_EQ(log.lines(),
            (std::vector<std::string>{
                "Settings: [CONFIG] ConnBaud=\"fast\" does not convert, default 115200 used",
                "Settings: [CONFIG] DoBeep=\"perhaps\" does not convert, default TRUE used"}));
}

TEST(IniFileEncoding, PlainUtf8RoundTripsByteForByte) {
  const std::string bytes = "[FILES]\r\nFirmware=/home/j\xC3\xBCrgen/app.bin\r\n\r\n";
  IniFile ini = fromBytes(bytes);
  EXPECT_EQ(ini.encoding(), IniFile::Encoding::Utf8);
  EXPECT_EQ(ini.toBytes(), bytes);
}

TEST(IniFileEncoding, NonUtf8FileIsLatin1AndRoundTripsByteForByte) {
  const std::string bytes = "[FILES]\r\nFirmware=C:\\M\xFCller\\app.bin\r\n\r\n";
  IniFile ini = fromBytes(bytes);
  EXPECT_EQ(ini.encoding(), IniFile::Encoding::Latin1);
  EXPECT_EQ(ini.value("FILES", "Firmware"), "C:\\M\xC3\xBCller\\app.bin");
  EXPECT_EQ(ini.toBytes(), bytes);
}

TEST(IniFileEncoding, Latin1FileGivenANameBeyondLatin1BecomesUtf8) {
  IniFile ini = fromBytes("[FILES]\r\nBootloader=M\xFCller.bin\r\n\r\n");
  ini.writeString("FILES", "Firmware", "\xE2\x82\xAC.bin");  // the euro sign
  const std::string bytes = ini.toBytes();
  EXPECT_EQ(bytes, "[FILES]\r\nBootloader=M\xC3\xBCller.bin\r\nFirmware=\xE2\x82\xAC.bin\r\n\r\n");
  IniFile again = fromBytes(bytes);
  EXPECT_EQ(again.value("FILES", "Firmware"), "\xE2\x82\xAC.bin");
  EXPECT_EQ(again.value("FILES", "Bootloader"), "M\xC3\xBCller.bin");
}

TEST(IniFileEncoding, Utf8MarkIsKept) {
  const std::string bytes = "\xEF\xBB\xBF[FILES]\r\nFirmware=\xC3\xA9.bin\r\n\r\n";
  IniFile ini = fromBytes(bytes);
  EXPECT_EQ(ini.encoding(), IniFile::Encoding::Utf8Bom);
  EXPECT_EQ(ini.value("FILES", "Firmware"), "\xC3\xA9.bin");
  EXPECT_EQ(ini.toBytes(), bytes);
}

TEST(IniFileEncoding, Utf16MarksAreReadAndWrittenBack) {
  // "[A]\r\nk=\u00E9\U0001F600\r\n\r\n"; the last character takes a surrogate pair.
  const std::string le =
      bytesOf("\xFF\xFE[\0A\0]\0\r\0\n\0k\0=\0\xE9\0\x3D\xD8\x00\xDE\r\0\n\0\r\0\n\0");
  IniFile ini = fromBytes(le);
  EXPECT_EQ(ini.encoding(), IniFile::Encoding::Utf16LE);
  EXPECT_EQ(ini.value("A", "k"), "\xC3\xA9\xF0\x9F\x98\x80");
  EXPECT_EQ(ini.toBytes(), le);

  const std::string be =
      bytesOf("\xFE\xFF\0[\0A\0]\0\r\0\n\0k\0=\0\xE9\xD8\x3D\xDE\x00\0\r\0\n\0\r\0\n");
  IniFile ini16be = fromBytes(be);
  EXPECT_EQ(ini16be.encoding(), IniFile::Encoding::Utf16BE);
  EXPECT_EQ(ini16be.value("A", "k"), "\xC3\xA9\xF0\x9F\x98\x80");
  EXPECT_EQ(ini16be.toBytes(), be);
}

TEST(IniFileDisk, LivesInTheGivenDirectoryUnderItsNamePart) {
  TempDir dir;
  writeBytes(dir.file("Flintmoor.ini"), "[CONFIG]\r\nComPort=COM4\r\n\r\n");
  IniFile ini(dir.str(), "C:\\elsewhere/Flintmoor.ini");
  EXPECT_EQ(ini.path(), dir.file("Flintmoor.ini"));
  EXPECT_EQ(ini.value("CONFIG", "ComPort"), "COM4");
}

TEST(IniFileDisk, MissingFileGivesAnEmptyStoreAndSavingCreatesIt) {
  TempDir dir;
  IniFile ini(dir.str(), "Flintmoor.ini");
  EXPECT_FALSE(ini.sectionExists("CONFIG"));
  EXPECT_TRUE(ini.loadError().empty());
  ini.writeString("CONFIG", "ComPort", "COM4");
  MemoryLog log;
  ASSERT_TRUE(ini.save(&log));
  EXPECT_EQ(readBytes(dir.file("Flintmoor.ini")), "[CONFIG]\r\nComPort=COM4\r\n\r\n");
  EXPECT_FALSE(std::filesystem::exists(dir.file("Flintmoor.ini.tmp")));
  EXPECT_TRUE(log.lines().empty());
}

TEST(IniFileDisk, AFailedSaveLeavesTheOldFileAndIsLogged) {
  TempDir dir;
  const std::string old = "[CONFIG]\r\nComPort=COM4\r\n\r\n";
  writeBytes(dir.file("Flintmoor.ini"), old);
  IniFile ini(dir.str(), "Flintmoor.ini");
  ini.writeString("CONFIG", "ComPort", "COM5");
  // Something that cannot be replaced by a file stands where the temporary file goes.
  std::filesystem::create_directory(dir.file("Flintmoor.ini.tmp"));
  MemoryLog log;
  EXPECT_FALSE(ini.save(&log));
  EXPECT_EQ(readBytes(dir.file("Flintmoor.ini")), old);
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_TRUE(log.lines()[0].starts_with("Settings: cannot write " + dir.file("Flintmoor.ini")))
      << log.lines()[0];
}

TEST(IniFileDisk, SavingIntoAMissingDirectoryFails) {
  TempDir dir;
  IniFile ini(dir.file("gone"), "Flintmoor.ini");
  ini.writeString("CONFIG", "ComPort", "COM5");
  MemoryLog log;
  EXPECT_FALSE(ini.save(&log));
  EXPECT_EQ(log.lines().size(), 1u);
  EXPECT_FALSE(std::filesystem::exists(dir.file("gone")));
}

}  // namespace
}  // namespace flintmoor
