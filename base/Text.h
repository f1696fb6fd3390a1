// Small helpers every layer shares: a number as the tool writes it in messages, and a path built
// from a UTF-8 file name.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

namespace flintmoor {

// "0x" and upper-case hexadecimal digits: 4096 gives "0x1000".
inline std::string hexText(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

// File names are UTF-8 throughout; building the path from char8_t keeps them intact on every
// platform (no 8-bit code page in between). On Windows, where paths are UTF-16, bytes that are not
// UTF-8 convert to nothing and raise; such a name names no file, so it becomes the empty path.
inline std::filesystem::path pathOf(const std::string& name) {
  try {
    return std::filesystem::path(std::u8string(name.begin(), name.end()));
  } catch (const std::exception&) {
    return {};
  }
}

}  // namespace flintmoor
