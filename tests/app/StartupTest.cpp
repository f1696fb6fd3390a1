// Start-up rules: the title, the debug switch and the copy into "dist/".
#include <gtest/gtest.h>

#include <filesystem>

#include "TempDir.h"
#include "app/Startup.h"

namespace flintmoor {
namespace {

using testing::readBytes;
using testing::TempDir;
using testing::writeBytes;

TEST(Startup, TitleCarriesTheThreeVersionNumbers) {
  EXPECT_EQ(programTitle({1, 4, 2}), "Flintmoor v1.4.2");
  EXPECT_EQ(programTitle({1, -1, -1}), "Flintmoor v1.-1.-1");
}

TEST(Startup, DebugSwitchIsADashOrSlashFollowedByD) {
  for (const char* arg : {"-d", "-D", "/d", "/D", "-debug", "/Dx"}) {
    EXPECT_TRUE(hasDebugSwitch({"--simulate", arg})) << arg;
  }
  for (const char* arg : {"d", "-", "/", "-x", "--debug", "--simulate", "xd"}) {
    EXPECT_FALSE(hasDebugSwitch({arg})) << arg;
  }
  EXPECT_FALSE(hasDebugSwitch({}));
}

TEST(Startup, CopyNameCarriesTheVersionDigitsBeforeTheExtension) {
#ifdef _WIN32
  EXPECT_EQ(distCopyPath("C:\\Tools\\Flintmoor.exe", {1, 4, 2}), "dist\\Flintmoor142.exe");
#else
  EXPECT_EQ(distCopyPath("/opt/tools/Flintmoor.exe", {1, 4, 2}), "dist/Flintmoor142.exe");
  EXPECT_EQ(distCopyPath("/opt/tools/flintmoor", {1, 0, 0}), "dist/flintmoor100");
#endif
}

TEST(Startup, CopyGoesIntoAnExistingDistOverwritingAnOldCopy) {
  TempDir dir;
  const auto before = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  writeBytes(dir.file("flintmoor"), "new build");
  EXPECT_FALSE(copyToDist(dir.file("flintmoor"), {1, 4, 2}));  // no "dist" yet

  std::filesystem::create_directory(dir.file("dist"));
  writeBytes(dir.file("dist/flintmoor142"), "old build");
  EXPECT_TRUE(copyToDist(dir.file("flintmoor"), {1, 4, 2}));
  std::filesystem::current_path(before);
  EXPECT_EQ(readBytes(dir.file("dist/flintmoor142")), "new build");
}

}  // namespace
}  // namespace flintmoor
