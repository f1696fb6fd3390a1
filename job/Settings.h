// What the program keeps in its settings file: the connection settings and port (section
// "CONFIG"), the three image file names ("FILES"), and the main window's placement ("Main"), with
// the rules for reading, using and writing them back, and where the file lives. No toolkit: the
// window supplies its screen.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "job/Config.h"

namespace flintmoor {

class IniFile;
class Log;

inline constexpr char kSettingsFileName[] = "Flintmoor.ini";
inline constexpr char kSectionConfig[] = "CONFIG";
inline constexpr char kSectionFiles[] = "FILES";
inline constexpr char kSectionMain[] = "Main";  // the main window's name

// Ranges the connection uses; the file keeps whatever it holds.
inline constexpr uint32_t kMinResetPhaseMs = 0;
inline constexpr uint32_t kMaxResetPhaseMs = 10000;
inline constexpr uint32_t kMinBaud = 300;
inline constexpr uint32_t kMaxBaud = 5000000;

// The connection settings exactly as the file holds them (defaults for absent keys; a value that
// does not convert falls back to its default with a log line). Written back unchanged.
TConfig readConfigAsRead(const IniFile& ini, Log& log);
// The settings as the connection uses them: speeds and reset phases held to their ranges, each
// change logged when a log is given.
TConfig clampConfig(const TConfig& asRead, Log* log = nullptr);
// The settings to hand to a job: clampConfig(readConfigAsRead(...)).
TConfig readConfig(const IniFile& ini, Log& log);
// The saved port name, empty when absent.
std::string readComPort(const IniFile& ini);
// "ComPort", then the eight connection keys, in that order.
void writeConfig(IniFile& ini, const TConfig& config, const std::string& comPort);

// "Bootloader", "Partitions", "Firmware", by field index.
inline constexpr std::array<const char*, 3> kFileKeys = {"Bootloader", "Partitions", "Firmware"};
std::array<std::string, 3> readFiles(const IniFile& ini);
// A name that would not read back (IniFile::storable) is not stored: the key keeps its old value
// and the log (when given) says so. False when some name was refused.
bool writeFiles(IniFile& ini, const std::array<std::string, 3>& files, Log* log = nullptr);

// --- Window placement (section "Main") ---

enum class WindowState { Normal, Minimized, Maximized };

// A window's placement record. Rectangles and points are in desktop pixels; right and bottom are
// exclusive (right = left + width).
struct WindowPlacement {
  int32_t showCmd = 1;  // 1 normal, 2 minimised, 3 maximised
  int32_t flags = 0;
  int32_t minX = -1, minY = -1, maxX = -1, maxY = -1;
  int32_t left = 0, top = 0, right = 0, bottom = 0;  // the normal rectangle
};

// What the placement depends on: the whole desktop's size, the screen's pixels per inch, and
// whether a point lies on some monitor.
struct ScreenInfo {
  int desktopWidth = 0;
  int desktopHeight = 0;
  int pixelsPerInch = 96;
  std::function<bool(int x, int y)> onMonitor;
};

// "NormPos" with a 1920 x 1080 desktop gives "NormPos(1920x1080)".
std::string placementKey(std::string_view name, int desktopWidth, int desktopHeight);

int32_t showCmdOf(WindowState state);
// 1, 5, 9 normal; 2, 6, 7 minimised; 3 maximised; anything else nullopt.
std::optional<WindowState> stateOfShowCmd(int32_t showCmd);

// Writes "FormVersion" (0), "ShowCmd", "Flags", "PixelsPerInch", both "MinMaxPos" keys, both
// "NormPos" keys (desktop-size key first), and "ActiveControl" unless it is empty.
void writePlacement(IniFile& ini, const WindowPlacement& placement, const ScreenInfo& screen,
                    const std::string& activeControl);

// What restoring the placement asks of the window.
struct PlacementRestore {
  bool move = false;  // move the window's top-left corner to left/top
  int left = 0;
  int top = 0;
  std::optional<WindowState> state;  // nullopt: leave the state as it is
  std::string activeControl;         // empty: leave the focus
};

// The window stands at currentLeft/currentTop with the given (fixed) size. The saved position is
// taken when a position key was found, the pixels per inch match, and the top-left corner and the
// point one pixel inside the bottom-right corner both lie on a monitor. A "FormVersion" below 0
// restores nothing.
PlacementRestore restorePlacement(const IniFile& ini, int currentLeft, int currentTop, int width,
                                  int height, const ScreenInfo& screen, Log* log = nullptr);

// --- Where the settings file lives ---

// An environment lookup: the variable's value, nullopt when it is not set.
using EnvLookup = std::function<std::optional<std::string>(const char* name)>;
// Whether new files can be created in a folder.
using WritableCheck = std::function<bool(const std::string& directory)>;

// The process's own environment (std::getenv).
std::optional<std::string> processEnvironment(const char* name);

// True when a file can be created in directory: creates a file of a name not in use there and
// removes it again. False for a folder that does not exist.
bool directoryWritable(const std::string& directory);

// How a system names the user's configuration folder.
enum class ConfigConvention {
  Xdg,      // $XDG_CONFIG_HOME, else $HOME/.config; only absolute paths count
  Windows,  // %APPDATA%
};
#ifdef _WIN32
inline constexpr ConfigConvention kHostConfigConvention = ConfigConvention::Windows;
#else
inline constexpr ConfigConvention kHostConfigConvention = ConfigConvention::Xdg;
#endif

// The program's folder inside the user's configuration folder: "$XDG_CONFIG_HOME/Flintmoor"
// ("$HOME/.config/Flintmoor" when XDG_CONFIG_HOME is unset, empty or relative), or
// "%APPDATA%\Flintmoor". nullopt when the environment names no such folder. Touches no file.
std::optional<std::string> userConfigDirectory(const EnvLookup& env,
                                               ConfigConvention convention = kHostConfigConvention);

// The folder the settings file (kSettingsFileName) is read from and written to. Beside the
// executable (exeDir, returned as given) when the file exists there or the folder is writable:
// portable use. Otherwise the user's configuration folder, created (with its parents) when
// missing; a failure to create it shows later, when saving fails. exeDir again when the
// environment names no configuration folder.
std::string settingsDirectory(const std::string& exeDir, const EnvLookup& env,
                              const WritableCheck& writable = directoryWritable,
                              ConfigConvention convention = kHostConfigConvention);

}  // namespace flintmoor
