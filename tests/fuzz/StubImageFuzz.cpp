// Fuzz target: the flasher stub image reader on arbitrary bytes. It either refuses the image with
// Exception or returns spans that lie inside it and add up to its length.
#include <cstddef>
#include <cstdint>
#include <span>

#include "base/Error.h"
#include "esp/uEsp.h"

namespace {

bool inside(std::span<const uint8_t> part, std::span<const uint8_t> whole) {
  if (part.empty()) return true;
  const auto* begin = whole.data();
  return part.data() >= begin && part.data() + part.size() <= begin + whole.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> image(data, size);
  flintmoor::StubImage stub;
  try {
    stub = flintmoor::readStubImage(image);
  } catch (const flintmoor::Exception&) {
    return 0;
  }
  // The layout's fixed bytes are 102; the text and the data are the rest.
  if (stub.text.size() + stub.data.size() + 102 != size) __builtin_trap();
  if (!inside(stub.text, image) || !inside(stub.data, image)) __builtin_trap();
  if (stub.data.size() > 255) __builtin_trap();
  return 0;
}
