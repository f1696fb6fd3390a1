// The image-file check (size rules, hints, the logged size), the stripping of the executable's
// directory from a file field, and the name shown while an image is written.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "job/FlashJob.h"
#include "log/Log.h"

namespace flintmoor::test {
namespace {

class FileCheck : public ::testing::Test {
 protected:
  FileCheck() {
    dir = std::filesystem::path(::testing::TempDir()) /
          (std::string("flintmoor_check_") +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
  }
  ~FileCheck() override {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }

  std::string fileOfSize(size_t size, const std::string& name = "image.bin") {
    const std::filesystem::path path = dir / name;
    std::ofstream(path, std::ios::binary | std::ios::trunc) << std::string(size, '\x5A');
    return path.string();
  }

  // Which sizes the rule of field `index` accepts, each checked against a real file.
  std::vector<bool> verdicts(int index, const std::vector<size_t>& sizes) {
    std::vector<bool> out;
    for (size_t size : sizes) {
      const auto check = checkImageFile(index, fileOfSize(size), log);
      out.push_back(check.ok);
      EXPECT_EQ(check.hint, check.ok ? (dir / "image.bin").string() : "Filesize Error") << size;
    }
    return out;
  }

  MemoryLog log;
  std::filesystem::path dir;
};

TEST_F(FileCheck, BootloaderTakes10000To32768Bytes) {
  EXPECT_EQ(verdicts(0, {9999, 10000, 32768, 32769}),
            (std::vector<bool>{false, true, true, false}));
}

TEST_F(FileCheck, PartitionTableTakesExactly3072Bytes) {
  EXPECT_EQ(verdicts(1, {3071, 3072, 3073}), (std::vector<bool>{false, true, false}));
}

TEST_F(FileCheck, ApplicationTakes65536BytesOrMore) {
  EXPECT_EQ(verdicts(2, {65535, 65536, 70000}), (std::vector<bool>{false, true, true}));
}

TEST_F(FileCheck, LogsTheSizeOfEveryFileItCouldMeasure) {
  checkImageFile(1, fileOfSize(3072), log);
  checkImageFile(0, fileOfSize(9999), log);
  checkImageFile(2, "", log);
  checkImageFile(2, (dir / "nothing.bin").string(), log);
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"3072", "9999"}));
}

TEST_F(FileCheck, NamesWhatIsMissing) {
  EXPECT_EQ(checkImageFile(0, "", log).hint, "No Filename");
  EXPECT_FALSE(checkImageFile(0, "", log).ok);
  EXPECT_EQ(checkImageFile(1, (dir / "nothing.bin").string(), log).hint, "File not found");
  // A directory has no size to read: it is no image file, and the check does not raise.
  const auto onDir = checkImageFile(1, dir.string(), log);
  EXPECT_FALSE(onDir.ok);
  EXPECT_EQ(onDir.hint, "File not found");
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(FileCheck, APathWithBlanksAndNonAsciiLettersPasses) {
  const std::string name = fileOfSize(3072, "my partition \xC3\xA9t\xC3\xA9.bin");
  const auto check = checkImageFile(1, name, log);
  EXPECT_TRUE(check.ok);
  EXPECT_EQ(check.hint, name);
}

TEST(StripProgDir, KeepsOnlyTheNameOfAFileBesideTheExecutable) {
  EXPECT_EQ(stripProgDir("/opt/flintmoor/boot.bin", "/opt/flintmoor/"), "boot.bin");
  EXPECT_EQ(stripProgDir("C:\\Tools\\Flash\\boot.bin", "C:\\Tools\\Flash\\"), "boot.bin");
}

TEST(StripProgDir, LeavesOtherPathsAndBareNamesAlone) {
  EXPECT_EQ(stripProgDir("/opt/flintmoor/img/boot.bin", "/opt/flintmoor/"),
            "/opt/flintmoor/img/boot.bin");
  EXPECT_EQ(stripProgDir("/opt/boot.bin", "/opt/flintmoor/"), "/opt/boot.bin");
  // The directory must match character for character.
  EXPECT_EQ(stripProgDir("/OPT/flintmoor/boot.bin", "/opt/flintmoor/"), "/OPT/flintmoor/boot.bin");
  // A bare name has no directory part; running the step on its own result changes nothing.
  EXPECT_EQ(stripProgDir("boot.bin", "/opt/flintmoor/"), "boot.bin");
}

TEST(DisplayFileName, IsTheTextAfterTheLastSeparatorOrDriveColon) {
  EXPECT_EQ(displayFileName("/home/me/fw/app.bin"), "app.bin");
  EXPECT_EQ(displayFileName("C:\\fw\\app.bin"), "app.bin");
  EXPECT_EQ(displayFileName("C:app.bin"), "app.bin");
  EXPECT_EQ(displayFileName("app.bin"), "app.bin");
}

}  // namespace
}  // namespace flintmoor::test
