// Reading, using and writing back the settings of sections "CONFIG", "FILES" and "Main", and
// choosing the folder of the settings file.
#include "job/Settings.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <vector>

#include "job/IniFile.h"
#include "log/Log.h"

namespace flintmoor {

namespace {

uint32_t readUnsigned(const IniFile& ini, const char* key, uint32_t def, Log& log) {
  // The fields are unsigned: a negative value wraps, as it does on the way back out.
  return static_cast<uint32_t>(
      ini.readInteger(kSectionConfig, key, static_cast<int32_t>(def), &log));
}

uint32_t clampField(const char* key, uint32_t value, uint32_t low, uint32_t high, Log* log) {
  uint32_t used = std::clamp(value, low, high);
  if (used != value && log != nullptr) {
    log->S("Settings: " + std::string(key) + " " + std::to_string(value) + " is out of range, " +
           std::to_string(used) + " used");
  }
  return used;
}

// The numbers of a "%d,%d,%d,%d" value; an item that does not convert is nullopt.
std::vector<std::optional<int32_t>> splitNumbers(const std::string& text) {
  std::vector<std::optional<int32_t>> numbers;
  size_t pos = 0;
  for (;;) {
    size_t comma = text.find(',', pos);
    std::string item =
        text.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
    numbers.push_back(item.empty() ? std::nullopt : parseIniInteger(item));
    if (comma == std::string::npos) break;
    pos = comma + 1;
  }
  return numbers;
}

std::string fourNumbers(int32_t a, int32_t b, int32_t c, int32_t d) {
  return std::to_string(a) + "," + std::to_string(b) + "," + std::to_string(c) + "," +
         std::to_string(d);
}

// The value under the key with the desktop size, else under the plain key.
std::optional<std::string> positionValue(const IniFile& ini, const char* name,
                                         const ScreenInfo& screen) {
  std::optional<std::string> v =
      ini.value(kSectionMain, placementKey(name, screen.desktopWidth, screen.desktopHeight));
  return v ? v : ini.value(kSectionMain, name);
}

}  // namespace

TConfig readConfigAsRead(const IniFile& ini, Log& log) {
  const TConfig defaults;
  TConfig c;
  c.ConnBaud = readUnsigned(ini, "ConnBaud", defaults.ConnBaud, log);
  c.FastBaud = readUnsigned(ini, "FastBaud", defaults.FastBaud, log);
  c.FastFirst = ini.readBool(kSectionConfig, "FastFirst", defaults.FastFirst, &log);
  c.SlowLow = readUnsigned(ini, "SlowLow", defaults.SlowLow, log);
  c.SlowHigh = readUnsigned(ini, "SlowHigh", defaults.SlowHigh, log);
  c.FastLow = readUnsigned(ini, "FastLow", defaults.FastLow, log);
  c.FastHigh = readUnsigned(ini, "FastHigh", defaults.FastHigh, log);
  c.DoBeep = ini.readBool(kSectionConfig, "DoBeep", defaults.DoBeep, &log);
  return c;
}

TConfig clampConfig(const TConfig& asRead, Log* log) {
  TConfig c = asRead;
  c.ConnBaud = clampField("ConnBaud", c.ConnBaud, kMinBaud, kMaxBaud, log);
  c.FastBaud = clampField("FastBaud", c.FastBaud, kMinBaud, kMaxBaud, log);
  c.SlowLow = clampField("SlowLow", c.SlowLow, kMinResetPhaseMs, kMaxResetPhaseMs, log);
  c.SlowHigh = clampField("SlowHigh", c.SlowHigh, kMinResetPhaseMs, kMaxResetPhaseMs, log);
  c.FastLow = clampField("FastLow", c.FastLow, kMinResetPhaseMs, kMaxResetPhaseMs, log);
  c.FastHigh = clampField("FastHigh", c.FastHigh, kMinResetPhaseMs, kMaxResetPhaseMs, log);
  return c;
}

TConfig readConfig(const IniFile& ini, Log& log) {
  return clampConfig(readConfigAsRead(ini, log), &log);
}

std::string readComPort(const IniFile& ini) {
  return ini.readString(kSectionConfig, "ComPort", "");
}

void writeConfig(IniFile& ini, const TConfig& config, const std::string& comPort) {
  auto writeUnsigned = [&](const char* key, uint32_t v) {
    ini.writeInteger(kSectionConfig, key, static_cast<int32_t>(v));
  };
  ini.writeString(kSectionConfig, "ComPort", comPort);
  writeUnsigned("ConnBaud", config.ConnBaud);
  writeUnsigned("FastBaud", config.FastBaud);
  ini.writeBool(kSectionConfig, "FastFirst", config.FastFirst);
  writeUnsigned("SlowLow", config.SlowLow);
  writeUnsigned("SlowHigh", config.SlowHigh);
  writeUnsigned("FastLow", config.FastLow);
  writeUnsigned("FastHigh", config.FastHigh);
  ini.writeBool(kSectionConfig, "DoBeep", config.DoBeep);
}

std::array<std::string, 3> readFiles(const IniFile& ini) {
  std::array<std::string, 3> files;
  for (size_t i = 0; i < files.size(); ++i)
    files[i] = ini.readString(kSectionFiles, kFileKeys[i], "");
  return files;
}

bool writeFiles(IniFile& ini, const std::array<std::string, 3>& files, Log* log) {
  bool all = true;
  for (size_t i = 0; i < files.size(); ++i) {
    if (ini.writeString(kSectionFiles, kFileKeys[i], files[i])) continue;
    all = false;
    if (log != nullptr) {
      log->S(std::string("Settings: ") + kFileKeys[i] + " not stored: the file name \"" + files[i] +
             "\" would not read back (blanks or control characters at an end, a line break, "
             "or bytes that are not UTF-8)");
    }
  }
  return all;
}

std::string placementKey(std::string_view name, int desktopWidth, int desktopHeight) {
  return std::string(name) + "(" + std::to_string(desktopWidth) + "x" +
         std::to_string(desktopHeight) + ")";
}

int32_t showCmdOf(WindowState state) {
  switch (state) {
    case WindowState::Minimized:
      return 2;
    case WindowState::Maximized:
      return 3;
    case WindowState::Normal:
      break;
  }
  return 1;
}

std::optional<WindowState> stateOfShowCmd(int32_t showCmd) {
  switch (showCmd) {
    case 1:
    case 5:
    case 9:
      return WindowState::Normal;
    case 2:
    case 6:
    case 7:
      return WindowState::Minimized;
    case 3:
      return WindowState::Maximized;
    default:
      return std::nullopt;
  }
}

void writePlacement(IniFile& ini, const WindowPlacement& p, const ScreenInfo& screen,
                    const std::string& activeControl) {
  const std::string minMax = fourNumbers(p.minX, p.minY, p.maxX, p.maxY);
  const std::string norm = fourNumbers(p.left, p.top, p.right, p.bottom);
  ini.writeInteger(kSectionMain, "FormVersion", 0);
  ini.writeInteger(kSectionMain, "ShowCmd", p.showCmd);
  ini.writeInteger(kSectionMain, "Flags", p.flags);
  ini.writeInteger(kSectionMain, "PixelsPerInch", screen.pixelsPerInch);
  ini.writeString(kSectionMain,
                  placementKey("MinMaxPos", screen.desktopWidth, screen.desktopHeight), minMax);
  ini.writeString(kSectionMain, "MinMaxPos", minMax);
  ini.writeString(kSectionMain, placementKey("NormPos", screen.desktopWidth, screen.desktopHeight),
                  norm);
  ini.writeString(kSectionMain, "NormPos", norm);
  if (!activeControl.empty()) ini.writeString(kSectionMain, "ActiveControl", activeControl);
}

PlacementRestore restorePlacement(const IniFile& ini, int currentLeft, int currentTop, int width,
                                  int height, const ScreenInfo& screen, Log* log) {
  PlacementRestore r;
  if (ini.readInteger(kSectionMain, "FormVersion", 0, log) < 0) return r;

  std::optional<std::string> minMax = positionValue(ini, "MinMaxPos", screen);
  std::optional<std::string> norm = positionValue(ini, "NormPos", screen);
  int left = currentLeft;
  int top = currentTop;
  if (norm) {
    std::vector<std::optional<int32_t>> n = splitNumbers(*norm);
    if (n.size() > 0 && n[0]) left = *n[0];
    if (n.size() > 1 && n[1]) top = *n[1];
  }
  // 64-bit corners: a stored edge near the integer limits must not overflow.
  const int64_t right = int64_t{left} + width;
  const int64_t bottom = int64_t{top} + height;
  const int ppi = ini.readInteger(kSectionMain, "PixelsPerInch", screen.pixelsPerInch, log);
  if ((minMax || norm) && ppi == screen.pixelsPerInch && left < right && screen.onMonitor &&
      screen.onMonitor(left, top) &&
      screen.onMonitor(static_cast<int>(right - 1), static_cast<int>(bottom - 1))) {
    r.move = true;
    r.left = left;
    r.top = top;
  }
  if (ini.valueExists(kSectionMain, "ShowCmd")) {
    // A value that does not convert leaves the state (-1 names no state).
    r.state = stateOfShowCmd(ini.readInteger(kSectionMain, "ShowCmd", -1, log));
  }
  r.activeControl = ini.readString(kSectionMain, "ActiveControl", "");
  return r;
}

// --- Where the settings file lives ---

namespace {

constexpr char kConfigFolderName[] = "Flintmoor";

// A set, non-empty value; with requireAbsolute, only one that starts at a root.
std::optional<std::string> usable(const EnvLookup& env, const char* name, bool requireAbsolute) {
  std::optional<std::string> value = env(name);
  if (!value || value->empty()) return std::nullopt;
  if (requireAbsolute && value->front() != '/') return std::nullopt;
  return value;
}

// Joined with the convention's separator, so the result does not depend on the build's system.
std::string join(std::string dir, const std::string& name, char separator) {
  if (dir.back() != '/' && dir.back() != separator) dir += separator;
  return dir + name;
}

}  // namespace

std::optional<std::string> processEnvironment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

bool directoryWritable(const std::string& directory) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (!fs::is_directory(directory, ec)) return false;
  std::random_device random;
  for (int attempt = 0; attempt < 8; ++attempt) {
    const fs::path probe =
        fs::path(directory) / (".Flintmoor-" + std::to_string(random()) + ".tmp");
    if (fs::exists(probe, ec) || ec) continue;
    bool created = false;
    {
      std::ofstream out(probe, std::ios::binary);
      created = out.is_open();
    }
    if (created) fs::remove(probe, ec);
    return created;
  }
  return false;
}

std::optional<std::string> userConfigDirectory(const EnvLookup& env, ConfigConvention convention) {
  if (convention == ConfigConvention::Windows) {
    const std::optional<std::string> appData = usable(env, "APPDATA", false);
    if (!appData) return std::nullopt;
    return join(*appData, kConfigFolderName, '\\');
  }
  if (const std::optional<std::string> xdg = usable(env, "XDG_CONFIG_HOME", true)) {
    return join(*xdg, kConfigFolderName, '/');
  }
  const std::optional<std::string> home = usable(env, "HOME", true);
  if (!home) return std::nullopt;
  return join(join(*home, ".config", '/'), kConfigFolderName, '/');
}

std::string settingsDirectory(const std::string& exeDir, const EnvLookup& env,
                              const WritableCheck& writable, ConfigConvention convention) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (fs::exists(fs::path(exeDir) / kSettingsFileName, ec) || writable(exeDir)) return exeDir;
  const std::optional<std::string> config = userConfigDirectory(env, convention);
  if (!config) return exeDir;
  fs::create_directories(*config, ec);
  return *config;
}

}  // namespace flintmoor
