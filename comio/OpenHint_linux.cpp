// Advice for a serial port that would not open, from the device node's owner group and the
// process table under /proc.
#include <errno.h>
#include <grp.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "comio/OpenHint.h"

namespace flintmoor {

namespace fs = std::filesystem;

namespace {

// The first line of procRoot/PID/comm (the program's name, at most 15 characters).
std::string processName(const fs::path& processDir) {
  std::ifstream in(processDir / "comm");
  std::string name;
  std::getline(in, name);
  return name;
}

bool isProcessDir(const fs::directory_entry& entry) {
  const std::string name = entry.path().filename().string();
  return !name.empty() && name.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

std::string accessHint(const std::string& device) {
  struct stat node {};
  if (::stat(device.c_str(), &node) == 0) {
    if (const group* owner = ::getgrgid(node.st_gid); owner != nullptr && owner->gr_name[0]) {
      return "Add your user to the group " + std::string(owner->gr_name) + ", which owns " +
             device + ", and log in again";
    }
  }
  return "Add your user to the group that owns " + device + " (usually dialout) and log in again";
}

std::string busyHint(const std::string& device, const std::string& procRoot) {
  std::error_code ec;
  const fs::path wanted = device;
  const fs::path resolved = fs::canonical(wanted, ec);
  // Processes come and go during the scan: every step takes an error code instead of raising.
  for (fs::directory_iterator process(procRoot, ec), end; !ec && process != end;
       process.increment(ec)) {
    if (!isProcessDir(*process)) continue;
    std::error_code fdError;
    for (fs::directory_iterator fd(process->path() / "fd", fdError); !fdError && fd != end;
         fd.increment(fdError)) {
      std::error_code linkError;
      const fs::path target = fs::read_symlink(fd->path(), linkError);
      if (linkError || (target != wanted && (resolved.empty() || target != resolved))) continue;
      const std::string name = processName(process->path());
      return device + " is in use by " + (name.empty() ? "another program" : name) + " (process " +
             process->path().filename().string() + ")";
    }
  }
  return {};
}

std::string missingDeviceHint(const std::string& device, const std::string& procRoot) {
  const std::string base = fs::path(device).filename().string();
  if (base.rfind("ttyUSB", 0) != 0 && base.rfind("ttyACM", 0) != 0) return {};
  std::error_code ec;
  for (fs::directory_iterator process(procRoot, ec), end; !ec && process != end;
       process.increment(ec)) {
    if (!isProcessDir(*process) || processName(process->path()) != "brltty") continue;
    return "The braille display service brltty may have claimed the CH34x/CP210x adapter: remove "
           "the brltty package or disable its udev rules";
  }
  return {};
}

std::string openFailureHint(int error, const std::string& device, const std::string& procRoot) {
  switch (error) {
    case EACCES:
      return accessHint(device);
    case EBUSY:
      return busyHint(device, procRoot);
    case ENOENT:
      return missingDeviceHint(device, procRoot);
    default:
      return {};
  }
}

}  // namespace flintmoor
