// Start-up rules: the title, the debug switch and the copy into "dist/".
#include <gtest/gtest.h>

#include <filesystem>

#include "job/Startup.h"
#include "tests/support/TempDir.h"

namespace flintmoor {
namespace {

using testing::readBytes;
using testing::TempDir;
using testing::writeBytes;

TEST(Startup, TitleAndDebugSwitch) {
  EXPECT_EQ(programTitle({1, 4, 2}), "Flintmoor v1.4.2");
  EXPECT_EQ(programTitle({1, -1, -1}), "Flintmoor v1.-1.-1");
  for (const char* arg : {"-d", "/D", "-debug", "/Dx"}) {
    EXPECT_TRUE(hasDebugSwitch({"--simulate", arg})) << arg;
  }
  for (const char* arg : {"d", "-", "-x", "--debug", "xd"}) EXPECT_FALSE(hasDebugSwitch({arg}));
}

TEST(Startup, CopyGoesIntoAnExistingDistWithTheVersionDigitsInItsName) {
#ifndef _WIN32
  EXPECT_EQ(distCopyPath("/opt/tools/Flintmoor.exe", {1, 4, 2}), "dist/Flintmoor142.exe");
#endif
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
