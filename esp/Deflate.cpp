// zlibCompress: zlib's one-shot compression into a buffer of its worst-case size.
#include "esp/Deflate.h"

#include <zlib.h>

#include "base/Error.h"

namespace flintmoor {

std::vector<uint8_t> zlibCompress(std::span<const uint8_t> data) {
  std::vector<uint8_t> out(compressBound(uLong(data.size())));
  uLongf size = uLongf(out.size());
  if (compress2(out.data(), &size, data.data(), uLong(data.size()), Z_BEST_COMPRESSION) != Z_OK) {
    throw Exception("Error Compress");
  }
  out.resize(size);
  return out;
}

}  // namespace flintmoor
