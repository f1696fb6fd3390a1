// Builds the registry key of a USB device instance from its device interface path.
#include "comio/DeviceKeyPath.h"

#include <algorithm>

namespace flintmoor {

std::string DeviceKeyPath(std::string_view interfacePath) {
  const size_t vid = interfacePath.find("#VID");
  const size_t brace = interfacePath.find("#{");
  // Without both markers, in this order, the text between them is no instance id; building a key
  // from such fragments could only name some unrelated key.
  if (vid == std::string_view::npos || brace == std::string_view::npos || brace < vid) {
    return {};
  }
  std::string key = "\\SYSTEM\\CurrentControlSet\\Enum\\USB\\";
  key += interfacePath.substr(vid + 1, brace - vid);
  key += "Device Parameters\\";
  std::replace(key.begin(), key.end(), '#', '\\');
  return key;
}

std::string RelativeKeyPath(std::string_view keyPath) {
  const size_t first = keyPath.find_first_not_of('\\');
  if (first == std::string_view::npos) return {};
  const size_t last = keyPath.find_last_not_of('\\');
  return std::string(keyPath.substr(first, last - first + 1));
}

}  // namespace flintmoor
