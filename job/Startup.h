// The start-up rules that need no window: the program title, the debug switch, and the copy of
// the executable into "dist/" that the debug switch makes.
#pragma once

#include <string>
#include <vector>

namespace flintmoor {

struct Version {
  int major = -1;  // a number the version lacks reads as -1
  int minor = -1;
  int release = -1;
};

// The version this build carries.
Version buildVersion();

// "Flintmoor v%d.%d.%d".
std::string programTitle(const Version& v);

// True when an argument begins with "-" or "/" followed by "d" or "D" (anything may follow).
bool hasDebugSwitch(const std::vector<std::string>& args);

// "dist/" + the executable's name with the version digits before its extension:
// Flintmoor.exe of 1.4.2 gives "dist/Flintmoor142.exe", flintmoor gives "dist/flintmoor142".
// Relative to the current directory.
std::string distCopyPath(const std::string& exePath, const Version& v);

// Copies the executable there, overwriting an older copy. False on failure (a missing "dist"
// directory, for one), which the caller ignores.
bool copyToDist(const std::string& exePath, const Version& v);

}  // namespace flintmoor
