// The lookup of the flasher stub images that the build embeds (see resources/stub/StubImage.cmake).
#include "esp/StubResource.h"

#include <cstddef>

namespace flintmoor {

// Defined in the source that the build generates for "STUB_ESP32".
extern const uint8_t kStubEsp32Image[];
extern const size_t kStubEsp32ImageSize;
extern const bool kStubEsp32Placeholder;

std::span<const uint8_t> stubResource(std::string_view name) {
  if (name == "STUB_ESP32") return {kStubEsp32Image, kStubEsp32ImageSize};
  return {};
}

bool stubIsPlaceholder() {
  return kStubEsp32Placeholder;
}

}  // namespace flintmoor
