// The flasher stub images built into the executable (see resources/ and the build option
// FLINTMOOR_STUB_ESP32). Without that option the build embeds a placeholder in the same layout.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace flintmoor {

// The bytes of the resource of that name ("STUB_ESP32", "STUB_ESP32S2"); empty when absent.
std::span<const uint8_t> stubResource(std::string_view name);

// True when the built-in "STUB_ESP32" is our placeholder, not a real flasher stub.
bool stubIsPlaceholder();

}  // namespace flintmoor
