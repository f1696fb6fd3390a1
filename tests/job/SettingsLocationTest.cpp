// Where the settings file lives: beside the executable for portable use, else in the user's
// configuration folder; the names of that folder; the check whether a folder takes new files.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "job/IniFile.h"
#include "job/Settings.h"
#include "log/Log.h"
#include "tests/support/TempDir.h"

namespace flintmoor {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;
using testing::writeBytes;

// An environment of the test's own: only the variables it names are set.
EnvLookup environment(std::map<std::string, std::string> vars) {
  return [vars = std::move(vars)](const char* name) -> std::optional<std::string> {
    auto it = vars.find(name);
    if (it == vars.end()) return std::nullopt;
    return it->second;
  };
}

bool canCreateFileIn(const fs::path& dir) {
  const fs::path file = dir / "sentinel";
  bool created = false;
  {
    std::ofstream out(file);
    created = out.is_open();
  }
  std::error_code ec;
  fs::remove(file, ec);
  return created;
}

bool never(const std::string&) {
  return false;
}
bool always(const std::string&) {
  return true;
}

// A program folder and a configuration folder in one scratch directory; the environment names
// the configuration folder under each system's variable.
class SettingsLocation : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(program); }
  void TearDown() override {
    std::error_code ec;
    fs::permissions(program, fs::perms::owner_all, fs::perm_options::add, ec);
  }

  void makeProgramReadOnly() {
    fs::permissions(program,
                    fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
  }

  // What an ordinary user finds: the read-only program folder takes no new files. Root (CI runs
  // as root) and Windows write there regardless, so the check knows that folder; any other it
  // probes for real.
  WritableCheck userView() const {
    return [this](const std::string& d) {
      const auto folder = [](const fs::path& p) { return (p / "").lexically_normal(); };
      return folder(d) != folder(program) && directoryWritable(d);
    };
  }

  TempDir dir;
  fs::path program = dir.path() / "opt" / "flintmoor";
  fs::path configHome = dir.path() / "home" / ".config";
  fs::path configFolder = configHome / "Flintmoor";
  EnvLookup env =
      environment({{"XDG_CONFIG_HOME", configHome.string()}, {"APPDATA", configHome.string()}});
};

TEST_F(SettingsLocation, ReadOnlyProgramFolder_SettingsAreWrittenToAndReadFromTheConfigFolder) {
  makeProgramReadOnly();
  const std::string exeDir = program.string() + "/";

  // First run: the configuration folder does not exist yet and is made.
  const std::string first = settingsDirectory(exeDir, env, userView());
  EXPECT_EQ(fs::path(first), configFolder);
  EXPECT_TRUE(fs::is_directory(configFolder));
  {
    IniFile ini(first, kSettingsFileName);
    ASSERT_TRUE(ini.writeString(kSectionConfig, "ComPort", "/dev/ttyUSB1"));
    MemoryLog log;
    ASSERT_TRUE(ini.save(&log));
  }
  EXPECT_TRUE(fs::exists(configFolder / kSettingsFileName));
  EXPECT_FALSE(fs::exists(program / kSettingsFileName));

  // Next run: the same place, and the file reads back.
  const std::string second = settingsDirectory(exeDir, env, userView());
  EXPECT_EQ(fs::path(second), configFolder);
  IniFile again(second, kSettingsFileName);
  EXPECT_EQ(readComPort(again), "/dev/ttyUSB1");
}

TEST_F(SettingsLocation, WritableProgramFolder_KeepsThePortablePlaceAndMakesNoConfigFolder) {
  const std::string exeDir = program.string() + "/";
  EXPECT_EQ(settingsDirectory(exeDir, env, always), exeDir);
  // The real probe finds the scratch folder writable too.
  EXPECT_EQ(settingsDirectory(exeDir, env), exeDir);
  EXPECT_FALSE(fs::exists(configHome));
}

TEST_F(SettingsLocation, FileBesideAReadOnlyProgram_KeepsThePortablePlace) {
  writeBytes((program / kSettingsFileName).string(), "[CONFIG]\r\nComPort=COM7\r\n");
  makeProgramReadOnly();
  const std::string exeDir = program.string();
  EXPECT_EQ(settingsDirectory(exeDir, env, never), exeDir);
  EXPECT_FALSE(fs::exists(configHome));
}

TEST_F(SettingsLocation, PortablePlaceWinsOverAFileInTheConfigFolder) {
  fs::create_directories(configFolder);
  writeBytes((configFolder / kSettingsFileName).string(), "[CONFIG]\r\nComPort=COM7\r\n");
  EXPECT_EQ(settingsDirectory(program.string(), env, always), program.string());
}

TEST_F(SettingsLocation, NoConfigFolderInTheEnvironment_StaysBesideTheProgram) {
  EXPECT_EQ(settingsDirectory(program.string(), environment({}), never), program.string());
}

TEST_F(SettingsLocation, ConfigFolderThatCannotBeMade_IsStillTheAnswerSoSavingReportsIt) {
  // A file stands where the configuration folder's parent would be.
  fs::create_directories(configHome.parent_path());
  writeBytes(configHome.string(), "not a folder");
  const std::string chosen = settingsDirectory(program.string(), env, never);
  EXPECT_EQ(fs::path(chosen), configFolder);
  IniFile ini(chosen, kSettingsFileName);
  ini.writeString(kSectionConfig, "ComPort", "COM3");
  MemoryLog log;
  EXPECT_FALSE(ini.save(&log));
  ASSERT_FALSE(log.lines().empty());
  EXPECT_TRUE(log.lines()[0].starts_with("Settings: cannot write " + ini.path()));
}

// --- The names of the configuration folder ---

TEST(UserConfigDirectory, XdgConfigHomeNamesTheFolder) {
  EXPECT_EQ(userConfigDirectory(environment({{"XDG_CONFIG_HOME", "/home/u/cfg"}, {"HOME", "/x"}}),
                                ConfigConvention::Xdg),
            "/home/u/cfg/Flintmoor");
  EXPECT_EQ(userConfigDirectory(environment({{"XDG_CONFIG_HOME", "/home/u/cfg/"}}),
                                ConfigConvention::Xdg),
            "/home/u/cfg/Flintmoor");
}

TEST(UserConfigDirectory, UnsetEmptyOrRelativeXdgConfigHomeFallsBackToHomeDotConfig) {
  EXPECT_EQ(userConfigDirectory(environment({{"HOME", "/home/u"}}), ConfigConvention::Xdg),
            "/home/u/.config/Flintmoor");
  EXPECT_EQ(userConfigDirectory(environment({{"XDG_CONFIG_HOME", ""}, {"HOME", "/home/u/"}}),
                                ConfigConvention::Xdg),
            "/home/u/.config/Flintmoor");
  EXPECT_EQ(userConfigDirectory(environment({{"XDG_CONFIG_HOME", "cfg"}, {"HOME", "/home/u"}}),
                                ConfigConvention::Xdg),
            "/home/u/.config/Flintmoor");
}

TEST(UserConfigDirectory, NoUsableHomeNamesNoFolder) {
  EXPECT_EQ(userConfigDirectory(environment({}), ConfigConvention::Xdg), std::nullopt);
  EXPECT_EQ(userConfigDirectory(environment({{"HOME", ""}}), ConfigConvention::Xdg), std::nullopt);
  EXPECT_EQ(userConfigDirectory(environment({{"HOME", "relative"}, {"XDG_CONFIG_HOME", "cfg"}}),
                                ConfigConvention::Xdg),
            std::nullopt);
  // APPDATA is a Windows name only.
  EXPECT_EQ(
      userConfigDirectory(environment({{"APPDATA", "/home/u/appdata"}}), ConfigConvention::Xdg),
      std::nullopt);
}

TEST(UserConfigDirectory, WindowsUsesAppDataWithBackslashesAndNothingElse) {
  EXPECT_EQ(userConfigDirectory(environment({{"APPDATA", "C:\\Users\\u\\AppData\\Roaming"}}),
                                ConfigConvention::Windows),
            "C:\\Users\\u\\AppData\\Roaming\\Flintmoor");
  EXPECT_EQ(userConfigDirectory(environment({{"APPDATA", "D:\\profiles\\u\\"}}),
                                ConfigConvention::Windows),
            "D:\\profiles\\u\\Flintmoor");
  EXPECT_EQ(userConfigDirectory(environment({{"APPDATA", ""}}), ConfigConvention::Windows),
            std::nullopt);
  EXPECT_EQ(userConfigDirectory(environment({{"XDG_CONFIG_HOME", "/c"}, {"HOME", "/h"}}),
                                ConfigConvention::Windows),
            std::nullopt);
}

// --- Whether a folder takes new files ---

TEST(DirectoryWritable, WritableFolderIsWritableAndTheProbeLeavesNothingBehind) {
  TempDir dir;
  EXPECT_TRUE(directoryWritable(dir.str()));
  EXPECT_TRUE(directoryWritable(dir.str() + "/"));
  EXPECT_TRUE(fs::is_empty(dir.path()));
}

TEST(DirectoryWritable, MissingFolderOrAFileIsNotWritable) {
  TempDir dir;
  EXPECT_FALSE(directoryWritable(dir.file("missing")));
  writeBytes(dir.file("plain"), "x");
  EXPECT_FALSE(directoryWritable(dir.file("plain")));
}

TEST(DirectoryWritable, FolderThatRefusesNewFilesIsNotWritable) {
  TempDir dir;
  const fs::path locked = dir.path() / "locked";
  fs::create_directory(locked);
  fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec);
  const bool modeHonoured = !canCreateFileIn(locked);
  if (modeHonoured) {
    EXPECT_FALSE(directoryWritable(locked.string()));
  }
  fs::permissions(locked, fs::perms::owner_all);
  if (modeHonoured) return;
#ifdef __linux__
  // Root ignores the mode; the kernel's process file system takes no new files from anyone.
  ASSERT_FALSE(canCreateFileIn("/proc"));
  EXPECT_FALSE(directoryWritable("/proc"));
#else
  GTEST_SKIP() << "this system lets the test write into a folder without write permission";
#endif
}

}  // namespace
}  // namespace flintmoor
