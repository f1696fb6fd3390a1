// The settings store: value rules, loading and writing rules, encodings and the safe save.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "job/IniFile.h"
#include "log/Log.h"
#include "tests/support/TempDir.h"

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

TEST(IniValues, IntegersAndBooleansFollowTheirReadingRules) {
  const std::pair<const char*, int32_t> ints[] = {
      {"", 0},          {"  42", 42},  {"-7", -7},
      {"+7", 7},        {"$1F", 31},   {"0x1f", 31},
      {"X1F", 31},      {"-$10", -16}, {"-2147483648", INT32_MIN},
      {"$FFFFFFFF", -1}};
  for (const auto& [text, value] : ints) EXPECT_EQ(parseIniInteger(text), value) << text;
  for (const char* text : {"2147483648", "$100000000", "12a", "0x", "$", "1 ", "--1"}) {
    EXPECT_FALSE(parseIniInteger(text).has_value()) << text;
  }
  for (const char* text : {"TRUE", "Yes", "y", "1", "-1"}) EXPECT_EQ(parseIniBool(text), true);
  for (const char* text : {"False", "no", "N", "0", ""}) EXPECT_EQ(parseIniBool(text), false);
  for (const char* text : {"maybe", "on"}) EXPECT_FALSE(parseIniBool(text).has_value()) << text;
}

TEST(IniFile, LoadingDropsCommentsAndStrayLinesAndMatchesNamesInAnyCase) {
  IniFile ini = fromBytes(
      "Orphan=1\r\n; comment\r\n[config]\r\n\r\n  connbaud   =   5=7  \r\nPlain line\n"
      "[B]\rb=2\n[CONFIG]\nlast=3");
  EXPECT_EQ(ini.value("CONFIG", "ConnBaud"), "5=7");
  EXPECT_EQ(ini.readInteger("Config", "Last", 0), 3);  // a repeated section continues the first
  ini.writeInteger("CONFIG", "CONNBAUD", 9600);        // replaced in place, under the new name
  ini.writeString("New", "k", "v");
  EXPECT_EQ(ini.toBytes(),
            "[config]\r\nCONNBAUD=9600\r\nPlain line\r\nlast=3\r\n\r\n[B]\r\nb=2\r\n\r\n"
            "[New]\r\nk=v\r\n\r\n");
}

TEST(IniFile, ValueThatDoesNotConvertGivesTheDefaultAndALogLine) {
  IniFile ini = fromBytes("[CONFIG]\r\nConnBaud=fast\r\nDoBeep=perhaps\r\n");
  MemoryLog log;
  EXPECT_EQ(ini.readInteger("CONFIG", "Absent", 7, &log), 7);
  EXPECT_EQ(ini.readInteger("CONFIG", "ConnBaud", 115200, &log), 115200);
  EXPECT_TRUE(ini.readBool("CONFIG", "DoBeep", true, &log));
  EXPECT_EQ(log.lines(),
            (std::vector<std::string>{
                "Settings: [CONFIG] ConnBaud=\"fast\" does not convert, default 115200 used",
                "Settings: [CONFIG] DoBeep=\"perhaps\" does not convert, default TRUE used"}));
}

TEST(IniFileEncoding, FilesWithoutAMarkRoundTripByteForByte) {
  const std::string utf8 = "[FILES]\r\nFirmware=/home/j\xC3\xBCrgen/app.bin\r\n\r\n";
  EXPECT_EQ(fromBytes(utf8).encoding(), IniFile::Encoding::Utf8);
  EXPECT_EQ(fromBytes(utf8).toBytes(), utf8);

  const std::string latin1 = "[FILES]\r\nFirmware=C:\\M\xFCller\\app.bin\r\n\r\n";
  IniFile ini = fromBytes(latin1);
  EXPECT_EQ(ini.encoding(), IniFile::Encoding::Latin1);
  EXPECT_EQ(ini.value("FILES", "Firmware"), "C:\\M\xC3\xBCller\\app.bin");
  EXPECT_EQ(ini.toBytes(), latin1);

  // A name beyond Latin-1 turns the file into UTF-8 rather than losing characters.
  ini.writeString("FILES", "Firmware", "\xE2\x82\xAC.bin");
  EXPECT_EQ(ini.toBytes(), "[FILES]\r\nFirmware=\xE2\x82\xAC.bin\r\n\r\n");
}

TEST(IniFileEncoding, ALatin1FileWhoseKeptBytesLookLikeUtf8IsWrittenAsUtf8) {
  // C3 A9 in a value is "Ã©" in Latin-1; the FF that made the file Latin-1 sits in a comment,
  // which is not kept. Written back as Latin-1 the bytes would load as UTF-8 "é".
  const std::string latin1 = "; caf\xFF\r\n[A]\r\nk=\xC3\xA9\r\n";
  IniFile ini = fromBytes(latin1);
  ASSERT_EQ(ini.encoding(), IniFile::Encoding::Latin1);
  const std::optional<std::string> value = ini.value("A", "k");
  ASSERT_EQ(value, "\xC3\x83\xC2\xA9");
  const std::string saved = ini.toBytes();
  EXPECT_EQ(saved, "[A]\r\nk=\xC3\x83\xC2\xA9\r\n\r\n");
  IniFile again = fromBytes(saved);
  EXPECT_EQ(again.value("A", "k"), value);
  EXPECT_EQ(again.toBytes(), saved);

  // Plain ASCII reads the same either way, and bytes that stay invalid UTF-8 stay Latin-1.
  EXPECT_EQ(fromBytes("; \xFF\r\n[A]\r\nk=v\r\n").toBytes(), "[A]\r\nk=v\r\n\r\n");
  EXPECT_EQ(fromBytes("[A]\r\nk=\xE9\xFF\r\n").toBytes(), "[A]\r\nk=\xE9\xFF\r\n\r\n");
}

TEST(IniFile, AValueThatWouldNotReadBackIsRefusedAndChangesNothing) {
  IniFile ini = fromBytes("[FILES]\r\nFirmware=app.bin\r\n");
  const std::string before = ini.toBytes();
  for (const char* bad : {" app.bin", "app.bin ",
                          "\x1C"
                          "app.bin",
                          "app.bin\t", "a\nb", "a\rb", "\x01", "M\xFCller", "\xC3"}) {
    EXPECT_FALSE(IniFile::storable(bad)) << bad;
    EXPECT_FALSE(ini.writeString("FILES", "Firmware", bad)) << bad;
    EXPECT_FALSE(ini.writeString("FILES", "Other", bad)) << bad;
    EXPECT_EQ(ini.toBytes(), before);
  }
  // What it may store reads back equal, blanks and odd bytes inside included.
  for (const char* good : {"", "my app.bin",
                           "a\x7F"
                           "b",
                           "C:\\x\xC3\xA9.bin", "=x=", ";x", "[x]"}) {
    ASSERT_TRUE(ini.writeString("FILES", "Firmware", good)) << good;
    EXPECT_EQ(fromBytes(ini.toBytes()).value("FILES", "Firmware"), good) << good;
  }
}

TEST(IniFileSize, ManySectionsLoadWhole_RepeatsContinueTheFirstInAnyCase_OrderKept) {
  constexpr int kSections = 130000;
  std::string bytes;
  std::string expected;
  for (int i = 0; i < kSections; ++i) {
    const std::string n = std::to_string(i);
    bytes += "[Port" + n + "]\r\nBaud=" + n + "\r\n";
    expected += "[Port" + n + "]\r\nBaud=" + n + "\r\nLine=" + n + "\r\n\r\n";
  }
  // The same sections again, named in another case, in reverse order.
  for (int i = kSections - 1; i >= 0; --i) {
    bytes += "[PORT" + std::to_string(i) + "]\r\nLine=" + std::to_string(i) + "\r\n";
  }
  IniFile ini = fromBytes(bytes);
  const std::string saved = ini.toBytes();
  EXPECT_TRUE(saved == expected)
      << "differs from byte "
      << std::mismatch(saved.begin(), saved.end(), expected.begin(), expected.end()).first -
             saved.begin();
  for (int i : {0, 1, 4711, kSections - 1}) {
    const std::string n = std::to_string(i);
    EXPECT_EQ(ini.value("port" + n, "baud"), n);
    EXPECT_EQ(ini.value("pORT" + n, "LINE"), n);
  }
  EXPECT_FALSE(ini.sectionExists("Port" + std::to_string(kSections)));

  // Writes find the loaded sections, and new ones go at the end and are found in turn.
  ini.writeString("PORT7", "Baud", "9600");
  ini.writeString("Extra", "k", "v");
  ini.writeString("EXTRA", "k2", "v2");
  EXPECT_EQ(ini.value("Port7", "Baud"), "9600");
  EXPECT_TRUE(ini.toBytes().ends_with("[Extra]\r\nk=v\r\nk2=v2\r\n\r\n"));
}

TEST(IniFile, LoadingAgainForgetsTheSectionsOfTheLastLoad) {
  IniFile ini = fromBytes("[A]\r\na=1\r\n[B]\r\nb=1\r\n");
  ini.loadFromBytes("[B]\r\nb=2\r\n");
  EXPECT_FALSE(ini.sectionExists("A"));
  EXPECT_EQ(ini.value("A", "b"), std::nullopt);
  EXPECT_EQ(ini.value("b", "b"), "2");
  ini.writeString("a", "a", "3");
  EXPECT_EQ(ini.toBytes(), "[B]\r\nb=2\r\n\r\n[a]\r\na=3\r\n\r\n");
}

TEST(IniFile, ANameThatWouldNotReadBackIsRefusedAndChangesNothing) {
  IniFile ini = fromBytes("[FILES]\r\n[a=Firmware\r\n");
  const std::string before = ini.toBytes();
  const std::pair<const char*, const char*> badKeys[] = {
      {" Firmware", "x"}, {"Firmware ", "x"}, {"a\r\nb", "x"}, {"a=b", "x"},
      {";Firmware", "x"}, {"[a", "x]"},       {"\xFF", "x"}};
  for (const auto& [key, value] : badKeys) {
    EXPECT_FALSE(ini.writeString("FILES", key, value)) << key;
    EXPECT_EQ(ini.toBytes(), before) << key;
  }
  for (const char* section : {" FILES", "FILES\t", "A\nB", "\xC3"}) {
    EXPECT_FALSE(ini.writeString(section, "k", "v")) << section;
    EXPECT_EQ(ini.toBytes(), before) << section;
  }
  // Brackets elsewhere, and a ";" after the start, read back as written.
  ASSERT_TRUE(ini.writeString("FILES", "[a", "x"));
  ASSERT_TRUE(ini.writeString("FILES", "a]", "[x]"));
  ASSERT_TRUE(ini.writeString("[S]", "k;", "v"));
  const IniFile again = fromBytes(ini.toBytes());
  EXPECT_EQ(again.value("FILES", "[a"), "x");
  EXPECT_EQ(again.value("FILES", "a]"), "[x]");
  EXPECT_EQ(again.value("[S]", "k;"), "v");
}

TEST(IniFileEncoding, ByteOrderMarksAreReadAndWrittenBack) {
  const std::string utf8 = "\xEF\xBB\xBF[A]\r\nk=\xC3\xA9\r\n\r\n";
  // "[A]\r\nk=\u00E9\U0001F600\r\n\r\n"; the last character takes a surrogate pair.
  const std::string le =
      bytesOf("\xFF\xFE[\0A\0]\0\r\0\n\0k\0=\0\xE9\0\x3D\xD8\x00\xDE\r\0\n\0\r\0\n\0");
  const std::string be =
      bytesOf("\xFE\xFF\0[\0A\0]\0\r\0\n\0k\0=\0\xE9\xD8\x3D\xDE\x00\0\r\0\n\0\r\0\n");
  EXPECT_EQ(fromBytes(utf8).value("A", "k"), "\xC3\xA9");
  EXPECT_EQ(fromBytes(le).value("A", "k"), "\xC3\xA9\xF0\x9F\x98\x80");
  EXPECT_EQ(fromBytes(be).value("A", "k"), "\xC3\xA9\xF0\x9F\x98\x80");
  for (const std::string& bytes : {utf8, le, be}) EXPECT_EQ(fromBytes(bytes).toBytes(), bytes);
}

TEST(IniFileDisk, LoadsTheNamePartInTheDirectoryAndSavesThroughATemporaryFile) {
  TempDir dir;
  IniFile fresh(dir.str(), "C:\\elsewhere/Flintmoor.ini");
  EXPECT_EQ(fresh.path(), dir.file("Flintmoor.ini"));
  EXPECT_FALSE(fresh.sectionExists("CONFIG"));
  fresh.writeString("CONFIG", "ComPort", "COM4");
  ASSERT_TRUE(fresh.save());
  EXPECT_FALSE(std::filesystem::exists(dir.file("Flintmoor.ini.tmp")));

  IniFile again(dir.str(), "Flintmoor.ini");
  EXPECT_EQ(again.value("CONFIG", "ComPort"), "COM4");
  again.writeString("CONFIG", "ComPort", "COM5");
  // Something that cannot be replaced by a file stands where the temporary file goes.
  std::filesystem::create_directory(dir.file("Flintmoor.ini.tmp"));
  MemoryLog log;
  EXPECT_FALSE(again.save(&log));
  EXPECT_EQ(readBytes(dir.file("Flintmoor.ini")), "[CONFIG]\r\nComPort=COM4\r\n\r\n");
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_TRUE(log.lines()[0].starts_with("Settings: cannot write " + dir.file("Flintmoor.ini")));
}

}  // namespace
}  // namespace flintmoor
