// Start-up rules without a window.
#include "job/Startup.h"

#include <filesystem>

namespace flintmoor {

Version buildVersion() {
  Version v;
#ifdef FLINTMOOR_VERSION_MAJOR
  v.major = FLINTMOOR_VERSION_MAJOR;
#endif
#ifdef FLINTMOOR_VERSION_MINOR
  v.minor = FLINTMOOR_VERSION_MINOR;
#endif
#ifdef FLINTMOOR_VERSION_PATCH
  v.release = FLINTMOOR_VERSION_PATCH;
#endif
  return v;
}

std::string programTitle(const Version& v) {
  return "Flintmoor v" + std::to_string(v.major) + "." + std::to_string(v.minor) + "." +
         std::to_string(v.release);
}

bool hasDebugSwitch(const std::vector<std::string>& args) {
  for (const std::string& a : args) {
    if (a.size() >= 2 && (a[0] == '-' || a[0] == '/') && (a[1] == 'd' || a[1] == 'D')) return true;
  }
  return false;
}

std::string distCopyPath(const std::string& exePath, const Version& v) {
  const std::filesystem::path exe(exePath);
  const std::string digits =
      std::to_string(v.major) + std::to_string(v.minor) + std::to_string(v.release);
  const std::string name = exe.stem().string() + digits + exe.extension().string();
#ifdef _WIN32
  return "dist\\" + name;
#else
  return "dist/" + name;
#endif
}

bool copyToDist(const std::string& exePath, const Version& v) {
  const std::string target = distCopyPath(exePath, v);
  std::error_code ec;
  // The old copy goes first: MinGW's copy_file takes every existing target for the source itself
  // (its files all report inode 0) and refuses to overwrite it.
  std::filesystem::remove(target, ec);
  std::filesystem::copy_file(exePath, target, ec);
  return !ec;
}

}  // namespace flintmoor
